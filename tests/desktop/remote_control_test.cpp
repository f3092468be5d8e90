// The remote control drives a media player of the test's own: a fake MPRIS player on a
// private session bus, and for keys its window on an Xvfb screen of the test's own.
#include "pages/page_stages.h"
#include "pages/pages_fixture.h"
#include "pages/remote_control.h"
#include "pages/screenshot.h"
#include "platform/media_player.h"
#include "support/answer_bytes.h"
#include "support/desktop_session.h"
#include "support/env_guard.h"
#include "support/server_fixture.h"

#include <chrono>
#include <poll.h>
#include <string>
#include <vector>

namespace tvn::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A fake player started as a child process, and the calls it reports, line by line.
class FakePlayer {
  public:
    explicit FakePlayer(const std::string& name, const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv{TVN_TOOL_fake_mpris_player, name};
        argv.insert(argv.end(), options.begin(), options.end());
        bool window = false;
        for (const auto& option : options)
            window = window || option == "--window";
        EnvGuard env;
        env.Set("QT_QPA_PLATFORM", window ? "xcb" : "offscreen");
        pid = SpawnWithOutput(argv, fd);
    }
    ~FakePlayer() {
        EndProcess(pid);
        if (fd >= 0)
            ::close(fd);
    }
    FakePlayer(const FakePlayer&) = delete;
    FakePlayer& operator=(const FakePlayer&) = delete;

    // The next call the player reports (focus changes of its window skipped); empty when
    // none comes within `limit`.
    std::string NextCall(std::chrono::milliseconds limit = 5000ms) {
        const auto deadline = Clock::now() + limit;
        std::string line;
        while (ReadLine(line, deadline)) {
            if (line != "Active" && line != "Inactive")
                return line;
        }
        return {};
    }
    // True when the player reported itself ready (its window focused, with --window).
    bool Ready() { return NextCall(10000ms) == "ready"; }
    // True when the player reported a key among everything read so far.
    bool SawKey() const {
        for (const auto& line : seen) {
            if (line.starts_with("Key "))
                return true;
        }
        return false;
    }

