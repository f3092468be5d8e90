#pragma once

// Key presses into the window that has the keyboard focus on the X display, through the
// XTest extension, for the desktop stand-ins. Each call opens a display connection of its
// own and closes it again.
#include <chrono>
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
// top-level window's _NET_WM_PID). Looks for that focus for up to `focusWait`, as a window
// that was just asked to come to the front takes it a moment later.
KeyInjection InjectKeyInto(long ownerPid, std::string_view keySymName,
                           std::chrono::milliseconds focusWait = std::chrono::milliseconds(0));

} // namespace tvn
