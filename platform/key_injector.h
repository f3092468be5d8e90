#pragma once

// Key presses into the window that has the keyboard focus on the X display, through the
// XTest extension, for the desktop stand-ins. Each call opens a display connection of its
// own and closes it again.
#include <chrono>
#include <functional>
#include <string_view>

namespace tvn {

enum class KeyInjection {
    kSent,
    kNoDisplay,  // no DISPLAY, no X server there, or no XTest extension
    kNotFocused, // the focused window belongs to another process (or to none)
    kNoKey,      // the name is no key symbol, or no key of the keyboard makes it
};

// Presses and releases the key of `keySymName` (with Shift when the keyboard makes the symbol
// only shifted, as '*' and '#'), if the focused window belongs to process `ownerPid` (its
// top-level window's _NET_WM_PID). Once the display and the key are known to be there,
// `bringForward` (when given) may ask the owner's window to come to the front: when it says
// it did, the focus is looked for during up to `focusWait`, as the window takes it a moment
// later.
KeyInjection InjectKeyInto(long ownerPid, std::string_view keySymName,
                           const std::function<bool()>& bringForward = {},
                           std::chrono::milliseconds focusWait = std::chrono::milliseconds(500));

} // namespace tvn
