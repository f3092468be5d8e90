// Single instance, inter-instance commands, termination signals and the terminal question.
#include "shell/instance_channel.h"
#include "shell/instance_lock.h"
#include "shell/termination_signals.h"
#include "shell/user_interface.h"
#include "shell_fixture.h"

#include <QLockFile>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
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

TEST(ParseInstanceCommandLine, OneDecimalNumberPerLine) {
    using Kind = InstanceCommandLine::Kind;
    struct Case {
        std::string_view in;
        Kind kind;
        int command;
    };
    const std::string longDigits(kMaxInstanceCommandLine, '5');
    const std::string longBlanks = std::string(kMaxInstanceCommandLine, ' ') + "5010\n";
    const Case cases[] = {
        {"5010\n", Kind::Complete, 5010},
        {" 5011 \r\n", Kind::Complete, 5011},
        {"\t7\n", Kind::Complete, 7},
        {"5010\nrest", Kind::Complete, 5010}, // only the first line counts
        {"999999999\n", Kind::Complete, 999999999},
        {"", Kind::NeedMore, 0},
        {"5010", Kind::NeedMore, 0},
        {"50", Kind::NeedMore, 0},
        {"\n", Kind::Reject, 0},
        {" \r\n", Kind::Reject, 0},
        {"abc\n", Kind::Reject, 0},
        {"-5011\n", Kind::Reject, 0},
        {"+5011\n", Kind::Reject, 0},
        {"50 10\n", Kind::Reject, 0},
        {"5010x\n", Kind::Reject, 0},
        {"0x139a\n", Kind::Reject, 0},
        {"1234567890\n", Kind::Reject, 0}, // would overflow
        {"99999999999999999999\n", Kind::Reject, 0},
        {std::string_view("50\0"
                          "10\n",
                          6),
         Kind::Reject, 0},
        {longDigits, Kind::Reject, 0}, // no newline within the limit
        {longBlanks, Kind::Reject, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << '"' << c.in << '"');
        const InstanceCommandLine line = ParseInstanceCommandLine(c.in);
        EXPECT_EQ(line.kind, c.kind);
        if (c.kind == Kind::Complete) {
            EXPECT_EQ(line.command, c.command);
        }
    }
}

