// The relay service's logic without sockets: what makes a browser's request whole, who holds
// a name, when a request message goes out again, and how response messages reach the browser.
#include "tools/relay/browser_admission.h"
#include "tools/relay/browser_request.h"
#include "tools/relay/name_registry.h"
#include "tools/relay/relay_options.h"
#include "tools/relay/relay_transfer.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn::relay {
namespace {

using Kind = BrowserRequest::Kind;
using namespace std::chrono_literals;

TEST(BrowserRequest, EveryPrefixNeedsMore) {
    const std::string request = "POST /form HTTP/1.0\r\nHost: a.example\r\nContent-Length: 5\r\n"
                                "\r\nhello";
    for (std::size_t size = 0; size < request.size(); ++size) {
        SCOPED_TRACE(size);
        EXPECT_EQ(ParseBrowserRequest(request.substr(0, size), 1000).kind, Kind::kNeedMore);
    }
    const BrowserRequest whole = ParseBrowserRequest(request + "extra", 1000);
    EXPECT_EQ(whole.kind, Kind::kComplete);
    EXPECT_EQ(whole.used, request.size()); // what follows the body is not forwarded
}

TEST(BrowserRequest, Cases) {
    struct Case {
        std::string in;
        std::size_t cap;
        Kind kind;
        int status;
        std::string host;
        std::string path;
    };
    const Case cases[] = {
        {"GET / HTTP/1.0\r\nHost: Home.Example:8081\r\n\r\n", 100, Kind::kComplete, 0,
         "home.example", "/"},
        {"GET /a?b HTTP/1.0\nhost:home.example.\n\n", 100, Kind::kComplete, 0, "home.example",
         "/a"},
        {"GET / HTTP/1.0\r\nHost: [::1]:80\r\n\r\n", 100, Kind::kComplete, 0, "[::1]", "/"},
        {"GET / HTTP/1.0\r\n\r\n", 100, Kind::kComplete, 0, "", "/"},
        {"GET / HTTP/1.0\r\nHost: a\r\nHost: b\r\n\r\n", 100, Kind::kReject, 400, "b", "/"},
        {"GET\r\nHost: a\r\n\r\n", 100, Kind::kReject, 400, "a", ""},
        {"POST / HTTP/1.0\r\nContent-Length: x\r\n\r\n", 100, Kind::kReject, 400, "", "/"},
        {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 100, Kind::kReject, 411, "", "/"},
        // The head must end within the cap, and the body too.
        {"GET / HTTP/1.0\r\nHost: abcdefgh", 30, Kind::kReject, 413, "", ""},
        {"GET / HTTP/1.0\r\nHost: abcdefgh", 31, Kind::kNeedMore, 413, "", ""},
        {"POST / HTTP/1.0\r\nContent-Length: 13\r\n\r\n", 51, Kind::kReject, 413, "", "/"},
        {"POST / HTTP/1.0\r\nContent-Length: 13\r\n\r\n", 52, Kind::kNeedMore, 0, "", "/"},
        {"POST / HTTP/1.0\r\nContent-Length: 18446744073709551615\r\n\r\n", 100, Kind::kReject, 413,
         "", "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const BrowserRequest r = ParseBrowserRequest(c.in, c.cap);
        EXPECT_EQ(r.kind, c.kind);
        if (c.kind != Kind::kNeedMore) {
            EXPECT_EQ(r.status, c.status);
        }
        EXPECT_EQ(r.host, c.host);
        EXPECT_EQ(r.path, c.path);
    }
}

TEST(BrowserRequest, ResponseStatus) {
    const std::pair<std::string_view, int> cases[] = {
        {"HTTP/1.0 200 OK\r\n", 200},
        {"HTTP/1.1 404\r\n", 404},
        {"HTTP/1.0 20", 0},
        {"HTTP/1.0 2000 X", 0},
        {"<html>", 0},
        {"", 0},
    };
    for (const auto& [head, status] : cases)
        EXPECT_EQ(ResponseStatus(head), status) << head;
}

constexpr Endpoint kA{0x7F000001, 5000};
constexpr Endpoint kB{0x7F000002, 5000};

TEST(NameRegistry, AHeldNameIsTakenOverOnlyOnceItLapsed) {
    using O = CNameRegistry::Outcome;
    CNameRegistry registry(std::nullopt, "relay.example");
    struct Step {
        std::string_view name;
        Endpoint from;
        Millis at;
        O outcome;
    };
    const Step steps[] = {
        {"Home.Example", kA, 0s, O::kRegistered},
        {"home.example", kB, 1s, O::kTaken},
        {"home.example", kA, 30s, O::kRefreshed},
        // Another port of the same address may be a neighbour behind the same NAT: without the
        // holder's secret it takes nothing.
        {"home.example", Endpoint{kA.address, 6000}, 40s, O::kTaken},
        {"home.example", kB, 89999ms, O::kTaken}, // the lapse counts from the last refresh
        {"home.example", kB, 100s, O::kRegistered},
        {"relay.example", kA, 100s, O::kNotAllowed}, // the relay's own name
        {"bad name", kA, 100s, O::kInvalid},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.name) + " at " + std::to_string(s.at.count()));
        EXPECT_EQ(registry.Register(s.name, s.from, s.at), s.outcome);
    }
    EXPECT_EQ(registry.Find("home.example", 100s), kB);
    EXPECT_EQ(registry.Find("home.example", 160s), std::nullopt);
    EXPECT_TRUE(registry.Serves(kB, 159s));
    EXPECT_EQ(registry.Expire(160s), std::vector<std::string>{"home.example"});
}

