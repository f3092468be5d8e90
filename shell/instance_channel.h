#pragma once

#include "platform/unique_fd.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QObject;
class QSocketNotifier;

namespace tvn {

// Commands exchanged between instances (and shared with the tray menu).
inline constexpr int kCommandToggleEnable = 5007;
inline constexpr int kCommandAbout = 5008;
inline constexpr int kCommandShowWindow = 5010;
inline constexpr int kCommandExit = 5011;
inline constexpr int kCommandHelp = 5015;
inline constexpr int kCommandMore = 5018;

// A command line is a few digits; a line (with its newline) longer than this is not ours.
inline constexpr std::size_t kMaxInstanceCommandLine = 32;
// How many peers the channel serves at once; more wait in the listen queue.
inline constexpr std::size_t kMaxInstanceConnections = 4;

// What the first bytes a peer sent on the command socket say.
struct InstanceCommandLine {
    enum class Kind { NeedMore, Complete, Reject } kind = Kind::NeedMore;
    int command = 0; // when Complete
};

// Reads the first line of `bytes`: Complete with its number when it is a decimal number
// (blanks around it allowed), Reject when it is anything else or no newline comes within
// kMaxInstanceCommandLine bytes, NeedMore otherwise.
InstanceCommandLine ParseInstanceCommandLine(std::string_view bytes);

// The running instance's end of the inter-instance commands: a local socket only this user
// may use, accepting one decimal command per line. Only kCommandShowWindow and kCommandExit
// are passed on. A few connections are served at once; one that stays silent for
// `idleLimit` is dropped.
class CInstanceChannel {
  public:
    // `onCommand` runs from the event loop, after the reading slot has returned.
    CInstanceChannel(std::string path, std::function<void(int command)> onCommand,
                     std::chrono::milliseconds idleLimit = std::chrono::seconds(3));
    ~CInstanceChannel();
    CInstanceChannel(const CInstanceChannel&) = delete;
    CInstanceChannel& operator=(const CInstanceChannel&) = delete;

    // Starts listening; a socket file left by a dead instance is replaced (the caller holds
    // the instance lock). False when the socket cannot be made, or the path does not fit
    // a local socket address.
    bool Listen();

  private:
    class CConnection;

    void OnAcceptable();
    void OnReadable(CConnection& connection);
    void Close(CConnection& connection);
    void Sweep();
    void UpdateInterest();

    std::string path;
    std::function<void(int)> onCommand;
    std::chrono::milliseconds idleLimit;
    std::unique_ptr<QObject> context; // queued calls die with the channel
    UniqueFd listener;                // before its notifier: the notifier goes first
    std::unique_ptr<QSocketNotifier> acceptable;
    std::vector<std::unique_ptr<CConnection>> connections;
    bool sweepPosted = false;
};

// The path of this user's command socket.
std::string InstanceChannelPath();

// Sends `command` to the instance listening at `path`; true when it was delivered to a
// listening instance, false when none listens there (or the path cannot be a local socket
// address). Waits at most about two seconds.
bool SendInstanceCommand(const std::string& path, int command);

} // namespace tvn
