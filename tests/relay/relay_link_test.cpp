// The relay link against a stand-in relay service on loopback: registrations, relayed
// requests answered as the direct path answers them, repeats, strangers and a silent
// service.
#include "config/settings_section.h"
#include "platform/ini_file.h"
#include "relay/datagram.h"
#include "relay/relay_link.h"
#include "support/server_fixture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace tvn::test {
namespace {

using relay::DatagramHeader;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kStranger = 0x7F000002;

// The service's side of the link, spoken by hand: a UDP socket on loopback.
class StandInService {
  public:
    explicit StandInService(std::uint32_t address = kLoopback) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    ~StandInService() { ::close(fd); }

    // The next datagram within `limit`, and who sent it; nothing on time-out.
    std::optional<std::string> Receive(std::chrono::milliseconds limit = 3000ms) {
        pollfd poller{fd, POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(limit.count())) <= 0)
            return std::nullopt;
        char buffer[2048];
        socklen_t length = sizeof server;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&server), &length);
        if (n < 0)
            return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }
    // Waits for a registration (which also tells the server's address); its name.
    std::optional<std::string> AwaitRegistration() {
        for (int i = 0; i < 20; ++i) {
            const auto datagram = Receive();
            DatagramHeader header;
            std::string_view payload;
            if (datagram && relay::ParseDatagram(*datagram, header, payload) &&
                header.flags == relay::kRegister)
                return std::string(relay::RegistrationName(payload));
        }
        return std::nullopt;
    }
    void SendToServer(const std::string& datagram) {
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&server),
                 sizeof server);
    }
    void Send(const DatagramHeader& header, std::string_view payload) {
        std::string datagram;
        relay::AppendDatagram(datagram, header, payload);
        SendToServer(datagram);
    }
    void SendRequest(const std::string& message, std::int32_t id = -1) {
        for (const std::string& fragment : relay::FragmentMessage(relay::kOpen, id, 0, message))
            SendToServer(fragment);
    }
    // The next datagram that parses, skipping registrations.
    std::optional<std::pair<DatagramHeader, std::string>> Next(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms)
                return std::nullopt;
            const auto datagram = Receive(left);
            if (!datagram)
                return std::nullopt;
            DatagramHeader header;
            std::string_view payload;
            if (relay::ParseDatagram(*datagram, header, payload) &&
                header.flags != relay::kRegister)
                return std::make_pair(header, std::string(payload));
        }
    }
    // Receives the answer of connection `id`: every message acknowledged (unless `silent`),
    // until the close datagram. The messages' payloads in sequence order.
    std::vector<std::string> ReceiveAnswer(std::int32_t id, bool* closedAfterLast = nullptr) {
        std::map<std::uint32_t, relay::CMessageAssembler> messages;
        std::vector<std::string> done;
        for (;;) {
            const auto next = Next(8000ms);
            if (!next)
                return done;
            const auto& [header, payload] = *next;
            if (header.connectionId != id)
                continue;
            if (header.flags & relay::kClose) {
                if (closedAfterLast)
                    *closedAfterLast = header.sequence == done.size() + 1;
                return done;
            }
            auto& assembler = messages[header.sequence];
            if (assembler.Add(header, payload) == relay::CMessageAssembler::Result::kComplete) {
                if (header.sequence == done.size() + 1)
                    done.emplace_back(assembler.Message());
                SendToServer(relay::MakeAck(header, id));
            }
        }
    }

    int fd = -1;
    int port = 0;
    sockaddr_in server{};
};

