#include "shell/instance_channel.h"
#include "support/env_guard.h"
#include "ui/about_box.h"
#include "ui/gui_dlg.h"
#include "ui/main_window.h"
#include "ui/num_edit.h"
#include "ui/question_once.h"
#include "ui/tray_icon.h"
#include "ui_fixture.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <filesystem>
#include <fstream>

namespace tvn::ui {
namespace {

using test::SpinUntil;

struct MenuLine {
    std::string text; // empty for a separator
    bool picture;
    bool operator==(const MenuLine&) const = default;
};

std::vector<MenuLine> Lines(QMenu& menu) {
    std::vector<MenuLine> lines;
    for (QAction* action : menu.actions())
        lines.push_back(
            {action->isSeparator() ? "" : action->text().toStdString(), !action->icon().isNull()});
    return lines;
}

TEST(TrayMenu, HoldsTheItemsInOrderWithTheirPictures) {
    bool enabled = true;
    CTrayIcon tray([](int) {}, [&] { return enabled; });
    const std::vector<MenuLine> whenEnabled = {
        {"Enable", true}, {"", false},    {"Open", false}, {"", false},     {"More", true},
        {"About", true},  {"Help", true}, {"", false},     {"Exit", false},
    };
    EXPECT_EQ(Lines(*tray.Menu()), whenEnabled);
    // Built again for the next right click: the Enable picture goes with the server.
    enabled = false;
    emit tray.Menu()->aboutToShow();
    std::vector<MenuLine> whenDisabled = whenEnabled;
    whenDisabled[0].picture = false;
    EXPECT_EQ(Lines(*tray.Menu()), whenDisabled);
    EXPECT_EQ(tray.Icon()->toolTip(), QStringLiteral("Tarvolin"));
    EXPECT_FALSE(tray.Icon()->icon().isNull());
}

TEST(TrayMenu, ItemsAndTheLeftClickRunTheirCommands) {
    std::vector<int> commands;
    CTrayIcon tray([&](int command) { commands.push_back(command); }, [] { return true; });
    for (QAction* action : tray.Menu()->actions())
        if (!action->isSeparator())
            action->trigger();
    // The commands run from the event loop, after the menu is done.
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(SpinUntil([&] { return commands.size() == 6; }));
    EXPECT_EQ(commands, (std::vector<int>{kCommandToggleEnable, kCommandShowWindow, kCommandMore,
                                          kCommandAbout, kCommandHelp, kCommandExit}));
    commands.clear();
    emit tray.Icon()->activated(QSystemTrayIcon::Trigger);
    emit tray.Icon()->activated(QSystemTrayIcon::Context); // the menu, no command
    emit tray.Icon()->activated(QSystemTrayIcon::MiddleClick);
    test::Spin(50);
    EXPECT_EQ(commands, std::vector<int>{kCommandShowWindow});
}

// Runs `check` on the modal window that `open` shows, then closes it with `finish`.
template <class Box>
void WithModal(const std::function<void()>& open, const std::function<void(Box&)>& check) {
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<Box*>(QApplication::activeModalWidget())) {
            poll.stop();
            seen = true;
            check(*box);
        }
    });
    poll.start(20);
    open();
    EXPECT_TRUE(seen);
}

TEST(AboutBox, ShowsTheVersionOneAtATime) {
    bool secondShown = true;
    WithModal<CAboutBox>([] { EXPECT_TRUE(ShowAboutBox(nullptr)); },
                         [&](CAboutBox& box) {
                             EXPECT_EQ(box.windowTitle(), QStringLiteral("Tarvolin + :: About"));
                             EXPECT_EQ(box.Line(), QStringLiteral("Tarvolin + 3.1.2.47"));
                             secondShown = ShowAboutBox(nullptr);
                             box.accept();
                         });
    EXPECT_FALSE(secondShown);
    // Once closed, the next command shows it again.
    WithModal<CAboutBox>([] { EXPECT_TRUE(ShowAboutBox(nullptr)); },
                         [](CAboutBox& box) { box.accept(); });
}

TEST(QuestionOnce, ReportsTheAnswerAndTheBox) {
    struct Case {
        bool tick;
        QDialogButtonBox::StandardButton button;
        bool ok;
    };
    for (const Case c :
         {Case{false, QDialogButtonBox::Ok, true}, Case{true, QDialogButtonBox::Ok, true},
          Case{true, QDialogButtonBox::Cancel, false},
          Case{false, QDialogButtonBox::Cancel, false}}) {
        QuestionReply reply;
        WithModal<CQuestionOnce>(
            [&] { reply = AskOnceBox("Let the firewall open the port?", "Firewall"); },
            [&](CQuestionOnce& box) {
                EXPECT_EQ(box.windowTitle(), QStringLiteral("Firewall"));
                box.findChild<QCheckBox*>(QStringLiteral("dontAsk"))->setChecked(c.tick);
                box.findChild<QDialogButtonBox*>()->button(c.button)->click();
            });
        EXPECT_EQ(reply.ok, c.ok);
        EXPECT_EQ(reply.dontAskAgain, c.tick);
    }
}

class MainWindowTest : public test::ControlTest {
  protected:
    CMainWindow& MakeWindow() {
        window = std::make_unique<CMainWindow>(StartControl(), [this](int command) {
            shellCommands.push_back(command);
            if (command == kCommandToggleEnable)
                control->ToggleEnable();
        });
        window->Dialog().openUrl = [this](const std::string& url) { opened.push_back(url); };
        return *window;
    }
    void TearDown() override {
        window.reset();
        ControlTest::TearDown();
    }
    std::unique_ptr<CMainWindow> window;
    std::vector<int> shellCommands;
    std::vector<std::string> opened;
    test::EnvGuard env;
};