  private:
    bool ReadLine(std::string& line, Clock::time_point deadline) {
        for (;;) {
            const auto end = pending.find('\n');
            if (end != std::string::npos) {
                line = pending.substr(0, end);
                pending.erase(0, end + 1);
                seen.push_back(line);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
                return false;
            char bytes[256];
            const ssize_t n = ::read(fd, bytes, sizeof bytes);
            if (n <= 0)
                return false;
            pending.append(bytes, static_cast<std::size_t>(n));
        }
    }

    pid_t pid = -1;
    int fd = -1;
    std::string pending;
    std::vector<std::string> seen;
};

// Calls Stop on the player `name` directly on the bus, past the remote control's choice.
bool StopDirectly(const std::string& name) {
    int out = -1;
    const pid_t pid = SpawnWithOutput(
        {"dbus-send", "--session", "--print-reply", "--dest=org.mpris.MediaPlayer2." + name,
         "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player.Stop"},
        out);
    ReadLines(out, 100);
    ::close(out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Page stages whose page handler is the remote control alone.
class RemoteStages : public CPageStages {
  public:
    StageResult HandleFile(CRequestContext& context) override {
        const StageResult result =
            context.IsPageFile() ? HandleRemoteControl(context) : StageResult::kGoOn;
        return result != StageResult::kGoOn ? result : HandleScreenShot(context);
    }
};

class RemoteCommand : public PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        if (!bus.Ok())
            GTEST_SKIP() << "no dbus-daemon";
    }

    // A GET of `path` with `query` as the request reader leaves it, from `peer`.
    std::unique_ptr<CRequestContext> Request(const std::string& path, const std::string& query,
                                             const std::string& peer = "127.0.0.1:4000") {
        auto context = std::make_unique<CRequestContext>(*doc, peer);
        context->request.method = "GET";
        context->request.url = path;
        context->request.urlPath = path;
        context->request.localPath = root + path;
        context->request.query = query;
        EXPECT_TRUE(ParseQueryString(query, context->request.params));
        return context;
    }

    PrivateSessionBus bus;
};

TEST_F(RemoteCommand, ResultsWithoutAPlayerAndForNamesNotInTheTable) {
    struct Case {
        std::string_view name;
        int result;
    };
    const Case cases[] = {
        {"Play", kRemoteNoPlayer}, {"More", kRemoteNoPlayer}, {"1", kRemoteNoPlayer},
        {"play", kRemoteUnknown},  {"Vol ", kRemoteUnknown},  {"Play ", kRemoteUnknown},
        {"", kRemoteUnknown},      {"App1", kRemoteUnknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_EQ(RunRemoteCommand(c.name), c.result);
    }
}

TEST_F(RemoteCommand, NoBusAtAllMeansNoPlayer) {
    EnvGuard env;
    env.Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + base + "/no-bus");
    const auto start = Clock::now();
    EXPECT_EQ(RunRemoteCommand("Play"), kRemoteNoPlayer);
    EXPECT_LT(Clock::now() - start, 1000ms);
}

// Each button becomes its MPRIS call; the volume steps go from where the player stands.
TEST_F(RemoteCommand, ButtonsBecomeTheirPlayerCalls) {
    FakePlayer player("vlc", {"--volume", "0.85"});
    ASSERT_TRUE(player.Ready());
    struct Case {
        std::string_view name;
        std::string call;
    };
    const Case cases[] = {
        {"Play", "Play"},         {"Pause", "Pause"},
        {"Stop", "Stop"},         {"Skip", "Next"},
        {"Replay", "Previous"},   {"Rew", "Seek -10000000"},
        {"Fwd", "Seek 10000000"}, {"Vol+", "Volume 0.95"},
        {"Vol+", "Volume 1"},     {"Vol+", "Volume 1"}, // never above full
        {"Vol-", "Volume 0.9"},   {"Mute", "Volume 0"},
        {"Vol-", "Volume 0"},   // never below silence
        {"Mute", "Volume 0.9"}, // back to the volume before
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " -> " + c.call);
        EXPECT_EQ(RunRemoteCommand(c.name), kRemoteDone);
        EXPECT_EQ(player.NextCall(), c.call);
    }
}

// "More", names of other case or not in the table, and keys without a display reach the
// player as nothing: the next thing it hears is the Stop sent after them.
TEST_F(RemoteCommand, SomeButtonsSendNothing) {
    FakePlayer player("vlc");
    ASSERT_TRUE(player.Ready());
    EnvGuard env;
    env.Unset("DISPLAY");
    EXPECT_EQ(RunRemoteCommand("More"), kRemoteDone);
    EXPECT_EQ(RunRemoteCommand("play"), kRemoteUnknown);
    EXPECT_EQ(RunRemoteCommand("Home"), kRemoteUnknown);
    EXPECT_EQ(RunRemoteCommand("1"), kRemoteNoPlayer); // no screen to type on
    EXPECT_EQ(RunRemoteCommand("Stop"), kRemoteDone);
    EXPECT_EQ(player.NextCall(), "Stop");
}

TEST_F(RemoteCommand, MediaCentreWinsOverAnotherPlayer) {
    FakePlayer other("aaplayer"); // first in name order
    FakePlayer centre("kodi");
    ASSERT_TRUE(other.Ready());
    ASSERT_TRUE(centre.Ready());
    EXPECT_EQ(RunRemoteCommand("Play"), kRemoteDone);
    EXPECT_EQ(centre.NextCall(), "Play");
    ASSERT_TRUE(StopDirectly("aaplayer"));
    EXPECT_EQ(other.NextCall(), "Stop"); // and not Play before it
}

TEST_F(RemoteCommand, CommandRunsAndTheBrowserGoesBackToThePage) {
    FakePlayer player("vlc");
    ASSERT_TRUE(player.Ready());
    const auto context = Request("/RemoteControl/index.html", "value=Play&param=");
    context->answer.Start(HttpStatus::kOk); // what the open stage started for the page
    context->answer.AddHeader("Content-Type", "text/html");
    ASSERT_EQ(HandleRemoteControl(*context), StageResult::kAnswered);
    EXPECT_EQ(player.NextCall(), "Play");
    const Answer answer = ParseAnswer(std::string(test::AnswerBytes(*context)));
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 302 Redirection");
    EXPECT_EQ(answer.Header("Location"), "/RemoteControl/index.html");
    EXPECT_FALSE(answer.Has("Content-Type"));
    EXPECT_TRUE(answer.complete);
    EXPECT_EQ(answer.body, "");
}