class RelayLink : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Put("big.bin", PatternBytes(100000));
        Put("small.dat", "small");
        doc->relayFactory = MakeRelayLink;
    }
    // Restarts the server with the relay service at `service` (registering every 200 ms),
    // whose answers wait `ackWaitMs` for each acknowledgement (0: the protocol's wait).
    void UseService(const StandInService& service, const std::string& name = "home.example",
                    int ackWaitMs = 0) {
        const std::string file = SettingsSection::FilePath();
        ini::WriteString(file, kSettingsSectionName, "ServiceHost", "127.0.0.1");
        ini::WriteString(file, kSettingsSectionName, "ServicePort", std::to_string(service.port));
        ini::WriteString(file, kSettingsSectionName, "ServicePeriod", "200");
        if (ackWaitMs > 0)
            ini::WriteString(file, kSettingsSectionName, "ServiceAckWait",
                             std::to_string(ackWaitMs));
        ASSERT_TRUE(doc->StartServing(port, root, false));
        ASSERT_NE(doc->RelayLink(), nullptr);
        EXPECT_EQ(doc->RelayServiceHost(), "127.0.0.1");
        doc->SetRelayName(name);
    }
    CTcpOverUdp& Link() { return *static_cast<CTcpOverUdp*>(doc->RelayLink()); }

    // The barrier of the tests of datagrams that must change nothing: a request run once,
    // whose repetition the link acknowledges again at once, without running it. The link
    // reads its socket in order, so once that acknowledgement is back every datagram sent
    // before the repetition has been handled, and an answer to it would be here already.
    static constexpr const char* kProbe = "probe\r\nGET /small.dat HTTP/1.0\r\n\r\n";
    // Runs the probe once (from the serving thread's worker); its connection id.
    static std::optional<std::int32_t> RunProbe(StandInService& service) {
        service.SendRequest(kProbe);
        const auto ack = service.Next(3000ms);
        if (!ack)
            return std::nullopt;
        service.ReceiveAnswer(ack->first.connectionId);
        return ack->first.connectionId;
    }
    // Serves until the link has registered and run the probe once; the probe's connection id.
    static std::optional<std::int32_t> RegisterAndProbe(StandInService& service) {
        std::optional<std::int32_t> probe;
        const bool served = RunWhileServing([&] {
            if (service.AwaitRegistration())
                probe = RunProbe(service);
        });
        return served ? probe : std::nullopt;
    }
    // Sends the probe again; true when the next datagram is its acknowledgement.
    static bool Barrier(StandInService& service, std::int32_t probeId) {
        service.SendRequest(kProbe);
        const auto next = service.Next(3000ms);
        return next && next->first.flags == (relay::kOpen | relay::kAck) &&
               next->first.connectionId == probeId;
    }
};

TEST_F(RelayLink, RelayedGetIsTheDirectAnswerAndLogsNoAddress) {
    StandInService service;
    UseService(service);
    std::optional<std::string> name;
    std::optional<std::pair<DatagramHeader, std::string>> ack;
    std::vector<std::string> messages;
    bool closeFollowsLast = false;
    ASSERT_TRUE(RunWhileServing(
        [&] {
            name = service.AwaitRegistration();
            service.SendRequest("203.0.113.9:4444\r\nGET /big.bin HTTP/1.0\r\n\r\n");
            ack = service.Next(3000ms);
            if (ack)
                messages = service.ReceiveAnswer(ack->first.connectionId, &closeFollowsLast);
        },
        60s));
    EXPECT_EQ(name, "home.example");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->first.flags, relay::kOpen | relay::kAck);
    EXPECT_GE(ack->first.connectionId, 1);
    EXPECT_EQ(ack->first.sequence, 0u);
    EXPECT_EQ(ack->second, "");
    std::string relayed;
    for (const std::string& message : messages) {
        EXPECT_LE(message.size(), relay::kMaxMessage);
        relayed += message;
    }
    EXPECT_GE(messages.size(), 7u);
    EXPECT_TRUE(closeFollowsLast);
    const Answer direct = Get("/big.bin");
    const Answer viaRelay = ParseAnswer(relayed);
    EXPECT_EQ(viaRelay.statusLine, direct.statusLine);
    EXPECT_EQ(viaRelay.Names(), direct.Names());
    EXPECT_EQ(viaRelay.Header("Content-Length"), "100000");
    EXPECT_TRUE(viaRelay.body == direct.body);
    // The browser is known to the service only: the log line has an empty address.
    EXPECT_EQ(Log().substr(0, Log().find('\n', 1)), "\nGET /big.bin ");
}

