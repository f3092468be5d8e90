#pragma once

#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace tvn {

// Commands exchanged between instances (and shared with the tray menu).
inline constexpr int kCommandToggleEnable = 5007;
inline constexpr int kCommandAbout = 5008;
inline constexpr int kCommandShowWindow = 5010;
inline constexpr int kCommandExit = 5011;
inline constexpr int kCommandHelp = 5015;
inline constexpr int kCommandMore = 5018;

// The running instance's end of the inter-instance commands: a per-user local socket that
// accepts one decimal command per line. Only kCommandShowWindow and kCommandExit are passed on.
class CInstanceChannel {
  public:
    // `onCommand` runs from the event loop, after the reading slot has returned.
    CInstanceChannel(std::string path, std::function<void(int command)> onCommand);
    ~CInstanceChannel();
    CInstanceChannel(const CInstanceChannel&) = delete;
    CInstanceChannel& operator=(const CInstanceChannel&) = delete;

    // Starts listening; a socket file left by a dead instance is replaced (the caller holds
    // the instance lock). False when the socket cannot be made.
    bool Listen();

  private:
    void OnNewConnection();

    std::string path;
    std::function<void(int)> onCommand;
    std::unique_ptr<QLocalServer> server;
};

// The path of this user's command socket.
std::string InstanceChannelPath();

// Sends `command` to the instance listening at `path`; true when it was delivered to a
// listening instance, false when none listens there. Waits at most about two seconds.
bool SendInstanceCommand(const std::string& path, int command);

} // namespace tvn
