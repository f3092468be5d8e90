#include "ui/tray_icon.h"

#include "platform/resources.h"
#include "shell/instance_channel.h"
#include "ui/picture_strip.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace tvn::ui {
namespace {

// How often the tray host is looked for: a host that restarts (or starts after the program)
// gets the icon back within this time.
constexpr int kHostCheckMs = 2000;

} // namespace

const TrayItem kTrayItems[9] = {
    {kCommandToggleEnable, "Enable", kPictureEnable},
    {0, nullptr, -1},
    {kCommandShowWindow, "Open", -1},
    {0, nullptr, -1},
    {kCommandMore, "More", kPictureMore},
    {kCommandAbout, "About", kPictureAbout},
    {kCommandHelp, "Help", kPictureHelp},
    {0, nullptr, -1},
    {kCommandExit, "Exit", -1},
};

CTrayIcon::CTrayIcon(std::function<void(int)> runCommand, std::function<bool()> isEnabled,
                     QObject* parent)
    : QObject(parent), command(std::move(runCommand)), enabled(std::move(isEnabled)),
      menu(std::make_unique<QMenu>()), icon(std::make_unique<QSystemTrayIcon>()) {
    menu->setObjectName(QStringLiteral("trayMenu"));
    BuildMenu();
    // The menu is built again for each right click, so the Enable picture is current.
    connect(menu.get(), &QMenu::aboutToShow, this, &CTrayIcon::BuildMenu);
    icon->setIcon(ProgramIcon());
    icon->setToolTip(QString::fromLocal8Bit(LoadString(StringId::kProgramName).c_str()));
    icon->setContextMenu(menu.get());
    connect(icon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    command(kCommandShowWindow);
            });
    hostSeen = QSystemTrayIcon::isSystemTrayAvailable();
    icon->show();
    connect(&hostCheck, &QTimer::timeout, this, &CTrayIcon::CheckHost);
    hostCheck.start(kHostCheckMs);
}

CTrayIcon::~CTrayIcon() { icon->hide(); }

void CTrayIcon::BuildMenu() {
    menu->clear();
    const bool on = enabled();
    for (const TrayItem& item : kTrayItems) {
        if (item.command == 0) {
            menu->addSeparator();
            continue;
        }
        const int picture = item.command == kCommandToggleEnable && !on ? -1 : item.picture;
        QAction* action = menu->addAction(StripPicture(picture), QString::fromLatin1(item.text));
        action->setIconVisibleInMenu(true);
        const int id = item.command;
        // Queued: a command may hide the tray or end the program, which must not happen
        // while the menu is still delivering its signal.
        connect(action, &QAction::triggered, this, [this, id] {
            QMetaObject::invokeMethod(
                this, [this, id] { command(id); }, Qt::QueuedConnection);
        });
    }
}

void CTrayIcon::CheckHost() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available && !hostSeen) {
        // A new tray host knows nothing of the icon: add it again.
        icon->hide();
        icon->show();
    }
    hostSeen = available;
}

} // namespace tvn::ui