// A relayed connection cannot hand a file to the kernel: a byte range of it is read from
// its offset into the buffer, and must be the same part a direct visitor gets.
TEST_F(RelayLink, RelayedRangeIsTheDirectPart) {
    StandInService service;
    UseService(service);
    const std::string range = "Range: bytes=40000-80000\r\n";
    std::vector<std::string> messages;
    ASSERT_TRUE(RunWhileServing(
        [&] {
            service.AwaitRegistration();
            service.SendRequest("203.0.113.9:4444\r\nGET /big.bin HTTP/1.0\r\n" + range + "\r\n");
            if (const auto ack = service.Next(3000ms))
                messages = service.ReceiveAnswer(ack->first.connectionId);
        },
        60s));
    std::string relayed;
    for (const std::string& message : messages)
        relayed += message;
    const Answer viaRelay = ParseAnswer(relayed);
    const Answer direct = Get("/big.bin", range);
    EXPECT_EQ(viaRelay.statusLine, "HTTP/1.0 206 Partial Content");
    EXPECT_EQ(viaRelay.Names(), direct.Names());
    EXPECT_EQ(viaRelay.Header("Content-Range"), "bytes 40000-80000/100000");
    EXPECT_EQ(viaRelay.Header("Content-Length"), "40001");
    EXPECT_TRUE(viaRelay.body == PatternBytes(100000).substr(40000, 40001));
    EXPECT_TRUE(direct.body == viaRelay.body);
}

// Its acknowledgement lost, the service sends a request again: acknowledged with the same
// id, never run a second time (a comment posted through the relay landed twice).
TEST_F(RelayLink, RepeatedRequestIsAcknowledgedAgainNotRunAgain) {
    StandInService service;
    UseService(service);
    const std::string request = "203.0.113.9:4444\r\nGET /small.dat HTTP/1.0\r\n\r\n";
    std::optional<std::pair<DatagramHeader, std::string>> first, second;
    ASSERT_TRUE(RunWhileServing([&] {
        ASSERT_TRUE(service.AwaitRegistration());
        service.SendRequest(request);
        first = service.Next(3000ms);
        service.SendRequest(request);
        for (int i = 0; i < 10; ++i) { // the first answer may come in between
            second = service.Next(3000ms);
            if (!second || (second->first.flags & relay::kAck))
                break;
        }
    }));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->first.flags, relay::kOpen | relay::kAck);
    EXPECT_EQ(second->first.connectionId, first->first.connectionId);
    EXPECT_EQ(Log(), "\nGET /small.dat ");
    // A new browser connection (another first line) is a new request.
    ASSERT_TRUE(RunWhileServing([&] {
        service.SendRequest("203.0.113.9:4445\r\nGET /small.dat HTTP/1.0\r\n\r\n");
        second = service.Next(3000ms);
    }));
    EXPECT_EQ(Log(), "\nGET /small.dat \nGET /small.dat ");
}

// Anyone can send datagrams to the relay socket: only the service's address and port are
// heard. A request from another port of the service's host was run and answered to that port.
TEST_F(RelayLink, DatagramsFromAnotherAddressAreIgnored) {
    StandInService service;
    UseService(service);
    const std::optional<std::int32_t> probe = RegisterAndProbe(service);
    ASSERT_TRUE(probe);
    const std::string probeLog = Log();
    struct Case {
        const char* what;
        std::uint32_t address;
    };
    const Case cases[] = {{"another address", kStranger}, {"another port of its host", kLoopback}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandInService stranger(c.address);
        std::optional<std::string> answer;
        bool handled = false;
        ASSERT_TRUE(RunWhileServing([&] {
            stranger.server = service.server;
            stranger.SendRequest("x\r\nGET /big.bin HTTP/1.0\r\n\r\n");
            handled = Barrier(service, *probe);
            answer = stranger.Receive(0ms);
        }));
        EXPECT_TRUE(handled);
        EXPECT_FALSE(answer);
        EXPECT_EQ(Log(), probeLog);
        EXPECT_EQ(Link().LiveCount(), 0u);
    }
}