// A plain client of the command socket, as a hostile local program would open it.
UniqueFd ConnectRaw(const std::string& path, bool nonBlocking = false) {
    UniqueFd fd(
        ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return UniqueFd();
    return fd;
}

void SendRaw(const UniqueFd& fd, std::string_view bytes) {
    ASSERT_EQ(::send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// True once the channel hung up on `fd` (end of file, or a reset).
bool HungUp(const UniqueFd& fd) {
    pollfd entry{fd.Get(), POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0)
        return false;
    char byte = 0;
    return ::recv(fd.Get(), &byte, 1, MSG_DONTWAIT) <= 0;
}

int OpenDescriptors() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
}

// What a peer sends that is not a command: the channel hangs up at once (well before the idle
// limit) and passes nothing on; the next command still goes through.
TEST_F(InstanceChannelTest, HangsUpOnWhatIsNotACommand) {
    CInstanceChannel channel(
        Path(), [this](int command) { received.push_back(command); }, std::chrono::seconds(60));
    ASSERT_TRUE(channel.Listen());
    const std::string tooLong(kMaxInstanceCommandLine + 1, '5');
    const std::string_view inputs[] = {"hello\n", "5011 5011\n", "-5011\n", tooLong,
                                       std::string_view("\0\0\0\n", 4)};
    for (std::string_view input : inputs) {
        SCOPED_TRACE(::testing::Message() << '"' << input << '"');
        const UniqueFd client = ConnectRaw(Path());
        ASSERT_TRUE(client.Valid());
        SendRaw(client, input);
        EXPECT_TRUE(SpinUntil([&] { return HungUp(client); }));
    }
    EXPECT_TRUE(SendInstanceCommand(Path(), kCommandExit));
    EXPECT_TRUE(SpinUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received, std::vector<int>{kCommandExit});
}

// A line may come in pieces; a half line is kept until the rest arrives.
TEST_F(InstanceChannelTest, ReadsALineThatComesInPieces) {
    CInstanceChannel channel(Path(), [this](int command) { received.push_back(command); });
    ASSERT_TRUE(channel.Listen());
    const UniqueFd client = ConnectRaw(Path());
    ASSERT_TRUE(client.Valid());
    SendRaw(client, "50");
    SpinUntil([] { return false; }, 100);
    EXPECT_FALSE(HungUp(client));
    SendRaw(client, "10\n");
    EXPECT_TRUE(SpinUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received, std::vector<int>{kCommandShowWindow});
}

// A peer that connects and says nothing neither holds up the next command nor keeps its
// connection past the idle limit.
TEST_F(InstanceChannelTest, DropsASilentConnection) {
    CInstanceChannel channel(
        Path(), [this](int command) { received.push_back(command); },
        std::chrono::milliseconds(300));
    ASSERT_TRUE(channel.Listen());
    const UniqueFd silent = ConnectRaw(Path());
    ASSERT_TRUE(silent.Valid());
    EXPECT_TRUE(SendInstanceCommand(Path(), kCommandShowWindow));
    EXPECT_TRUE(SpinUntil([&] { return !received.empty(); }, 250)) << "before the idle limit";
    EXPECT_FALSE(HungUp(silent));
    EXPECT_TRUE(SpinUntil([&] { return HungUp(silent); }));
}

// A local program opening connections without end must not make the instance pile up
// descriptors, nor lock out the next instance for longer than the idle limit allows.
TEST_F(InstanceChannelTest, ServesAFewConnectionsAtOnce) {
    CInstanceChannel channel(
        Path(), [this](int command) { received.push_back(command); },
        std::chrono::milliseconds(300));
    ASSERT_TRUE(channel.Listen());
    const int before = OpenDescriptors();
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 64; ++i) {
        if (UniqueFd fd = ConnectRaw(Path(), true); fd.Valid())
            clients.push_back(std::move(fd));
    }
    ASSERT_FALSE(clients.empty());
    SpinUntil([] { return false; }, 100);
    const int channelDescriptors = OpenDescriptors() - before - static_cast<int>(clients.size());
    EXPECT_LE(channelDescriptors, static_cast<int>(kMaxInstanceConnections));
    EXPECT_GT(channelDescriptors, 0);

    std::thread sender([&] { EXPECT_TRUE(SendInstanceCommand(Path(), kCommandExit)); });
    const bool delivered = SpinUntil([&] { return !received.empty(); }, 5000);
    sender.join();
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(SpinUntil([&] { return std::all_of(clients.begin(), clients.end(), HungUp); }));
}

// Only this user may give the running instance commands.
TEST_F(InstanceChannelTest, SocketFileIsForThisUserOnly) {
    const mode_t previous = ::umask(0); // the mode must not depend on the caller's umask
    CInstanceChannel channel(Path(), [](int) {});
    const bool listening = channel.Listen();
    ::umask(previous);
    ASSERT_TRUE(listening);
    struct stat info {};
    ASSERT_EQ(::stat(Path().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0077, 0u) << std::oct << info.st_mode;
}

// A path that does not fit a socket address fails; it is never cut to one that does, nor
// taken as an abstract name.
TEST_F(InstanceChannelTest, PathThatDoesNotFitFails) {
    const std::string base = dir.path().toStdString() + "/";
    const std::string tooLong = base + std::string(sizeof(sockaddr_un::sun_path), 's');
    const std::string paths[] = {tooLong, "", std::string("\0abstract", 9),
                                 base + std::string("cut\0here", 8)};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        CInstanceChannel channel(path, [](int) {});
        EXPECT_FALSE(channel.Listen());
        EXPECT_FALSE(SendInstanceCommand(path, kCommandExit));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path().toStdString())) << "nothing made";
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
