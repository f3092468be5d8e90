// The entry point of the D-Bus module (tarvolin-dbus.so): the table of its clients. The key
// injection and the rest of the platform it takes from the program.
#include "platform/dbus_module/dbus_clients.h"
#include "platform/dbus_services.h"

namespace tvn::dbus {
namespace {

void* OpenFirewalld(const std::string& busAddress) { return new CFirewalldBus(busAddress); }

void CloseFirewalld(void* firewalld) { delete static_cast<CFirewalldBus*>(firewalld); }

CFirewalldBus& Client(void* firewalld) { return *static_cast<CFirewalldBus*>(firewalld); }

std::optional<std::string> DefaultZone(void* firewalld) { return Client(firewalld).DefaultZone(); }

std::optional<bool> QueryPort(void* firewalld, const std::string& zone, int port,
                              const char* protocol) {
    return Client(firewalld).QueryPort(zone, port, protocol);
}

bool AddPort(void* firewalld, const std::string& zone, int port, const char* protocol) {
    return Client(firewalld).AddPort(zone, port, protocol);
}

bool RemovePort(void* firewalld, const std::string& zone, int port, const char* protocol) {
    return Client(firewalld).RemovePort(zone, port, protocol);
}

constexpr DBusServices kServices{OpenFirewalld, CloseFirewalld, DefaultZone,     QueryPort,
                                 AddPort,       RemovePort,     CallMediaPlayer, PressKeyInPlayer};

} // namespace
} // namespace tvn::dbus

extern "C" const tvn::DBusServices* TvnDBusServices() { return &tvn::dbus::kServices; }
