// Linked into a program (the tests), the D-Bus clients are used from the start and the module
// is never looked for.
#include "platform/dbus_services.h"

namespace {

const bool linkedIn = (tvn::DBusModule().Use(TvnDBusServices()), true);

} // namespace