// Datagrams of 16 bytes, each opening another connection with 16384 bytes announced and none
// sent, took the server from 30 MB to 1.9 GB: an assembly per id without a bound, each the
// whole announced length. Fragments that reach far into their message come next. The
// assemblies stay within their count and bytes, the oldest going, and a request sent after
// the flood is answered.
TEST_F(RelayLink, OpeningFloodStaysWithinTheAssemblyBounds) {
    StandInService service;
    UseService(service);
    ASSERT_TRUE(RunWhileServing([&] { ASSERT_TRUE(service.AwaitRegistration()); }));
    // In batches the socket's receive buffer holds.
    auto flood = [&](std::int32_t firstId, std::uint16_t offset, std::size_t payload) {
        for (std::int32_t i = 0; i < 200; ++i) {
            service.Send({relay::kOpen, firstId + i, 0, offset, 16384}, std::string(payload, 'f'));
            if (i % 25 == 24)
                std::this_thread::sleep_for(20ms);
        }
    };
    // A request after the flood, sent again as the relay would should a full socket have
    // lost it; its answer also says that the flood before it has been read.
    auto answerAfter = [&](const std::string& request) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            service.SendRequest(request);
            if (const auto ack = service.Next(3000ms))
                return service.ReceiveAnswer(ack->first.connectionId);
        }
        return std::vector<std::string>();
    };
    std::vector<std::string> messages;
    ASSERT_TRUE(RunWhileServing(
        [&] {
            flood(1000, 0, 0);
            messages = answerAfter("x\r\nGET /small.dat HTTP/1.0\r\n\r\n");
        },
        30s));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(ParseAnswer(messages[0]).body, "small");
    EXPECT_LE(Link().AssemblyCount(), CTcpOverUdp::kMaxAssemblies);

    ASSERT_TRUE(RunWhileServing(
        [&] {
            flood(5000, 16384 - 1300, 1300);
            messages = answerAfter("y\r\nGET /small.dat HTTP/1.0\r\n\r\n");
        },
        30s));
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_LE(Link().AssemblyCount(), CTcpOverUdp::kMaxAssemblies);
    EXPECT_LE(Link().AssemblyBytes(), CTcpOverUdp::kMaxAssemblyBytes);
    EXPECT_GE(Link().AssemblyBytes(), CTcpOverUdp::kMaxAssemblyBytes / 2); // the newest stay
}

// Every opening message was kept whole for 30 s to know its repeats: 16 browsers sending
// 15 KB requests grew the server by 500 MB in 12 s. A digest of each is kept, and a repeat
// is still known by it.
TEST_F(RelayLink, RepeatsAreKnownByADigestNotTheMessage) {
    StandInService service;
    UseService(service);
    const std::string fill = "X-Fill: " + std::string(15000, 'a') + "\r\n";
    auto request = [&](int browser) {
        return "203.0.113.9:" + std::to_string(5000 + browser) + "\r\nGET /small.dat HTTP/1.0\r\n" +
               fill + "\r\n";
    };
    std::vector<std::int32_t> ids;
    std::optional<std::pair<DatagramHeader, std::string>> repeat;
    ASSERT_TRUE(RunWhileServing(
        [&] {
            ASSERT_TRUE(service.AwaitRegistration());
            for (int browser = 0; browser < 16; ++browser) {
                service.SendRequest(request(browser));
                const auto ack = service.Next(3000ms);
                ASSERT_TRUE(ack);
                ids.push_back(ack->first.connectionId);
                service.ReceiveAnswer(ack->first.connectionId);
            }
            service.SendRequest(request(3)); // the fourth again, its connection closed
            repeat = service.Next(3000ms);
        },
        60s));
    ASSERT_EQ(ids.size(), 16u);
    EXPECT_LE(Link().RepeatMemoryBytes(), 16 * 64u);
    ASSERT_TRUE(repeat);
    EXPECT_EQ(repeat->first.flags, relay::kOpen | relay::kAck);
    EXPECT_EQ(repeat->first.connectionId, ids[3]);
    std::size_t lines = 0;
    for (const char c : Log())
        lines += c == '\n';
    EXPECT_EQ(lines, 16u);
}