TEST(NameRegistry, AllowList) {
    const auto parsed = ParseAllowList("# names\nhome.example 127.0.0.1\n\nAny.Example *  # all\n");
    ASSERT_EQ(parsed.error, "");
    CNameRegistry registry(parsed.list, "");
    using O = CNameRegistry::Outcome;
    EXPECT_EQ(registry.Register("home.example", kB, 0s), O::kNotAllowed);
    EXPECT_EQ(registry.Register("home.example", kA, 0s), O::kRegistered);
    EXPECT_EQ(registry.Register("any.example", kB, 0s), O::kRegistered);
    EXPECT_EQ(registry.Register("other.example", kA, 0s), O::kNotAllowed);

    for (const char* bad : {"home.example\n", "home.example 1.2.3\n", "x 1.2.3.4\nbad!name *\n"})
        EXPECT_NE(ParseAllowList(bad).error, "") << bad;
    EXPECT_EQ(ParseAllowList("x 1.2.3.4\nbad!name *\n").error.substr(0, 6), "line 2");
}

constexpr std::string_view kSecret = "0123456789abcdef0123456789abcdef";
constexpr std::string_view kOtherSecret = "fedcba9876543210fedcba9876543210";

// A second socket on the server's address (a neighbour behind the same NAT) took the name
// over as "a NAT that moved it", and from then on got the browsers' requests with their
// passwords. A held name moves only with the secret it was registered with.
TEST(NameRegistry, NeighbourOnTheSameAddressTakesNoHeldName) {
    using O = CNameRegistry::Outcome;
    const Endpoint neighbour{kA.address, 6000};
    const Endpoint moved{kA.address, 7000};
    struct Step {
        std::string_view name;
        Endpoint from;
        Millis at;
        std::string_view secret;
        O outcome;
    };
    const Step steps[] = {
        {"open.example", kA, 0s, "", O::kRegistered},
        {"open.example", neighbour, 1s, "", O::kTaken},
        {"open.example", neighbour, 2s, kSecret, O::kTaken},  // a secret it was not held with
        {"open.example", kA, 3s, "", O::kRefreshed},          // the same socket as ever
        {"open.example", neighbour, 63s, "", O::kRegistered}, // lapsed: free again
        {"held.example", kA, 0s, kSecret, O::kRegistered},
        {"held.example", neighbour, 1s, "", O::kTaken},
        {"held.example", neighbour, 2s, kOtherSecret, O::kTaken},
        {"held.example", kA, 3s, "", O::kTaken}, // its socket, but not the server that holds it
        {"held.example", kA, 4s, kSecret, O::kRefreshed},
        {"held.example", moved, 5s, kSecret, O::kMoved}, // the same server from a new port
        {"held.example", kA, 6s, kSecret, O::kMoved},    // and back
        {"held.example", kB, 7s, kSecret, O::kMoved},    // or from a new address
        {"held.example", kA, 8s, "short", O::kInvalid},  // no secret at all
        {"held.example", neighbour, 67s, "", O::kRegistered},
    };
    CNameRegistry registry(std::nullopt, "relay.example");
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.name) + " at " + std::to_string(s.at.count()));
        EXPECT_EQ(registry.Register(s.name, s.from, s.at, s.secret), s.outcome);
    }
    EXPECT_EQ(registry.Find("open.example", 63s), neighbour);
    EXPECT_EQ(registry.Find("held.example", 67s), neighbour);
}

