// The media player of the program: the commands go to the D-Bus module, loaded with the first.
#include "platform/media_player.h"

#include "platform/dbus_services.h"

namespace tvn {

bool CallMediaPlayer(PlayerCall call) {
    const DBusServices* services = DBusModule().Get();
    return services && services->callMediaPlayer(call);
}

bool PressKeyInPlayer(std::string_view keySymName) {
    const DBusServices* services = DBusModule().Get();
    return services && services->pressKeyInPlayer(keySymName);
}

} // namespace tvn
