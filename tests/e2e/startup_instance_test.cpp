// The life of the program: single instance, hand-over, stop, signals, command words.
#include "startup_fixture.h"

#include <csignal>

namespace tvn::test {
namespace {

// What a cleanly ended server leaves: its settings and its access log.
void ExpectLeftWhole(const std::string& settings, const std::string& log, int port) {
    EXPECT_NE(settings.find("[SOFTWARE\\Tarvolin\\1.0]\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("Port=" + std::to_string(port) + "\n"), std::string::npos);
    EXPECT_NE(settings.find("CreateDemo=50397743\n"), std::string::npos);
    EXPECT_NE(log.find("\nGET /hello.txt 127.0.0.1:"), std::string::npos) << log;
}

TEST_F(StartupTest, SecondStartHandsOverAndExits) {
    WriteSettings();
    auto first = Start();
    // Inside the test's network namespace only loopback is there.
    const std::string accessLine =
        "http://localhost:" + std::to_string(port) + " Only. No NET connections found";
    std::string firstOut;
    ASSERT_TRUE(WaitForOutput(*first, accessLine, firstOut)) << firstOut;
    // None of these is a command word: each is a second normal start.
    const QStringList secondStarts[] = {{}, {"Stop"}, {"STOP"}, {"-x"}, {"site"}};
    int handedOver = 0;
    for (const QStringList& arguments : secondStarts) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Finished second = Run(arguments);
        EXPECT_TRUE(second.exited);
        EXPECT_EQ(second.exitCode, 0);
        EXPECT_EQ(second.out, "");
        EXPECT_EQ(second.err, "");
        // Without a window, the first instance answers "show yourself" by telling again
        // where it can be reached.
        ++handedOver;
        EXPECT_TRUE(WaitForOutput(*first, accessLine, firstOut, handedOver + 1)) << firstOut;
    }
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_TRUE(WaitForListening(port));
    ::kill(static_cast<pid_t>(first->processId()), SIGTERM);
    EXPECT_TRUE(Wait(*first).exited);
}

TEST_F(StartupTest, StopEndsTheRunningInstanceCleanly) {
    WriteSettings();
    WriteFileBytes(Path("site/hello.txt"), "hello");
    auto first = Start();
    ASSERT_TRUE(WaitForListening(port));
    ASSERT_NE(HttpGet(port, "/hello.txt").find("hello"), std::string::npos);

    const Finished stop = Run({"stop"});
    EXPECT_TRUE(stop.exited);
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_EQ(stop.out + stop.err, "");

    const Finished ended = Wait(*first);
    EXPECT_TRUE(ended.exited) << "the running instance did not end";
    EXPECT_EQ(ended.exitCode, 0);
    EXPECT_EQ(ended.err, "");
    EXPECT_LT(ConnectLoopback(port), 0) << "still listening";
    ExpectLeftWhole(Settings(), ReadFileBytes(Path("exec/tvn.log")).value_or(""), port);
}

TEST_F(StartupTest, TerminationSignalsTakeTheExitPath) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        WriteSettings();
        WriteFileBytes(Path("site/hello.txt"), "hello");
        auto first = Start();
        ASSERT_TRUE(WaitForListening(port));
        ASSERT_NE(HttpGet(port, "/hello.txt").find("hello"), std::string::npos);
        ::kill(static_cast<pid_t>(first->processId()), signal);
        const Finished ended = Wait(*first);
        EXPECT_TRUE(ended.exited) << "killed by the signal instead of ending";
        EXPECT_EQ(ended.exitCode, 0);
        ExpectLeftWhole(Settings(), ReadFileBytes(Path("exec/tvn.log")).value_or(""), port);
    }
}

TEST_F(StartupTest, StopWithoutARunningInstanceIsSilent) {
    const Finished stop = Run({"stop"});
    EXPECT_TRUE(stop.exited);
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_EQ(stop.out + stop.err, "");
    EXPECT_FALSE(std::filesystem::exists(SettingsFile())) << "stop does not start anything";
}

// After a crash the lock and socket files stay behind; the next start must serve.
TEST_F(StartupTest, StartsAfterAKilledInstance) {
    WriteSettings();
    auto first = Start();
    ASSERT_TRUE(WaitForListening(port));
    first->kill();
    first->waitForFinished(kWaitMs);
    auto next = Start();
    EXPECT_TRUE(WaitForListening(port));
    EXPECT_EQ(next->state(), QProcess::Running);
    EXPECT_TRUE(Run({"stop"}).exited);
    EXPECT_TRUE(Wait(*next).exited);
}

// Asking how to use the program must not start the server: it only prints the usage.
TEST_F(StartupTest, HelpPrintsTheUsageAndStartsNothing) {
    for (const char* option : {"--help", "-h"}) {
        SCOPED_TRACE(option);
        const Finished help = Run({option});
        EXPECT_TRUE(help.exited);
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind("Usage: tarvolin", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("stop"), std::string::npos);
        EXPECT_EQ(help.err, "");
        EXPECT_FALSE(std::filesystem::exists(SettingsFile())) << "help starts nothing";
        EXPECT_FALSE(std::filesystem::exists(Path("docs/Tarvolin"))) << "help creates nothing";
    }
}

TEST_F(StartupTest, InstallCreatesTheDefaultDocumentFolder) {
    const Finished install = Run({"install"});
    EXPECT_TRUE(install.exited);
    EXPECT_EQ(install.exitCode, 0);
    EXPECT_EQ(install.out + install.err, "");
    EXPECT_TRUE(std::filesystem::is_directory(Path("docs/Tarvolin/htdocs")));
}

TEST_F(StartupTest, UninstallWithoutTerminalDeletesNothing) {
    WriteFileBytes(Path("docs/Tarvolin/htdocs/keep.txt"), "mine");
    WriteFileBytes(Path("docs/Tarvolin/other.txt"), "mine too");
    const Finished uninstall = Run({"uninstall"});
    EXPECT_TRUE(uninstall.exited) << "waited for an answer";
    EXPECT_EQ(uninstall.exitCode, 0);
    EXPECT_EQ(ReadFileBytes(Path("docs/Tarvolin/htdocs/keep.txt")), "mine");
    EXPECT_EQ(ReadFileBytes(Path("docs/Tarvolin/other.txt")), "mine too");
}

TEST_F(StartupTest, BusyPortIsReportedOnStandardError) {
    LoopbackPort busy(true);
    port = busy.Port();
    WriteSettings();
    auto first = Start();
    std::string out;
    EXPECT_TRUE(WaitForOutput(*first, "The Server is stopped", out)) << out;
    const Finished stop = Run({"stop"});
    EXPECT_TRUE(stop.exited);
    const Finished ended = Wait(*first);
    EXPECT_TRUE(ended.exited);
    EXPECT_EQ(ended.err.rfind("Port " + std::to_string(port) + " is already in use!\n", 0), 0u)
        << ended.err;
}

} // namespace
} // namespace tvn::test