// A relayed file answer went out as its head alone (192 bytes), then the file in 16384-byte
// pieces: a small file took two acknowledged round trips instead of one. Every message is
// filled, the first with the head and the file's first bytes, as a direct answer's first
// write carries them.
TEST_F(RelayLink, RelayedFileAnswerFillsEveryMessage) {
    StandInService service;
    UseService(service);
    ASSERT_TRUE(RunWhileServing([&] { ASSERT_TRUE(service.AwaitRegistration()); }));
    for (const std::string url : {"/small.dat", "/big.bin"}) {
        SCOPED_TRACE(url);
        std::vector<std::string> messages;
        ASSERT_TRUE(RunWhileServing(
            [&] {
                service.SendRequest("x\r\nGET " + url + " HTTP/1.0\r\n\r\n");
                if (const auto ack = service.Next(3000ms))
                    messages = service.ReceiveAnswer(ack->first.connectionId);
            },
            60s));
        ASSERT_FALSE(messages.empty());
        std::string relayed;
        for (const std::string& message : messages)
            relayed += message;
        const Answer direct = Get(url);
        EXPECT_TRUE(relayed == direct.raw);
        const std::size_t head = direct.raw.find("\r\n\r\n") + 4;
        EXPECT_EQ(messages.size(), (relayed.size() + relay::kMaxMessage - 1) / relay::kMaxMessage);
        EXPECT_GT(messages[0].size(), head); // the file begins in the first message
        for (std::size_t i = 0; i + 1 < messages.size(); ++i)
            EXPECT_EQ(messages[i].size(), relay::kMaxMessage) << i;
    }
}

// An acknowledgement is a header alone: one with a byte behind it steps nothing on. One
// that also carries the open bit acknowledges the message of the connection it names.
TEST_F(RelayLink, AcknowledgementIsSixteenBytesAndMayCarryTheOpenBit) {
    StandInService service;
    UseService(service);
    const std::string request = "x\r\nGET /big.bin HTTP/1.0\r\n\r\n";
    bool waitsForTheAck = false;
    bool longAckStepsNothing = false;
    std::optional<std::pair<DatagramHeader, std::string>> afterOpenAck;
    ASSERT_TRUE(RunWhileServing([&] {
        ASSERT_TRUE(service.AwaitRegistration());
        service.SendRequest(request);
        const auto ack = service.Next(3000ms);
        ASSERT_TRUE(ack);
        const std::int32_t id = ack->first.connectionId;
        // The first message's fragments, whole.
        relay::CMessageAssembler first;
        std::optional<std::pair<DatagramHeader, std::string>> fragment;
        while ((fragment = service.Next(3000ms)) && fragment->first.sequence == 1 &&
               first.Add(fragment->first, fragment->second) !=
                   relay::CMessageAssembler::Result::kComplete) {
        }
        ASSERT_TRUE(fragment && fragment->first.sequence == 1);
        // The repeated request is acknowledged again at once (the link reads in order): had
        // the second message begun, its fragments would come before that acknowledgement.
        auto nextIsTheRepeatsAck = [&] {
            service.SendRequest(request);
            const auto next = service.Next(3000ms);
            return next && next->first.flags == (relay::kOpen | relay::kAck) &&
                   next->first.connectionId == id;
        };
        waitsForTheAck = nextIsTheRepeatsAck();
        service.SendToServer(relay::MakeAck({0, id, 1, 0, 0}, id) + "z");
        longAckStepsNothing = nextIsTheRepeatsAck();
        service.SendToServer(relay::MakeAck({relay::kOpen, id, 1, 0, 0}, id));
        afterOpenAck = service.Next(3000ms);
    }));
    EXPECT_TRUE(waitsForTheAck) << "the next message left before the acknowledgement";
    EXPECT_TRUE(longAckStepsNothing) << "a 17-byte acknowledgement stepped the answer on";
    ASSERT_TRUE(afterOpenAck);
    EXPECT_EQ(afterOpenAck->first.sequence, 2u);
}

