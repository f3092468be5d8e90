#pragma once

#include "platform/loadable_module.h"
#include "platform/media_player.h"

#include <optional>
#include <string>
#include <string_view>

// The D-Bus clients (firewalld on the system bus, the media player on the session bus) need Qt
// DBus, which maps libdbus and libsystemd with its compression and crypto libraries. They are
// a module of their own (platform/dbus_module), loaded with the first call that needs a bus.

namespace tvn {

// What the module offers. The calls block (each bus call at most its time-out): call them
// from a worker thread.
struct DBusServices {
    // A client of firewalld on the bus at `busAddress` (empty: the system bus), for the calls
    // below; closeFirewalld frees it. CFirewalld (platform/firewalld.h) tells what they do.
    void* (*openFirewalld)(const std::string& busAddress);
    void (*closeFirewalld)(void* firewalld);
    std::optional<std::string> (*defaultZone)(void* firewalld);
    std::optional<bool> (*queryPort)(void* firewalld, const std::string& zone, int port,
                                     const char* protocol);
    bool (*addPort)(void* firewalld, const std::string& zone, int port, const char* protocol);
    bool (*removePort)(void* firewalld, const std::string& zone, int port, const char* protocol);
    // CallMediaPlayer and PressKeyInPlayer (platform/media_player.h).
    bool (*callMediaPlayer)(PlayerCall call);
    bool (*pressKeyInPlayer)(std::string_view keySymName);
};

// The module's file name. In the build tree it lies beside the program.
inline constexpr const char* kDBusModuleName = "tarvolin-dbus.so";
inline constexpr const char* kDBusEntryName = "TvnDBusServices";

// The module, loaded with its first Get() from the file main names with SetFile; null when it
// cannot be loaded (standard error tells why, once): there is then no firewall and no media
// player. A program that links the clients in Use()s them instead.
CModuleTable<DBusServices>& DBusModule();

} // namespace tvn

// The module's entry point (platform/dbus_module/dbus_entry.cpp).
extern "C" const tvn::DBusServices* TvnDBusServices();
