#pragma once

#include <functional>
#include <memory>

namespace tvn {
class CServerControl;
}

namespace tvn::ui {

class CGUIDlg;
class CInfoTool;
class CTrayIcon;

// The desktop around the server control: the settings window, the tray icon and the activity
// pop-up. Commands of the tray and the window pass through RunCommand: About, Help, More and
// Enable (the window's box) are answered here, the others go to the shell's command runner.
class CMainWindow {
  public:
    // `shellCommand` runs kCommandShowWindow and kCommandExit.
    CMainWindow(CServerControl& control, std::function<void(int command)> shellCommand);
    ~CMainWindow();
    CMainWindow(const CMainWindow&) = delete;
    CMainWindow& operator=(const CMainWindow&) = delete;

    // Runs a command of the tray menu or the window (kCommandToggleEnable, kCommandAbout,
    // kCommandShowWindow, kCommandExit, kCommandHelp, kCommandMore).
    void RunCommand(int command);

    CGUIDlg& Dialog() { return *dialog; }
    CInfoTool& Activity() { return *activity; }
    CTrayIcon& Tray() { return *tray; }

  private:
    void OpenHelp(const char* anchor);

    CServerControl& control;
    std::function<void(int)> shellCommand;
    // Torn down in reverse: the tray (which runs commands) first, the pop-up last.
    std::unique_ptr<CInfoTool> activity;
    std::unique_ptr<CGUIDlg> dialog;
    std::unique_ptr<CTrayIcon> tray;
};

} // namespace tvn::ui