// Help writes our page and opens it; More opens the program folder's shortcut, or the
// help page's own section without one.
TEST_F(MainWindowTest, HelpAndMoreOpenTheirPages) {
    env.Set("XDG_RUNTIME_DIR", folder);
    env.Set("U3_DEVICE_EXEC_PATH", folder);
    CMainWindow& main = MakeWindow();
    main.RunCommand(kCommandHelp);
    ASSERT_EQ(opened.size(), 1u);
    const QUrl help(QString::fromStdString(opened[0]));
    ASSERT_TRUE(help.isLocalFile()) << opened[0];
    std::ifstream page(help.toLocalFile().toStdString());
    const std::string html((std::istreambuf_iterator<char>(page)), {});
    EXPECT_NE(html.find("<title>Tarvolin help</title>"), std::string::npos);
    EXPECT_NE(html.find("id=\"more\""), std::string::npos);
    EXPECT_EQ(help.toLocalFile().toStdString().rfind(folder, 0), 0u); // in the runtime folder

    main.RunCommand(kCommandMore);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1], opened[0] + "#more");
    std::ofstream(folder + "/More.url") << "[InternetShortcut]\r\nURL=https://example.org/more\r\n";
    main.RunCommand(kCommandMore);
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[2], "https://example.org/more");
    EXPECT_TRUE(shellCommands.empty());
}

// Enable from the tray is the window's; show and exit are the shell's.
TEST_F(MainWindowTest, ShellCommandsPassThrough) {
    Set("Enable", "1");
    CMainWindow& main = MakeWindow();
    auto* enable = main.Dialog().findChild<QCheckBox*>(QStringLiteral("enable"));
    main.RunCommand(kCommandToggleEnable);
    EXPECT_FALSE(enable->isChecked());
    EXPECT_EQ(ServingPort({port}), 0);
    main.RunCommand(kCommandToggleEnable);
    EXPECT_TRUE(enable->isChecked());
    EXPECT_EQ(ServingPort({port}), port);
    main.RunCommand(kCommandShowWindow);
    main.RunCommand(kCommandExit);
    EXPECT_EQ(shellCommands, (std::vector<int>{kCommandShowWindow, kCommandExit}));
    // The tray's menu shows the window's box.
    emit main.Tray().Menu()->aboutToShow();
    EXPECT_FALSE(main.Tray().Menu()->actions().at(0)->icon().isNull());
}

// The tray's Enable inverted the stored Enable and started the stored port and root; it
// toggles the window's box and acts as a click on it, with the controls' port and root.
TEST_F(MainWindowTest, TrayEnableTogglesTheWindowsBox) {
    Set("Enable", "1");
    CMainWindow& main = MakeWindow();
    CGUIDlg& dlg = main.Dialog();
    auto* enable = test::Find<QCheckBox>(dlg, "enable");
    const int otherPort = test::FreeLoopbackPort();
    const std::string otherRoot = folder + "/other";
    std::filesystem::create_directories(otherRoot);
    struct Step {
        const char* what;
        std::function<void()> act;
        bool ticked;
        int running;
        const char* storedEnable;
        int storedPort;
    };
    const Step steps[] = {
        {"untick without saving", [&] { enable->click(); }, false, port, "1", port},
        {"tray Enable", [&] { main.RunCommand(kCommandToggleEnable); }, true, port, "1", port},
        {"edit port and root",
         [&] {
             test::Find<CNumEdit>(dlg, "port")->SetValue(otherPort);
             test::Find<QLineEdit>(dlg, "root")->setText(QString::fromStdString(otherRoot + "/"));
         },
         true, port, "1", port},
        {"tray Enable off", [&] { main.RunCommand(kCommandToggleEnable); }, false, 0, "0",
         otherPort},
        {"tray Enable on", [&] { main.RunCommand(kCommandToggleEnable); }, true, otherPort, "1",
         otherPort},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(enable->isChecked(), step.ticked);
        EXPECT_EQ(test::Find<QWidget>(dlg, "port")->isEnabled(), step.ticked);
        EXPECT_EQ(ServingPort({port, otherPort}), step.running);
        EXPECT_EQ(Stored("Enable"), step.storedEnable);
        EXPECT_EQ(Stored("Port"), std::to_string(step.storedPort));
        emit main.Tray().Menu()->aboutToShow();
        EXPECT_EQ(!main.Tray().Menu()->actions().at(0)->icon().isNull(), step.ticked);
    }
    EXPECT_EQ(control->Document().Root(), otherRoot);
    EXPECT_EQ(Stored("Root"), root); // the root is stored by Save only
    EXPECT_TRUE(shellCommands.empty());
}

// The window is made before the settings are loaded: the tray's Enable before it was ever
// shown toggles the loaded Enable, and the first showing shows the loaded settings.
TEST_F(MainWindowTest, TrayEnableBeforeTheFirstShowingUsesTheLoadedSettings) {
    Set("Enable", "0");
    Set("Name", "loaded");
    control = std::make_unique<CServerControl>(ui, nullptr);
    window = std::make_unique<CMainWindow>(*control, [](int) {});
    control->LoadSettingsAndStart();
    EXPECT_EQ(ServingPort({port}), 0);
    window->RunCommand(kCommandToggleEnable);
    EXPECT_EQ(ServingPort({port}), port);
    EXPECT_EQ(Stored("Enable"), "1");
    window->Dialog().ShowWindow();
    EXPECT_TRUE(test::Find<QCheckBox>(window->Dialog(), "enable")->isChecked());
    EXPECT_EQ(test::Find<QLineEdit>(window->Dialog(), "name")->text(), QStringLiteral("loaded"));
}

} // namespace
} // namespace tvn::ui