// The stop-and-wait sender of the answers had no test of its retries. An answer message
// nobody acknowledges goes out again after every wait, five times in all, byte for byte the
// same; then the connection gives up and closes with the sequence of the message it could
// not send.
TEST_F(RelayLink, UnacknowledgedAnswerGoesFiveTimesThenTheConnectionCloses) {
    StandInService service;
    UseService(service, "home.example", 50);
    std::vector<std::string> copies;
    std::optional<DatagramHeader> close;
    ASSERT_TRUE(RunWhileServing([&] {
        ASSERT_TRUE(service.AwaitRegistration());
        service.SendRequest("x\r\nGET /small.dat HTTP/1.0\r\n\r\n");
        const auto ack = service.Next(3000ms);
        ASSERT_TRUE(ack);
        while (const auto next = service.Next(3000ms)) {
            if (next->first.connectionId != ack->first.connectionId)
                continue;
            if (next->first.flags & relay::kClose) {
                close = next->first;
                break;
            }
            copies.push_back(next->second);
        }
    }));
    EXPECT_EQ(copies.size(), std::size_t(relay::kResponseRetries.attempts));
    for (const std::string& copy : copies)
        EXPECT_TRUE(copy == copies.front()) << "a repetition differs from the first sending";
    ASSERT_TRUE(close);
    EXPECT_EQ(close->sequence, 1u);
    EXPECT_EQ(Link().LiveCount(), 0u);
    ASSERT_FALSE(copies.empty());
    EXPECT_TRUE(copies.front().starts_with("HTTP/1.0 200 OK\r\n"));
}

// Acknowledged late, each message of an answer is sent again until its acknowledgement
// comes, and never once the next one has begun: the answer arrives whole and in order.
TEST_F(RelayLink, AnswerMessagesGoAgainUntilAcknowledged) {
    StandInService service;
    UseService(service, "home.example", 50);
    std::map<std::uint32_t, int> copies;
    std::string relayed;
    bool backwards = false; // a message sent after the next one began
    ASSERT_TRUE(RunWhileServing(
        [&] {
            ASSERT_TRUE(service.AwaitRegistration());
            service.SendRequest("x\r\nGET /big.bin HTTP/1.0\r\n\r\n");
            const auto ack = service.Next(3000ms);
            ASSERT_TRUE(ack);
            const std::int32_t id = ack->first.connectionId;
            std::uint32_t newest = 0;
            std::map<std::uint32_t, relay::CMessageAssembler> messages;
            while (const auto next = service.Next(3000ms)) {
                const auto& [header, payload] = *next;
                if (header.connectionId != id)
                    continue;
                if (header.flags & relay::kClose)
                    break;
                backwards |= header.sequence < newest;
                newest = std::max(newest, header.sequence);
                auto& assembler = messages[header.sequence];
                if (assembler.Add(header, payload) != relay::CMessageAssembler::Result::kComplete)
                    continue;
                // The first whole copy goes unacknowledged; the second is acknowledged.
                if (++copies[header.sequence] == 2)
                    relayed += assembler.Message();
                if (copies[header.sequence] >= 2)
                    service.SendToServer(relay::MakeAck(header, id));
                assembler.Reset();
            }
        },
        60s));
    EXPECT_FALSE(backwards);
    EXPECT_EQ(copies.size(), (relayed.size() + relay::kMaxMessage - 1) / relay::kMaxMessage);
    for (const auto& [sequence, count] : copies)
        EXPECT_GE(count, 2) << sequence;
    EXPECT_TRUE(ParseAnswer(relayed).body == PatternBytes(100000));
}

