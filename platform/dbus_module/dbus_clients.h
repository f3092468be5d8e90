#pragma once

// The module's D-Bus clients, in names of their own: the program's CFirewalld, CallMediaPlayer
// and PressKeyInPlayer (platform/firewalld.h, platform/media_player.h) call them through the
// module's table (platform/dbus_services.h).
#include "platform/media_player.h"

#include <optional>
#include <string>
#include <string_view>

namespace tvn::dbus {

// firewalld's D-Bus interface, as CFirewalld describes it.
class CFirewalldBus {
  public:
    explicit CFirewalldBus(const std::string& busAddress);
    ~CFirewalldBus();
    CFirewalldBus(const CFirewalldBus&) = delete;
    CFirewalldBus& operator=(const CFirewalldBus&) = delete;

    std::optional<std::string> DefaultZone();
    std::optional<bool> QueryPort(const std::string& zone, int port, const char* protocol);
    bool AddPort(const std::string& zone, int port, const char* protocol);
    bool RemovePort(const std::string& zone, int port, const char* protocol);

  private:
    std::string connectionName; // empty when the system bus is used
};

bool CallMediaPlayer(PlayerCall call);
bool PressKeyInPlayer(std::string_view keySymName);

} // namespace tvn::dbus
