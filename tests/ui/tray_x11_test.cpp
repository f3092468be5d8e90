// The tray on a real X screen: an Xvfb of the test's own with trayer as the tray host. The
// suite's process runs on the offscreen platform, so the parent test starts the suite once
// more on the X screen, where the child tests below do the work.
#include "shell/instance_channel.h"
#include "support/desktop_session.h"
#include "ui/activity_popup.h"
#include "ui/gui_dlg.h"
#include "ui/main_window.h"
#include "ui/tray_icon.h"
#include "ui_fixture.h"

#include <QSystemTrayIcon>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace tvn::ui {
namespace {

using test::SpinUntil;

constexpr const char* kChildVariable = "TVN_UI_ON_X";

bool OnPath(const char* program) {
    const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Starts `argv` with the test's own output; its pid.
pid_t Start(const std::vector<std::string>& argv) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// The exit status of `pid`, or -1 when it ran longer than `seconds` (it is then ended).
int WaitFor(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ::usleep(100000);
    }
    test::EndProcess(pid);
    return -1;
}

TEST(TrayOnX, RunsTheTrayTestsOnAnXScreen) {
    if (std::getenv(kChildVariable) != nullptr)
        GTEST_SKIP() << "this is the run on the X screen";
    for (const char* program : {"Xvfb", "trayer", "xdotool"})
        if (!OnPath(program))
            GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh)";
    test::XvfbScreen screen(1024, 768);
    ASSERT_TRUE(screen.Ok());
    test::EnvGuard env;
    env.Set(kChildVariable, "1");
    env.Set("QT_QPA_PLATFORM", "xcb");
    const pid_t child = Start({"/proc/self/exe", "--gtest_filter=TrayOnXChild*"});
    EXPECT_EQ(WaitFor(child, 60), 0);
}

class TrayOnXChild : public test::ControlTest {
  protected:
    void SetUp() override {
        if (std::getenv(kChildVariable) == nullptr ||
            QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "runs only when started on an X screen by TrayOnX";
        ControlTest::SetUp();
    }
    void TearDown() override {
        window.reset();
        test::EndProcess(trayHost);
        if (std::getenv(kChildVariable) != nullptr)
            ControlTest::TearDown();
    }
    void StartTrayHost() {
        trayHost = Start({"trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                          "request", "--height", "24"});
    }
    // Clicks the middle of the icon as the tray host shows it.
    bool ClickIcon() {
        const QRect where = window->Tray().Icon()->geometry();
        if (!where.isValid() || where.isEmpty())
            return false;
        const QPoint centre = where.center();
        const std::string command = "xdotool mousemove " + std::to_string(centre.x()) + " " +
                                    std::to_string(centre.y()) + " click 1";
        return std::system(command.c_str()) == 0;
    }

    std::unique_ptr<CMainWindow> window;
    std::vector<int> commands;
    pid_t trayHost = -1;
};

// The icon waits for a tray host, docks when one starts, shows the window on a click, and
// docks again in a host started after the first one went.
TEST_F(TrayOnXChild, IconDocksAndAClickShowsTheWindow) {
    EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    window = std::make_unique<CMainWindow>(StartControl(), [this](int command) {
        commands.push_back(command);
        if (command == kCommandShowWindow)
            window->Dialog().ShowWindow();
    });
    StartTrayHost();
    ASSERT_TRUE(SpinUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000));
    ASSERT_TRUE(SpinUntil([&] { return window->Tray().Icon()->geometry().isValid(); }, 5000));
    test::Spin(300);
    ASSERT_TRUE(ClickIcon());
    EXPECT_TRUE(SpinUntil([&] { return window->Dialog().isVisible(); }, 3000));
    EXPECT_EQ(commands, std::vector<int>{kCommandShowWindow});

    window->Dialog().hide();
    test::EndProcess(trayHost);
    trayHost = -1;
    ASSERT_TRUE(SpinUntil([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, 5000));
    StartTrayHost();
    ASSERT_TRUE(SpinUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000));
    // Docked again: a click on the new host's icon reaches the program.
    EXPECT_TRUE(SpinUntil(
        [&] {
            ClickIcon();
            return SpinUntil([&] { return window->Dialog().isVisible(); }, 400);
        },
        8000));
}

// Without a window manager nothing moves the focus on this screen, so the test reads what a
// window manager would go by: the pop-up's X hints say it takes no input.
TEST_F(TrayOnXChild, ActivityPopupTellsTheWindowManagerItTakesNoFocus) {
    if (!OnPath("xprop"))
        GTEST_SKIP() << "xprop is not installed";
    CInfoTool popup(2000);
    popup.ShowActivity("\n127.0.0.1 GET /index.html");
    ASSERT_TRUE(SpinUntil([&] { return popup.isVisible(); }, 1000));
    test::Spin(200);
    const std::string command = "xprop -id " + std::to_string(popup.winId()) +
                                " WM_HINTS _NET_WM_STATE _NET_WM_WINDOW_TYPE";
    std::string hints;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe))
            hints += buffer;
        ::pclose(pipe);
    }
    EXPECT_NE(hints.find("accepts input or input focus: False"), std::string::npos) << hints;
    EXPECT_NE(hints.find("_NET_WM_STATE_ABOVE"), std::string::npos) << hints;
    // A utility window, which task bars leave out.
    EXPECT_NE(hints.find("_NET_WM_WINDOW_TYPE_UTILITY"), std::string::npos) << hints;
}

} // namespace
} // namespace tvn::ui
