#include "ui/desktop_interface.h"

#include "ui/message_box.h"

namespace tvn::ui {

CUserInterface DesktopInterface() {
    CUserInterface desktop = HeadlessInterface();
    desktop.askYesNo = [](const std::string& text, const std::string& caption) {
        return AskYesNoBox(text, caption);
    };
    desktop.showError = [](const std::string& text) { ShowErrorBox(text); };
    return desktop;
}

} // namespace tvn::ui
