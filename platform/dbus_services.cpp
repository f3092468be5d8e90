#include "platform/dbus_services.h"

#include "platform/loadable_module.h"

namespace tvn {
namespace {

CModuleTable<DBusServices>& Module() {
    static CModuleTable<DBusServices> module(kDBusModuleName, kDBusEntryName,
                                             "there is no firewall and no media player");
    return module;
}

} // namespace

void SetDBusModuleFile(std::string path) { Module().SetFile(std::move(path)); }

void UseDBusServices(const DBusServices* services) { Module().Use(services); }

const DBusServices* LoadedDBusServices() { return Module().Get(); }

} // namespace tvn