// An allow-list entry with a secret keeps the name for the one server, also after a restart
// of the relay has emptied the table.
TEST(NameRegistry, AllowListSecretKeepsTheNameForItsServer) {
    const auto parsed =
        ParseAllowList("home.example * " + std::string(kSecret) + "\nfixed.example 127.0.0.1\n");
    ASSERT_EQ(parsed.error, "");
    using O = CNameRegistry::Outcome;
    CNameRegistry registry(parsed.list, "");
    EXPECT_EQ(registry.Register("home.example", kB, 0s), O::kNotAllowed);
    EXPECT_EQ(registry.Register("home.example", kB, 0s, kOtherSecret), O::kNotAllowed);
    EXPECT_EQ(registry.Register("home.example", kB, 0s, kSecret), O::kRegistered);
    EXPECT_EQ(registry.Register("home.example", kA, 100s), O::kNotAllowed); // lapsed, still not
    EXPECT_EQ(registry.Register("home.example", kA, 100s, kSecret), O::kRegistered);
    EXPECT_EQ(registry.Register("fixed.example", kA, 0s), O::kRegistered);

    for (const std::string& bad :
         {std::string("x * short\n"), "x * " + std::string(kSecret) + " more\n",
          "x * " + std::string(kSecret) + "!\n"})
        EXPECT_NE(ParseAllowList(bad).error, "") << bad;
}

// One address registered 4090 names in a second, and new servers got no answer: the table
// was full. An address holds kMaxNamesPerAddress names at most.
TEST(NameRegistry, OneAddressCannotFillTheNameTable) {
    using O = CNameRegistry::Outcome;
    CNameRegistry registry(std::nullopt, "");
    auto name = [](int i) { return "n" + std::to_string(i) + ".example"; };
    for (std::size_t i = 0; i < CNameRegistry::kMaxNamesPerAddress; ++i)
        ASSERT_EQ(registry.Register(name(int(i)), kA, 0s), O::kRegistered) << i;
    const Endpoint otherPort{kA.address, 6000};
    EXPECT_EQ(registry.Register("one.more.example", kA, 1s), O::kTooMany);
    EXPECT_EQ(registry.Register("one.more.example", otherPort, 1s), O::kTooMany);
    EXPECT_EQ(registry.Register(name(0), kA, 2s), O::kRefreshed); // what it holds it keeps
    EXPECT_EQ(registry.Register("fresh.example", kB, 2s), O::kRegistered);
    EXPECT_EQ(registry.Register("one.more.example", kA, 61s), O::kRegistered); // some lapsed

    // Names the allow-list grants to the address by name are the operator's choice.
    AllowList list;
    for (int i = 0; i < 20; ++i)
        list[name(i)].push_back(AllowEntry{kA.address, ""});
    CNameRegistry listed(list, "");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(listed.Register(name(i), kA, 0s), O::kRegistered) << i;
}

TEST(NameRegistry, IpLiteralsAndLocalhostAreNeverRegistrable) {
    CNameRegistry registry(std::nullopt, "");
    const std::string_view refused[] = {
        "127.0.0.1", "10.1.2.3", "127.1",     "2130706433", "0x7f.1",      "0x7F000001",
        "017.0.0.1", "a.b.0x1f", "localhost", "LocalHost.", "x.localhost", "1.2.3.4.",
    };
    for (const auto name : refused)
        EXPECT_EQ(registry.Register(name, kA, 0s), CNameRegistry::Outcome::kInvalid) << name;
    const std::string_view taken[] = {"home.example", "1.2.3.example", "a1", "0xg.example",
                                      "localhost.example"};
    for (const auto name : taken)
        EXPECT_EQ(registry.Register(name, kA, 0s), CNameRegistry::Outcome::kRegistered) << name;
}

