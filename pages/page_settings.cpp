#include "pages/page_settings.h"

#include "config/setting_keys.h"
#include "config/settings_section.h"

namespace tvn {

void CPageSettings::Load() {
    const SettingsSection settings;
    blogSound = settings.Text(setting::kBlogSound);
    googleApiKey = settings.Text(setting::kGoogleApiKey);
}

std::string CPageSettings::LastPostLink(int port) const {
    if (lastPost.empty())
        return {};
    return "localhost:" + std::to_string(port) + lastPost;
}

} // namespace tvn
