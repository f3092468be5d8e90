#include "config/settings_section.h"
#include "presence/fake_nat.h"
#include "presence/firewall.h"
#include "presence/network_presence.h"
#include "resources/string_ids.h"
#include "support/desktop_session.h"
#include "support/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace tvn {
namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// The fake firewalld is built beside the test programs.
std::string FakeFirewalldProgram() {
#ifdef TVN_TOOL_fake_firewalld
    return TVN_TOOL_fake_firewalld;
#else
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "fake_firewalld")
        .string();
#endif
}

// A private bus, and on it the fake firewalld once Start is called.
class FirewallTest : public ::testing::Test {
  protected:
    void Start(const std::vector<std::string>& options) {
        ASSERT_TRUE(bus.Ok()) << "dbus-daemon is missing";
        const std::string program = FakeFirewalldProgram();
        if (::access(program.c_str(), X_OK) != 0)
            GTEST_SKIP() << program << " is not built";
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), options.begin(), options.end());
        fake = test::SpawnWithOutput(argv, calls);
        ASSERT_GT(fake, 0);
        ASSERT_EQ(test::ReadLines(calls, 1), "ready\n");
    }
    void TearDown() override {
        test::EndProcess(fake);
        if (calls >= 0)
            ::close(calls);
    }

    // The calls the fake recorded since the last look. It records a call before answering
    // it, so every call that returned is already in the pipe.
    Lines Calls() {
        Lines lines;
        std::string text;
        pollfd ready{calls, POLLIN, 0};
        char c;
        while (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) && ::read(calls, &c, 1) == 1) {
            if (c != '\n')
                text.push_back(c);
            else
                lines.push_back(std::exchange(text, {}));
        }
        return lines;
    }

    test::PrivateSessionBus bus;
    pid_t fake = -1;
    int calls = -1;
};

TEST_F(FirewallTest, RuleAddedAtStartAndRemovedAtTheEnd) {
    Start({});
    {
        CFirewall firewall(bus.Address());
        EXPECT_TRUE(firewall.Acquire());
        EXPECT_TRUE(firewall.HasFirewall());
        EXPECT_TRUE(firewall.AddException(8080));
        EXPECT_EQ(Calls(), (Lines{"getDefaultZone", "getDefaultZone", "queryPort public 8080 tcp",
                                  "addPort public 8080 tcp 0"}));
        firewall.RemoveException();
        EXPECT_EQ(Calls(), (Lines{"removePort public 8080 tcp"}));
        firewall.RemoveException();
        EXPECT_TRUE(Calls().empty()) << "a rule removed twice";

        EXPECT_TRUE(firewall.AddException(8080));
        Calls();
    }
    EXPECT_EQ(Calls(), (Lines{"removePort public 8080 tcp"})) << "the end removes the rule";
}

TEST_F(FirewallTest, RuleFollowsThePortIntoTheZoneItWasAddedTo) {
    Start({"--zone", "home"});
    CFirewall firewall(bus.Address());
    ASSERT_TRUE(firewall.Acquire());
    ASSERT_TRUE(firewall.AddException(8080));
    Calls();
    EXPECT_TRUE(firewall.AddException(8080));
    EXPECT_TRUE(Calls().empty()) << "the same port asked for again";
    EXPECT_TRUE(firewall.AddException(9090));
    EXPECT_EQ(Calls(), (Lines{"removePort home 8080 tcp", "getDefaultZone",
                              "queryPort home 9090 tcp", "addPort home 9090 tcp 0"}));
    firewall.RemoveException();
    EXPECT_EQ(Calls(), (Lines{"removePort home 9090 tcp"}));
}

// The program's use: the rule follows the server's port from the presence worker, and the
// end of the presence removes it after the work under way.
TEST_F(FirewallTest, PresenceMovesTheRuleWithThePortAndRemovesItAtTheEnd) {
    Start({});
    test::TempDir dir;
    SettingsSection::OverrideFilePath(dir / "TVN.cfg");
    test::FakeRouter router;
    CFirewall firewall(bus.Address());
    ASSERT_TRUE(firewall.Acquire());
    Calls();
    {
        CNetworkPresence::Parts parts;
        parts.pluginFolder = dir.Path();
        parts.firewall = &firewall;
        parts.mapper = std::make_unique<CPortMapper>(std::make_unique<test::FakeNat>(router));
        parts.localAddress = [] { return std::string(); };
        CNetworkPresence presence(std::move(parts), [](const AccessInfo&) {});
        // Calls gathered until `count` arrived or two seconds passed.
        const auto gather = [this](std::size_t count) {
            Lines all;
            const auto end = Clock::now() + std::chrono::seconds(2);
            while (all.size() < count && Clock::now() < end) {
                for (std::string& line : Calls())
                    all.push_back(std::move(line));
                ::usleep(5000);
            }
            return all;
        };
        presence.FollowPort(8080);
        EXPECT_EQ(gather(3), (Lines{"getDefaultZone", "queryPort public 8080 tcp",
                                    "addPort public 8080 tcp 0"}));
        presence.FollowPort(9090);
        EXPECT_EQ(gather(4), (Lines{"removePort public 8080 tcp", "getDefaultZone",
                                    "queryPort public 9090 tcp", "addPort public 9090 tcp 0"}));
        presence.FollowPort(9090, 8443);
        EXPECT_EQ(gather(3), (Lines{"getDefaultZone", "queryPort public 8443 tcp",
                                    "addPort public 8443 tcp 0"}))
            << "the HTTPS port is let in beside the plain one";
        presence.Shutdown();
        EXPECT_EQ(Calls(), (Lines{"removePort public 9090 tcp", "removePort public 8443 tcp"}));
        presence.FollowPort(7070); // after the end: nothing
    }
    EXPECT_TRUE(Calls().empty());
    SettingsSection::OverrideFilePath("");
}