// 800 connections that each sent one byte held the relay's 768 places, and nobody else got
// in; a byte a minute kept them.
TEST(BrowserAdmission, OneAddressCannotHoldEveryPlace) {
    using D = CBrowserAdmission::Decision;
    CBrowserAdmission admission(100);
    for (std::uint64_t key = 1; key <= CBrowserAdmission::kMaxPerAddress; ++key) {
        ASSERT_EQ(admission.Decide(kA.address), D::kAdmit);
        admission.Add(key, kA.address, 0s);
    }
    EXPECT_EQ(admission.Decide(kA.address), D::kRefuse);
    EXPECT_EQ(admission.Decide(kB.address), D::kAdmit);
    admission.Remove(1);
    EXPECT_EQ(admission.Decide(kA.address), D::kAdmit);
}

TEST(BrowserAdmission, WhenFullTheOldestUnfinishedHeadGivesWay) {
    using D = CBrowserAdmission::Decision;
    CBrowserAdmission admission(3);
    admission.Add(1, 1, 0s);
    admission.Add(2, 2, 1s);
    admission.Add(3, 3, 2s);
    EXPECT_EQ(admission.Decide(4), D::kAdmitClosing);
    EXPECT_EQ(admission.OldestUnfinished(), 1u);
    admission.HeadDone(1); // its request is on its way: it keeps its place
    EXPECT_EQ(admission.OldestUnfinished(), 2u);
    admission.Remove(2);
    EXPECT_EQ(admission.Decide(4), D::kAdmit);
    admission.Add(4, 4, 3s);
    admission.HeadDone(3);
    admission.HeadDone(4);
    EXPECT_EQ(admission.Decide(5), D::kFull);
    EXPECT_TRUE(admission.Full());
    EXPECT_EQ(admission.OldestUnfinished(), std::nullopt);
}

TEST(BrowserAdmission, HeadIsOverdueThirtySecondsAfterTheStartHoweverItTrickles) {
    CBrowserAdmission admission(10);
    admission.Add(1, 1, 0s);
    admission.Add(2, 2, 10s);
    admission.Add(3, 3, 20s);
    admission.HeadDone(3);
    using Keys = std::vector<CBrowserAdmission::Key>;
    EXPECT_EQ(admission.Overdue(29999ms), Keys{});
    EXPECT_EQ(admission.Overdue(30s), Keys{1});
    EXPECT_EQ(admission.Overdue(100s), (Keys{1, 2})); // not the one whose head is whole
}

TEST(RelayOptions, Arguments) {
    const auto ok = ParseArguments({"--http-port", "80", "--udp-port=1300", "--bind", "127.0.0.1",
                                    "--name", "Relay.Example.", "--resend-wait", "250"});
    ASSERT_EQ(ok.error, "");
    EXPECT_EQ(ok.options.httpPort, 80);
    EXPECT_EQ(ok.options.udpPort, 1300);
    EXPECT_EQ(ok.options.bind, "127.0.0.1");
    EXPECT_EQ(ok.options.name, "relay.example");
    EXPECT_EQ(ok.options.resendWait, 250ms);
    EXPECT_EQ(ParseArguments({}).options.resendWait, kRequestRetries.wait);
    const std::vector<std::vector<std::string>> bad = {
        {"--http-port", "0"},    {"--udp-port", "65536"},    {"--bind", "::1"},
        {"--http-port"},         {"--verbose", "1"},         {"stray"},
        {"--resend-wait", "0"},  {"--resend-wait", "60001"}, {"--resend-wait", "-5"},
        {"--resend-wait", "3s"}, {"--resend-wait", ""},
    };
    for (const auto& arguments : bad)
        EXPECT_NE(ParseArguments(arguments).error, "") << arguments[0];
}

