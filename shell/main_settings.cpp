#include "shell/main_settings.h"

#include "config/settings_section.h"
#include "config/stored_path.h"
#include "shell/default_folders.h"

namespace tvn {

MainSettings LoadMainSettings() {
    const SettingsSection settings;
    MainSettings loaded;
    loaded.port = settings.Number(setting::kPort);
    loaded.enable = settings.Flag(setting::kEnable);
    loaded.hideLog = settings.Number(setting::kHideLog) == 1; // only 1 hides the pop-up
    loaded.root =
        FromStoredPath(settings.Text(setting::kRoot, ToStoredPath(DefaultDocumentFolder())));
    loaded.name = settings.Text(setting::kName);
    loaded.user = settings.Text(setting::kUser);
    loaded.pass = settings.Text(setting::kPass);
    loaded.domain = settings.Text(setting::kDomain);
    loaded.discovery = settings.Flag(setting::kDiscovery);
    loaded.worldwide = settings.Flag(setting::kWorldwide);
    loaded.acmeDirectory = settings.Text(setting::kAcmeDirectory);
    loaded.acmeTrust = settings.Text(setting::kAcmeTrust);
    return loaded;
}

} // namespace tvn
