#include "ui/main_window.h"

#include "platform/system_paths.h"
#include "shell/instance_channel.h"
#include "shell/server_control.h"
#include "ui/about_box.h"
#include "ui/activity_popup.h"
#include "ui/gui_dlg.h"
#include "ui/help_page.h"
#include "ui/tray_icon.h"

namespace tvn::ui {

CMainWindow::CMainWindow(CServerControl& serverControl, std::function<void(int)> runShell)
    : control(serverControl), shellCommand(std::move(runShell)) {
    activity = std::make_unique<CInfoTool>();
    const auto run = [this](int command) { RunCommand(command); };
    dialog = std::make_unique<CGUIDlg>(control, run);
    // The menu's Enable shows the window's box, which it toggles.
    tray = std::make_unique<CTrayIcon>(run, [this] { return dialog->EnableTicked(); });
}

CMainWindow::~CMainWindow() = default;

void CMainWindow::RunCommand(int command) {
    switch (command) {
    case kCommandAbout:
        ShowAboutBox(nullptr);
        break;
    case kCommandHelp:
        OpenHelp("");
        break;
    case kCommandMore: {
        const std::string link = MoreLink(ExecutableFolder());
        if (link.empty())
            OpenHelp("#more");
        else
            dialog->openUrl(link);
        break;
    }
    case kCommandToggleEnable:
        dialog->ToggleEnable(); // the window's box, as a click on it
        break;
    default:
        shellCommand(command);
        break;
    }
}

void CMainWindow::OpenHelp(const char* anchor) {
    const std::string url = HelpPageUrl();
    if (url.empty()) {
        dialog->tell("The help page could not be written.");
        return;
    }
    dialog->openUrl(url + anchor);
}

} // namespace tvn::ui