// A relayed connection waiting for acknowledgements that never come holds up nobody: a
// direct visitor is answered meanwhile.
TEST_F(RelayLink, SilentServiceDoesNotHoldDirectVisitors) {
    StandInService service;
    UseService(service);
    std::string direct;
    std::size_t waitingWhileDirect = 0;
    ASSERT_TRUE(RunWhileServing([&] {
        ASSERT_TRUE(service.AwaitRegistration());
        service.SendRequest("x\r\nGET /big.bin HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(service.Next(3000ms)); // the request's acknowledgement; nothing acked back
        LoopbackClient visitor;
        ASSERT_TRUE(visitor.Connect(port));
        visitor.Send("GET /small.dat HTTP/1.0\r\n\r\n");
        direct = visitor.ReadAll();
    }));
    waitingWhileDirect = Link().LiveCount(); // the relayed answer still waits for its ack
    EXPECT_EQ(ParseAnswer(direct).body, "small");
    EXPECT_EQ(waitingWhileDirect, 1u);
}

// A request whose fragments come twice and out of order is still one whole request.
TEST_F(RelayLink, DuplicatedAndReorderedFragmentsMakeOneRequest) {
    StandInService service;
    UseService(service);
    const std::string request =
        "x\r\nGET /small.dat HTTP/1.0\r\nX-Fill: " + std::string(3000, 'a') + "\r\n\r\n";
    std::vector<std::string> messages;
    ASSERT_TRUE(RunWhileServing([&] {
        ASSERT_TRUE(service.AwaitRegistration());
        auto fragments = relay::FragmentMessage(relay::kOpen, -1, 0, request);
        ASSERT_EQ(fragments.size(), 3u);
        for (const std::size_t i : {2u, 0u, 2u, 0u, 1u})
            service.SendToServer(fragments[i]);
        const auto ack = service.Next(3000ms);
        if (ack)
            messages = service.ReceiveAnswer(ack->first.connectionId);
    }));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(ParseAnswer(messages[0]).body, "small");
}

// Messages the link refuses: none is acknowledged, none opens a connection.
TEST_F(RelayLink, RefusedMessagesAreNeitherAcknowledgedNorRun) {
    StandInService service;
    UseService(service);
    const std::string request = "x\r\nGET /small.dat HTTP/1.0\r\n\r\n";
    auto withHeader = [](DatagramHeader header, std::string_view payload) {
        std::string datagram;
        relay::AppendDatagram(datagram, header, payload);
        return datagram;
    };
    struct Case {
        const char* what;
        std::string datagram;
    };
    const Case cases[] = {
        {"a request with sequence 1", relay::FragmentMessage(relay::kOpen, -1, 1, request).front()},
        {"a fragment announcing 20000 bytes",
         withHeader({relay::kOpen, -1, 0, 0, 20000}, std::string(1300, 'a'))},
        {"a header-only request", withHeader({relay::kOpen, -1, 0, 0, 0}, "")},
        // Only a message with the open bit opens a connection; one with the close bit ends
        // one and is never run.
        {"a request without the open bit", relay::FragmentMessage(0, -1, 0, request).front()},
        {"a request with the close bit",
         relay::FragmentMessage(relay::kOpen | relay::kClose, -1, 0, request).front()},
        {"the registration reply", relay::MakeRegistrationReply()},
        {"shorter than a header", std::string(15, '\x01')},
    };
    const std::optional<std::int32_t> probe = RegisterAndProbe(service);
    ASSERT_TRUE(probe);
    const std::string probeLog = Log();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool firstBackIsTheProbe = false;
        ASSERT_TRUE(RunWhileServing([&] {
            service.SendToServer(c.datagram);
            firstBackIsTheProbe = Barrier(service, *probe);
        }));
        EXPECT_TRUE(firstBackIsTheProbe) << "the refused message was answered";
        EXPECT_EQ(Link().LiveCount(), 0u);
    }
    EXPECT_EQ(Log(), probeLog);
}

// After the name is withdrawn no registration leaves.
TEST_F(RelayLink, RegistrationsStopWithAnEmptyName) {
    StandInService service;
    UseService(service);
    bool registered = false;
    std::optional<std::string> late;
    ASSERT_TRUE(RunWhileServing([&] { registered = service.AwaitRegistration().has_value(); }));
    doc->SetRelayName(""); // returns once the worker has ended
    ASSERT_TRUE(RunWhileServing([&] {
        while (service.Receive(50ms)) {
        }
        late = service.Receive(700ms); // more than three periods
    }));
    EXPECT_TRUE(registered);
    EXPECT_FALSE(late);
}

// No ServiceHost, no relay: nothing is made, no secret is made, no service is named.
TEST_F(RelayLink, EmptyServiceHostMeansNoRelay) {
    ASSERT_TRUE(doc->StartServing(port, root, false));
    EXPECT_EQ(doc->RelayLink(), nullptr);
    EXPECT_EQ(doc->RelayServiceHost(), "");
    EXPECT_EQ(ini::ReadString(SettingsSection::FilePath(), kSettingsSectionName, "ServiceSecret",
                              "(none)"),
              "(none)");
}

} // namespace
} // namespace tvn::test