// The pages send "Vol%2B"; a bare '+' in a query is a blank once decoded.
TEST_F(RemoteCommand, QueryDecodingDecidesTheCommand) {
    FakePlayer player("vlc", {"--volume", "0.2"});
    ASSERT_TRUE(player.Ready());
    struct Case {
        std::string query;
        std::string location;
    };
    const Case cases[] = {
        {"value=Vol+&param=b8", "/RemoteControl/a%20b.html"},
        {"value=play", "/RemoteControl/a%20b.html"},
        {"all=yes&value=Vol%2B&param=b8", "/RemoteControl/a%20b.html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        const auto context = Request("/RemoteControl/a b.html", c.query);
        ASSERT_EQ(HandleRemoteControl(*context), StageResult::kAnswered);
        const Answer answer = ParseAnswer(std::string(test::AnswerBytes(*context)));
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 302 Redirection");
        EXPECT_EQ(answer.Header("Location"), c.location);
    }
    EXPECT_EQ(player.NextCall(), "Volume 0.3"); // the first thing it heard
}

TEST_F(RemoteCommand, StrangerGetsTheRedirectWithNothingRun) {
    FakePlayer player("vlc");
    ASSERT_TRUE(player.Ready());
    const auto context = Request("/RemoteControl/index.html", "value=Play", "203.0.113.9:4000");
    ASSERT_EQ(HandleRemoteControl(*context), StageResult::kAnswered);
    const Answer answer = ParseAnswer(std::string(test::AnswerBytes(*context)));
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 302 Redirection");
    EXPECT_EQ(answer.Header("Location"), "/RemoteControl/index.html");
    EXPECT_EQ(RunRemoteCommand("Stop"), kRemoteDone);
    EXPECT_EQ(player.NextCall(), "Stop");
}

TEST_F(RemoteCommand, OtherFoldersAreLeftToTheNextStage) {
    for (const std::string path :
         {"/remotecontrol/index.html", "/RemoteControl", "/x/RemoteControl/a.html"}) {
        SCOPED_TRACE(path);
        const auto context = Request(path, "value=Play");
        EXPECT_EQ(HandleRemoteControl(*context), StageResult::kGoOn);
        EXPECT_FALSE(context->answer.Started());
    }
}

class RemoteControlServer : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        if (!bus.Ok())
            GTEST_SKIP() << "no dbus-daemon";
        doc->SetContentStages(&remoteStages);
        Put("RemoteControl/index.html", "<p>the remote</p>");
        Put("small.dat", "small");
    }

    PrivateSessionBus bus;
    RemoteStages remoteStages;
};

TEST_F(RemoteControlServer, PageWithoutCommandHasExpiredAlready) {
    const Answer answer = Get("/RemoteControl/index.html");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    ASSERT_TRUE(answer.Has("Date"));
    EXPECT_EQ(answer.Header("Expires"), answer.Header("Date"));
    EXPECT_NE(answer.body.find("the remote"), std::string::npos);
}