TEST(RequestSender, ResendsEveryThreeSecondsFiveTimesInAll) {
    using A = CRequestSender::Action;
    CRequestSender sender(-1, "127.0.0.1:1\r\nGET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(sender.OnTick(100s), A::kIdle); // not started: nothing to resend
    EXPECT_EQ(sender.Start(10s), A::kTransmit);
    const std::pair<Millis, A> ticks[] = {
        {12999ms, A::kIdle},     {13s, A::kTransmit},     {15s, A::kIdle},
        {16100ms, A::kTransmit}, {19100ms, A::kTransmit}, {22100ms, A::kTransmit},
        {25099ms, A::kIdle},     {25100ms, A::kGiveUp},
    };
    for (const auto& [at, action] : ticks)
        EXPECT_EQ(sender.OnTick(at), action) << at.count();
    EXPECT_EQ(sender.Sends(), 5);
}

// The relay's --resend-wait, and an acknowledgement that ends the resending.
TEST(RequestSender, WaitsAsToldAndStopsAtTheAcknowledgement) {
    using A = CRequestSender::Action;
    CRequestSender sender(-1, "127.0.0.1:1\r\nGET / HTTP/1.0\r\n\r\n", {5, 200ms});
    EXPECT_EQ(sender.Start(0ms), A::kTransmit);
    EXPECT_EQ(sender.OnTick(199ms), A::kIdle);
    EXPECT_EQ(sender.OnTick(200ms), A::kTransmit);
    EXPECT_EQ(sender.OnAck(250ms), A::kAcknowledged);
    EXPECT_EQ(sender.OnTick(10s), A::kIdle);
    EXPECT_EQ(sender.Sends(), 2);
}

TEST(RequestSender, WhatCountsAsTheAcknowledgement) {
    auto header = [](std::uint8_t flags, std::int32_t id, std::uint32_t sequence) {
        DatagramHeader h;
        h.flags = flags;
        h.connectionId = id;
        h.sequence = sequence;
        return h;
    };
    EXPECT_TRUE(IsOpenAck(header(0x05, 7, 0), 16, -1));
    EXPECT_TRUE(IsOpenAck(header(0x05, 7, 0), 16, 7));
    EXPECT_FALSE(IsOpenAck(header(0x05, 8, 0), 16, 7));   // another request's
    EXPECT_FALSE(IsOpenAck(header(0x05, -1, 0), 16, -1)); // no id assigned
    EXPECT_FALSE(IsOpenAck(header(0x04, 7, 0), 16, -1));  // not of an open
    EXPECT_FALSE(IsOpenAck(header(0x0D, 7, 0), 16, -1));  // a registration reply bit
    EXPECT_FALSE(IsOpenAck(header(0x05, 7, 1), 16, -1));
    EXPECT_FALSE(IsOpenAck(header(0x05, 7, 0), 17, -1));
}

// Response fragments of connection 7 with the acknowledgement and bytes each one yields.
TEST(ResponseReceiver, WritesEachMessageOnceInOrder) {
    CResponseReceiver receiver(7);
    const std::string first(2000, 'a');
    const auto m1 = FragmentMessage(0, 7, 1, first);
    const auto m2 = FragmentMessage(0, 7, 2, "second");
    auto add = [&](const std::string& datagram, bool room) {
        DatagramHeader header;
        std::string_view payload;
        EXPECT_TRUE(ParseDatagram(datagram, header, payload));
        return receiver.OnFragment(header, payload, room);
    };
    auto ack = [](std::uint32_t sequence) {
        DatagramHeader of;
        of.sequence = sequence;
        return MakeAck(of, 7);
    };
    struct Step {
        const std::string& datagram;
        bool room;
        std::string ack;
        std::string deliver;
    };
    const Step steps[] = {
        {m2[0], true, "", ""}, // not before message 1
        {m1[1], true, "", ""}, // the second half first
        {m1[1], true, "", ""}, // twice: still half a message
        {m1[0], true, ack(1), first},
        {m1[1], true, "", ""},     // message 1 again: one acknowledgement per repetition
        {m1[0], true, ack(1), ""}, // acknowledged again, not written again
        {m2[0], false, "", ""},    // the browser has no room: held, unacknowledged
        {m2[0], false, "", ""},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        const auto step = add(steps[i].datagram, steps[i].room);
        EXPECT_EQ(step.ack, steps[i].ack);
        EXPECT_EQ(step.deliver, steps[i].deliver);
    }
    EXPECT_TRUE(receiver.Holding());
    const auto released = receiver.OnRoom();
    EXPECT_EQ(released.ack, ack(2));
    EXPECT_EQ(released.deliver, "second");
    EXPECT_FALSE(receiver.Holding());
    EXPECT_EQ(receiver.OnRoom().ack, "");
    EXPECT_EQ(receiver.NextSequence(), 3u);
}

} // namespace
} // namespace tvn::relay
