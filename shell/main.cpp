// The entry point: a minimal headless start until the full start-up arrives.
#include "http/http_svr_doc.h"
#include "pages/page_stages.h"
#include "platform/resources.h"
#include "platform/system_paths.h"
#include "shell/settings_section.h"
#include "shell/stored_path.h"

#include <csignal>
#include <iostream>

#include <QCoreApplication>
#include <QSocketNotifier>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using namespace tvn;
    const SettingsSection settings;
    const int port = settings.GetInt("Port", 8080);
    const bool enable = settings.GetFlag("Enable", 1);
    const std::string defaultRoot =
        JoinPath(JoinPath(DocumentBaseFolder(), "Tarvolin"), LoadString(3026));
    const std::string root = FromStoredPath(settings.GetString("Root", ToStoredPath(defaultRoot)));
    CHttpSvrDoc doc(port, root);
    CPageStages stages;
    doc.SetContentStages(&stages);
    if (enable && !doc.StartServing(port, root, false))
        return 1;
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    std::cout << "Serving " << root << " on port " << port << std::endl;
    return app.exec();
}
