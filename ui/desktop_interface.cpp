#include "ui/desktop_interface.h"

#include "ui/activity_popup.h"
#include "ui/gui_dlg.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/question_once.h"

namespace tvn::ui {
namespace {

// What the interface's members share: the main window while it exists.
struct DesktopState {
    CMainWindow* window = nullptr;
};

// The handle makeMainWindow returns: dropping it forgets the window, then destroys it.
struct MainWindowHandle {
    std::shared_ptr<DesktopState> state;
    std::unique_ptr<CMainWindow> window;
    ~MainWindowHandle() { state->window = nullptr; }
};

} // namespace

CUserInterface DesktopInterface() {
    CUserInterface desktop = HeadlessInterface();
    const auto state = std::make_shared<DesktopState>();
    desktop.askYesNo = [](const std::string& text, const std::string& caption) {
        return AskYesNoBox(text, caption);
    };
    desktop.showError = [](const std::string& text) { ShowErrorBox(text); };
    desktop.askOnce = [](const std::string& text, const std::string& caption) {
        return AskOnceBox(text, caption);
    };
    desktop.showWindow = [state] {
        if (state->window)
            state->window->Dialog().ShowWindow();
    };
    desktop.showActivity = [state](std::string_view line) {
        if (state->window)
            state->window->Activity().ShowActivity(line);
    };
    desktop.showAccessInfo = [state](const std::string& line) {
        if (state->window)
            state->window->Dialog().SetAccessLine(line);
    };
    desktop.showCertificate = [state](const std::string& line) {
        if (state->window)
            state->window->Dialog().SetCertificateLine(line);
    };
    desktop.makeMainWindow = [state](CServerControl& control,
                                     std::function<void(int)> command) -> std::shared_ptr<void> {
        auto handle = std::make_shared<MainWindowHandle>();
        handle->state = state;
        handle->window = std::make_unique<CMainWindow>(control, std::move(command));
        state->window = handle->window.get();
        return handle;
    };
    return desktop;
}

} // namespace tvn::ui