// While the command waits for a player that never answers, another visitor is answered;
// the waiting one gets the redirect once the call's time-out ends the wait.
TEST_F(RemoteControlServer, PlayerThatNeverAnswersHoldsNoOtherRequest) {
    FakePlayer player("hung", {"--hang"});
    ASSERT_TRUE(player.Ready());
    std::string small;
    std::string redirect;
    bool remoteStillWaiting = false;
    Clock::duration waited{};
    ASSERT_TRUE(RunWhileServing(
        [&] {
            LoopbackClient remote;
            ASSERT_TRUE(remote.Connect(port));
            const auto start = Clock::now();
            remote.Send("GET /RemoteControl/index.html?value=Play&param= HTTP/1.0\r\n\r\n");
            ASSERT_EQ(player.NextCall(), "Play"); // the player has it and says nothing
            LoopbackClient visitor;
            ASSERT_TRUE(visitor.Connect(port));
            visitor.Send("GET /small.dat HTTP/1.0\r\n\r\n");
            small = visitor.ReadAll();
            remoteStillWaiting = remote.StaysQuiet(0ms);
            redirect = remote.ReadAll(10000ms);
            waited = Clock::now() - start;
        },
        30s));
    EXPECT_EQ(ParseAnswer(small).body, "small");
    EXPECT_TRUE(remoteStillWaiting) << "the visitor waited for the player";
    const Answer answer = ParseAnswer(redirect);
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 302 Redirection");
    EXPECT_EQ(answer.Header("Location"), "/RemoteControl/index.html");
    EXPECT_GE(waited, std::chrono::milliseconds(kPlayerCallTimeoutMs) - 100ms);
    EXPECT_LT(waited, std::chrono::milliseconds(kPlayerCallTimeoutMs) + 2000ms);
}

// Keys on a screen of the test's own, where the player's window or another one has the focus.
class RemoteKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!screen.Ok() || !bus.Ok())
            GTEST_SKIP() << "no Xvfb or dbus-daemon";
    }

    XvfbScreen screen{320, 240};
    PrivateSessionBus bus;
};

TEST_F(RemoteKeys, KeysReachThePlayerWindowThatHasTheFocus) {
    FakePlayer player("kodi", {"--window", "--no-raise"});
    ASSERT_TRUE(player.Ready());
    struct Case {
        std::string_view name;
        std::string key;
    };
    const Case cases[] = {
        {"1", "Key 1"},       {"0", "Key 0"},
        {"*", "Key *"},       {"#", "Key #"},
        {"Up", "Key Up"},     {"Left", "Key Left"},
        {"OK", "Key Return"}, {"Clear", "Key Backspace"},
        {"Ch+", "Key PgUp"},  {"Ch-", "Key PgDown"},
        {"Back", "Key Back"}, {"Rec", "Key Media Record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_EQ(RunRemoteCommand(c.name), kRemoteDone);
        EXPECT_EQ(player.NextCall(), c.key);
    }
}

// A terminal of the owner's has the focus: digits and Enter must not land in it, nor in the
// player that did not come to the front.
TEST_F(RemoteKeys, NothingIsTypedWhileAnotherWindowHasTheFocus) {
    FakePlayer player("kodi", {"--window", "--no-raise"});
    ASSERT_TRUE(player.Ready());
    FakePlayer terminal("terminal", {"--window"});
    ASSERT_TRUE(terminal.Ready());
    EXPECT_EQ(RunRemoteCommand("1"), kRemoteNoPlayer);
    EXPECT_EQ(RunRemoteCommand("Enter"), kRemoteNoPlayer);
    ASSERT_TRUE(StopDirectly("terminal"));
    EXPECT_EQ(terminal.NextCall(), "Stop");
    EXPECT_EQ(RunRemoteCommand("Stop"), kRemoteDone);
    EXPECT_EQ(player.NextCall(), "Stop");
    EXPECT_FALSE(terminal.SawKey());
    EXPECT_FALSE(player.SawKey());
}

// A player that can come to the front is raised first, takes the focus and gets the key.
TEST_F(RemoteKeys, RaisedPlayerTakesTheKey) {
    FakePlayer player("kodi", {"--window"});
    ASSERT_TRUE(player.Ready());
    FakePlayer terminal("terminal", {"--window"});
    ASSERT_TRUE(terminal.Ready());
    EXPECT_EQ(RunRemoteCommand("5"), kRemoteDone);
    EXPECT_EQ(player.NextCall(), "Raise");
    EXPECT_EQ(player.NextCall(), "Key 5");
    ASSERT_TRUE(StopDirectly("terminal"));
    EXPECT_EQ(terminal.NextCall(), "Stop");
    EXPECT_FALSE(terminal.SawKey());
}

} // namespace
} // namespace tvn::test
