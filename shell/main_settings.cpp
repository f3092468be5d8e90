#include "shell/main_settings.h"

#include "config/settings_section.h"
#include "config/stored_path.h"
#include "shell/default_folders.h"

namespace tvn {

MainSettings LoadMainSettings() {
    const SettingsSection settings;
    MainSettings loaded;
    loaded.port = settings.GetInt("Port", 8080);
    loaded.enable = settings.GetFlag("Enable", 1);
    loaded.hideLog = settings.GetInt("HideLog", 0) == 1; // only 1 hides the pop-up
    loaded.root = FromStoredPath(settings.GetString("Root", ToStoredPath(DefaultDocumentFolder())));
    loaded.name = settings.GetString("Name", "");
    loaded.user = settings.GetString("User", "");
    loaded.pass = settings.GetString("Pass", "");
    loaded.domain = settings.GetString("Domain", kDefaultDnsDomain);
    loaded.discovery = settings.GetFlag("uPnPDiscovery", 1);
    loaded.worldwide = settings.GetFlag("uPnPRouter", 1);
    return loaded;
}

} // namespace tvn
