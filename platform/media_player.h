#pragma once

// The media player of the desktop session: an MPRIS player on the session bus, the one whose
// bus name contains "kodi" before any other, else the first in name order. It is looked up
// anew for each command. Commands run one at a time and every bus call waits at most
// kPlayerCallTimeoutMs, so a call never hangs for a player that does not answer; still, call
// these from a worker thread, never from the event loop.
#include <string_view>

namespace tvn {

inline constexpr int kPlayerCallTimeoutMs = 1500;

// What the player is asked to do through MPRIS. kNothing only looks whether there is one.
enum class PlayerCall {
    kNothing,
    kPlay,
    kPause,
    kStop,
    kNext,
    kPrevious,
    kSeekBack,    // ten seconds back
    kSeekForward, // ten seconds on
    kVolumeUp,    // Volume + 0.1, at most 1 (or where it already stands above that)
    kVolumeDown,  // Volume - 0.1, at least 0
    kToggleMute,  // Volume 0, or back to what it was before
};

// Sends `call` to the player; true when there is a player and it took the call.
bool CallMediaPlayer(PlayerCall call);

// Asks the player to come to the front (when it can), then presses and releases the key
// named `keySymName` (an X key symbol name: "Up", "Return", "1", "asterisk", "XF86Back")
// on the X display of DISPLAY. The key goes out only while the window with the keyboard
// focus belongs to the player's process: never into whatever else the owner is typing in.
// True when the key was sent.
bool PressKeyInPlayer(std::string_view keySymName);

} // namespace tvn
