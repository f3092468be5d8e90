#include "platform/dbus_services.h"

#include "platform/loadable_module.h"

namespace tvn {

CModuleTable<DBusServices>& DBusModule() {
    static CModuleTable<DBusServices> module(kDBusModuleName, kDBusEntryName,
                                             "there is no firewall and no media player");
    return module;
}

} // namespace tvn
