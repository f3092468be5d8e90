// The desktop window is a module that the program loads only when there is a display: the
// headless program never maps Qt Widgets, the program on a screen loads the module and shows
// its window, and a program whose module is missing says so and serves without it.
#include "platform/resources.h"
#include "startup_fixture.h"
#include "support/desktop_session.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tvn::test {
namespace {

constexpr const char* kWidgets = "libQt6Widgets.so";
constexpr const char* kModule = "/tarvolin-ui.so";
#ifdef TVN_DESKTOP_MODULE
constexpr const char* kBuiltModule = TVN_DESKTOP_MODULE;
#else
constexpr const char* kBuiltModule = nullptr; // built without it (WITH_UI=OFF)
#endif

// The files `pid` maps, one line per mapping (/proc/PID/maps).
std::string Mappings(qint64 pid) {
    return ReadFileBytes("/proc/" + std::to_string(pid) + "/maps").value_or("");
}

bool Maps(const std::string& mappings, const char* file) {
    return mappings.find(file) != std::string::npos;
}

class DesktopModuleTest : public StartupTest {
  protected:
    // Starts `program` with the test's environment plus `extra`.
    std::unique_ptr<QProcess> StartWith(const QString& program,
                                        const QProcessEnvironment& extra) const {
        QProcessEnvironment env = Environment();
        for (const QString& name : extra.keys())
            env.insert(name, extra.value(name));
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(QString::fromStdString(base));
        process->start(program, {});
        process->waitForStarted(kWaitMs);
        process->closeWriteChannel();
        return process;
    }

    // Ends `process` as the session's end would; what it wrote.
    static Finished Stop(QProcess& process) {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        Finished ended = Wait(process);
        EXPECT_TRUE(ended.exited);
        return ended;
    }
};

TEST_F(DesktopModuleTest, HeadlessProgramDoesNotMapWidgets) {
    WriteSettings();
    WriteFileBytes(Path("site/hello.txt"), "hello");
    auto program = Start();
    ASSERT_TRUE(WaitForListening(port));
    EXPECT_NE(HttpGet(port, "/hello.txt").find("hello"), std::string::npos);
    const std::string mappings = Mappings(program->processId());
    ASSERT_TRUE(Maps(mappings, "libQt6Core.so")) << mappings;
    EXPECT_FALSE(Maps(mappings, kWidgets)) << mappings;
    EXPECT_FALSE(Maps(mappings, kModule)) << mappings;
    Stop(*program);
}

// A second start on the same screen hands over "show the window" to the first, whose module
// shows its settings window there.
TEST_F(DesktopModuleTest, ProgramOnAScreenLoadsTheModuleAndShowsItsWindow) {
    if (!kBuiltModule)
        GTEST_SKIP() << "built without the desktop window (WITH_UI=OFF)";
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xdotool is not installed (scripts/install-deps.sh)";
    XvfbScreen screen(1024, 768);
    if (!screen.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    WriteSettings({{"NoAskFirewall", "1"}});
    QProcessEnvironment onScreen;
    onScreen.insert("DISPLAY", QString::fromStdString(screen.Display()));
    auto program = StartWith(TVN_PROGRAM, onScreen);
    ASSERT_TRUE(WaitForListening(port));
    const std::string mappings = Mappings(program->processId());
    EXPECT_TRUE(Maps(mappings, kBuiltModule)) << mappings;
    EXPECT_TRUE(Maps(mappings, kWidgets)) << mappings;

    auto second = StartWith(TVN_PROGRAM, onScreen);
    EXPECT_TRUE(Wait(*second).exited);
    QProcess search;
    const QStringList arguments = {"search", "--onlyvisible", "--pid",
                                   QString::number(program->processId())};
    QString windows;
    for (int attempt = 0; attempt < 50 && windows.isEmpty(); ++attempt) {
        search.start("xdotool", arguments);
        search.waitForFinished(kWaitMs);
        windows = QString::fromLocal8Bit(search.readAllStandardOutput()).trimmed();
        if (windows.isEmpty())
            QThread::msleep(100);
    }
    EXPECT_FALSE(windows.isEmpty()) << "no window of the program is shown";
    const std::string err = Stop(*program).err;
    EXPECT_EQ(err.find(LoadString(StringId::kDesktopModuleMissing)), std::string::npos) << err;
}

// A copy of the program in a folder without its module (nor a lib/tarvolin beside it), started
// with a display named: it must say why there is no window and serve anyway.
TEST_F(DesktopModuleTest, ProgramWithoutItsModuleServesHeadless) {
    if (!kBuiltModule)
        GTEST_SKIP() << "built without the desktop window (WITH_UI=OFF)";
    // A hard link where the file system allows it: the program is large.
    const std::string folder = Path("alone/bin");
    std::filesystem::create_directories(folder);
    const std::string copy = folder + "/tarvolin";
    std::error_code ec;
    std::filesystem::create_hard_link(TVN_PROGRAM, copy, ec);
    if (ec) {
        ASSERT_TRUE(std::filesystem::copy_file(TVN_PROGRAM, copy, ec)) << ec.message();
    }
    WriteSettings();
    WriteFileBytes(Path("site/hello.txt"), "hello");
    QProcessEnvironment display;
    display.insert("DISPLAY", ":65000"); // never reached: the window needs the module first
    auto program = StartWith(QString::fromStdString(copy), display);
    ASSERT_TRUE(WaitForListening(port));
    EXPECT_NE(HttpGet(port, "/hello.txt").find("hello"), std::string::npos);
    EXPECT_FALSE(Maps(Mappings(program->processId()), kWidgets));
    const std::string err = Stop(*program).err;
    EXPECT_NE(err.find(LoadString(StringId::kDesktopModuleMissing) + ": "), std::string::npos)
        << err;
    EXPECT_NE(err.find(kModule), std::string::npos) << "dlerror names the file: " << err;
}

} // namespace
} // namespace tvn::test
