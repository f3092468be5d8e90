#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace tvn::ui {

// One item of the tray menu; command 0 is a separator.
struct TrayItem {
    int command;
    const char* text;
    int picture; // index in the picture strip; -1 none
};

// The tray menu's items in their order. The Enable item shows its picture only while the
// server is enabled.
extern const TrayItem kTrayItems[9];

// The program's icon in the notification area: a left click runs kCommandShowWindow, a right click
// opens the picture menu. Without a tray host the program simply has no icon; when a host appears
// (or restarts) the icon docks again.
class CTrayIcon : public QObject {
    Q_OBJECT
  public:
    // `command` runs a menu command; `enabled` says whether the server is enabled now.
    CTrayIcon(std::function<void(int command)> command, std::function<bool()> enabled,
              QObject* parent = nullptr);
    ~CTrayIcon() override;

    // The menu as it is built for a right click now.
    QMenu* Menu() const { return menu.get(); }
    // Rebuilds the menu from the item table (done before each time it opens).
    void BuildMenu();
    // The icon in the tray (for tests: whether it is set to be shown).
    QSystemTrayIcon* Icon() const { return icon.get(); }

  private:
    void CheckHost();

    std::function<void(int)> command;
    std::function<bool()> enabled;
    std::unique_ptr<QMenu> menu; // before icon: the icon points at it
    std::unique_ptr<QSystemTrayIcon> icon;
    QTimer hostCheck;
    bool hostSeen = false;
};

} // namespace tvn::ui