// The HTTPS port has a rule of its own beside the plain port's: each follows its port, a
// server without HTTPS keeps none, and the end removes both.
TEST_F(FirewallTest, TheHttpsPortHasARuleOfItsOwn) {
    Start({});
    CFirewall firewall(bus.Address());
    ASSERT_TRUE(firewall.Acquire());
    Calls();
    using Port = CFirewall::Port;
    EXPECT_TRUE(firewall.AddException(8080, Port::kPlain));
    EXPECT_TRUE(firewall.AddException(8443, Port::kHttps));
    EXPECT_EQ(Calls(),
              (Lines{"getDefaultZone", "queryPort public 8080 tcp", "addPort public 8080 tcp 0",
                     "getDefaultZone", "queryPort public 8443 tcp", "addPort public 8443 tcp 0"}));
    EXPECT_TRUE(firewall.AddException(9443, Port::kHttps));
    EXPECT_EQ(Calls(), (Lines{"removePort public 8443 tcp", "getDefaultZone",
                              "queryPort public 9443 tcp", "addPort public 9443 tcp 0"}))
        << "the plain rule stays when the HTTPS port moves";
    EXPECT_TRUE(firewall.AddException(9443, Port::kPlain));
    EXPECT_EQ(Calls(), (Lines{"removePort public 8080 tcp"})) << "one rule lets the port in";
    firewall.RemoveException(Port::kHttps);
    EXPECT_TRUE(Calls().empty()) << "the plain port still needs the rule";
    firewall.RemoveException();
    EXPECT_EQ(Calls(), (Lines{"removePort public 9443 tcp"}));
}

TEST_F(FirewallTest, RuleThatWasThereBeforeIsNeverRemoved) {
    Start({"--open", "8080"});
    {
        CFirewall firewall(bus.Address());
        ASSERT_TRUE(firewall.Acquire());
        EXPECT_TRUE(firewall.AddException(8080)) << "the port is let in";
        EXPECT_EQ(Calls(),
                  (Lines{"getDefaultZone", "getDefaultZone", "queryPort public 8080 tcp"}));
        firewall.RemoveException();
        EXPECT_TRUE(Calls().empty());
        // Moving away from it leaves it too.
        EXPECT_TRUE(firewall.AddException(9090));
        EXPECT_EQ(Calls(), (Lines{"getDefaultZone", "queryPort public 9090 tcp",
                                  "addPort public 9090 tcp 0"}));
    }
    EXPECT_EQ(Calls(), (Lines{"removePort public 9090 tcp"}));
}

TEST_F(FirewallTest, InertUntilFirewalldAnswered) {
    Start({});
    CFirewall firewall(bus.Address());
    EXPECT_FALSE(firewall.HasFirewall());
    EXPECT_FALSE(firewall.AddException(8080));
    firewall.RemoveException();
    EXPECT_TRUE(Calls().empty());
}

// Without firewalld the answer comes at once: the start of the program waits for it.
TEST_F(FirewallTest, NoFirewalldIsKnownAtOnce) {
    ASSERT_TRUE(bus.Ok()) << "dbus-daemon is missing";
    const std::string addresses[] = {bus.Address(), "unix:path=/nonexistent/tvn-bus", "none"};
    for (const auto& address : addresses) {
        SCOPED_TRACE(address);
        const auto begin = Clock::now();
        CFirewall firewall(address);
        EXPECT_FALSE(firewall.Acquire());
        EXPECT_FALSE(firewall.AddException(8080));
        EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(250));
    }
}

TEST_F(FirewallTest, FirewalldThatNeverAnswersIsGivenUpOnSoon) {
    Start({"--hang"});
    const auto begin = Clock::now();
    CFirewall firewall(bus.Address());
    EXPECT_FALSE(firewall.Acquire());
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(kFirewalldCallTimeoutMs - 50));
    EXPECT_LT(waited, std::chrono::milliseconds(kFirewalldCallTimeoutMs + 1000));
    EXPECT_EQ(Calls(), (Lines{"getDefaultZone"}));
}

class AskOnceTest : public ::testing::Test {
  protected:
    void SetUp() override { SettingsSection::OverrideFilePath(dir / "TVN.cfg"); }
    void TearDown() override { SettingsSection::OverrideFilePath(""); }
    test::TempDir dir;
};

TEST_F(AskOnceTest, AnswersAndTheDontAskAgainBox) {
    const int caption = static_cast<int>(StringId::kFirewallName);
    const int text = static_cast<int>(StringId::kFirewallAdvice);
    struct Case {
        const char* what;
        int stored;     // NoAskFirewall before
        AskReply reply; // what the user does when asked
        bool asked;
        bool ok;
        int storedAfter;
    };
    const Case cases[] = {
        {"silenced: OK without asking", 1, {false, false}, false, true, 1},
        {"OK: asked again next time", 0, {true, false}, true, true, 0},
        {"OK with the box ticked", 0, {true, true}, true, true, 1},
        {"Cancel stores nothing, box or not", 0, {false, true}, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SettingsSection settings;
        settings.SetInt("NoAskFirewall", c.stored);
        bool asked = false;
        const bool ok = AskOnce(caption, text, kFirewallQuestion, [&](int captionId, int textId) {
            asked = true;
            EXPECT_EQ(captionId, caption);
            EXPECT_EQ(textId, text);
            return c.reply;
        });
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(settings.GetInt("NoAskFirewall", -5), c.storedAfter);
    }
}

} // namespace
} // namespace tvn
