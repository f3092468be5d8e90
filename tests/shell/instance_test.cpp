// Single instance, inter-instance commands, termination signals and the terminal question.
#include "shell/instance_channel.h"
#include "shell/instance_lock.h"
#include "shell/termination_signals.h"
#include "shell/user_interface.h"
#include "shell_fixture.h"

#include <QLockFile>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace tvn {
namespace {

using test::SpinUntil;

// Points XDG_RUNTIME_DIR at a folder for the life of the object.
class RuntimeDir {
  public:
    explicit RuntimeDir(const std::string& folder) {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            previous = old;
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
    ~RuntimeDir() {
        if (previous)
            ::setenv("XDG_RUNTIME_DIR", previous->c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

  private:
    std::optional<std::string> previous;
};

TEST(InstanceLock, OneHolderPerRuntimeFolder) {
    QTemporaryDir first;
    QTemporaryDir second;
    RuntimeDir runtime(first.path().toStdString());
    auto holder = std::make_unique<CInstanceLock>();
    ASSERT_TRUE(holder->TryLock());
    EXPECT_FALSE(CInstanceLock().TryLock());
    {
        RuntimeDir other(second.path().toStdString());
        EXPECT_TRUE(CInstanceLock().TryLock()) << "another user's (or session's) folder";
    }
    holder.reset();
    EXPECT_TRUE(CInstanceLock().TryLock()) << "the lock goes with its holder";
}

// A program that crashed leaves its lock file behind; the next start must not take it for
// a running instance (it would hand over to nobody and exit, forever).
TEST(InstanceLock, TakesOverTheLockOfADeadProcess) {
    QTemporaryDir dir;
    RuntimeDir runtime(dir.path().toStdString());
    const pid_t child = ::fork();
    if (child == 0) {
        QLockFile file(QString::fromStdString(InstanceFilePath(".lock")));
        ::_exit(file.tryLock(0) ? 0 : 1); // no unlock: the file stays
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(test::ReadFileBytes(InstanceFilePath(".lock")).has_value());
    EXPECT_TRUE(CInstanceLock().TryLock());
}

TEST(InstanceLock, NoUsableFolderIsNotAnotherInstance) {
    RuntimeDir runtime("/proc/self"); // a folder where nothing can be created
    EXPECT_TRUE(CInstanceLock().TryLock());
}

class InstanceChannelTest : public ::testing::Test {
  protected:
    std::string Path() const { return dir.path().toStdString() + "/cmd.socket"; }
    QTemporaryDir dir;
    std::vector<int> received;
};

TEST_F(InstanceChannelTest, DeliversShowAndExit) {
    CInstanceChannel channel(Path(), [this](int command) { received.push_back(command); });
    ASSERT_TRUE(channel.Listen());
    for (int command : {kCommandShowWindow, kCommandExit}) {
        SCOPED_TRACE(command);
        received.clear();
        EXPECT_TRUE(SendInstanceCommand(Path(), command));
        EXPECT_TRUE(SpinUntil([&] { return !received.empty(); }));
        EXPECT_EQ(received, std::vector<int>{command});
    }
}

TEST_F(InstanceChannelTest, IgnoresOtherCommands) {
    CInstanceChannel channel(Path(), [this](int command) { received.push_back(command); });
    ASSERT_TRUE(channel.Listen());
    EXPECT_TRUE(SendInstanceCommand(Path(), 5007));
    EXPECT_TRUE(SendInstanceCommand(Path(), kCommandExit));
    EXPECT_TRUE(SpinUntil([&] { return !received.empty(); }));
    SpinUntil([] { return false; }, 100);
    EXPECT_EQ(received, std::vector<int>{kCommandExit});
}

TEST_F(InstanceChannelTest, NobodyListening) {
    EXPECT_FALSE(SendInstanceCommand(Path(), kCommandExit));
    test::WriteFileBytes(Path(), "left over");
    EXPECT_FALSE(SendInstanceCommand(Path(), kCommandExit));
}

// The socket file of an instance that died stays behind; the next instance listens anyway.
TEST_F(InstanceChannelTest, ReplacesALeftOverSocketFile) {
    {
        CInstanceChannel dead(Path(), [](int) {});
        ASSERT_TRUE(dead.Listen());
    }
    test::WriteFileBytes(Path(), "");
    CInstanceChannel channel(Path(), [this](int command) { received.push_back(command); });
    ASSERT_TRUE(channel.Listen());
    EXPECT_TRUE(SendInstanceCommand(Path(), kCommandShowWindow));
    EXPECT_TRUE(SpinUntil([&] { return !received.empty(); }));
}

TEST(TerminationSignals, RunTheHandlerFromTheEventLoop) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        int calls = 0;
        CTerminationSignals handler([&] { ++calls; });
        ASSERT_TRUE(handler.Installed());
        ::raise(signal);
        EXPECT_EQ(calls, 0) << "not inside the signal handler";
        EXPECT_TRUE(SpinUntil([&] { return calls > 0; }));
    }
}

TEST(TerminationSignals, PutBackThePreviousHandlers) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved {};
    ::sigaction(SIGTERM, &ignore, &saved);
    {
        CTerminationSignals handler([] {});
    }
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::sigaction(SIGTERM, &saved, nullptr);
}

TEST(AskYesNoOnTerminal, OnlyYesMeansYes) {
    struct Case {
        const char* input;
        bool terminal;
        bool yes;
    };
    const Case cases[] = {
        {"y\n", true, true},    {"yes\n", true, true}, {"YES\n", true, true},
        {" Y \n", true, true},  {"y", true, true},     {"n\n", true, false},
        {"\n", true, false},    {"", true, false},     {"yess\n", true, false},
        {"oui\n", true, false}, {"y\n", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << '"' << c.input << "\" terminal " << c.terminal);
        std::istringstream in(c.input);
        std::ostringstream out;
        EXPECT_EQ(AskYesNoOnTerminal("Delete shared documents", "Tarvolin", in, out, c.terminal),
                  c.yes);
        if (c.terminal) {
            EXPECT_NE(out.str().find("Delete shared documents"), std::string::npos);
        } else {
            EXPECT_EQ(out.str(), "") << "no prompt without a terminal";
        }
    }
}

} // namespace
} // namespace tvn
