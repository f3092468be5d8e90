#pragma once

// Remote controls for the desktop's media player: page files below "/RemoteControl/" whose
// buttons reload them with "?value=<command>". The server runs the command and sends the
// browser back to the page.
#include "http/request_context.h"

#include <string_view>

namespace tvn {

// What RunRemoteCommand did.
inline constexpr int kRemoteDone = 0;
inline constexpr int kRemoteNoPlayer = 1; // no player, or it did not take the command
inline constexpr int kRemoteUnknown = 2;  // no command of that name (names are case-sensitive)

// Runs the command `name` of the remote control on the media player; kRemoteDone,
// kRemoteNoPlayer or kRemoteUnknown. Waits for the player (each call at most
// kPlayerCallTimeoutMs): run it off the event loop.
int RunRemoteCommand(std::string_view name);

// The stage for page files: goes on for URLs outside "/RemoteControl/". With a command in
// "value", runs it (off the event loop, for a request that may use the desktop) and answers
// 302 back to the page; without one, marks the page expired and frames it.
StageResult HandleRemoteControl(CRequestContext& context);

} // namespace tvn
