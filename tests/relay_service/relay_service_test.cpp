// The built tarvolin-relay between a stand-in Tarvolin server, a UDP socket of the test that
// speaks the datagrams by hand, and browsers, raw TCP clients; all on loopback.
#include "platform/unique_fd.h"
#include "relay/datagram.h"
#include "support/loopback_client.h"

#include <QProcess>
#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tvn::test {
namespace {

using relay::DatagramHeader;

constexpr int kWaitMs = 5000; // every wait of these tests ends after this long

int FreeUdpPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    return ntohs(address.sin_port);
}

struct Message {
    DatagramHeader header;
    std::string bytes;
};

// A Tarvolin server as the relay meets it: one UDP socket on a loopback address.
class StandInServer {
  public:
    StandInServer(int relayPort, std::uint32_t from = INADDR_LOOPBACK)
        : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(from);
        EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        relay.sin_family = AF_INET;
        relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        relay.sin_port = htons(static_cast<std::uint16_t>(relayPort));
    }

    void Send(std::string_view datagram) {
        ::sendto(fd.Get(), datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&relay), sizeof relay);
    }

    // The next datagram, or nothing when none comes within `limitMs`.
    std::optional<std::string> Receive(int limitMs = kWaitMs) {
        pollfd p{fd.Get(), POLLIN, 0};
        if (::poll(&p, 1, limitMs) <= 0)
            return std::nullopt;
        char buffer[relay::kReceiveBuffer];
        const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
        return n < 0 ? std::nullopt : std::optional(std::string(buffer, std::size_t(n)));
    }

    // True when a datagram waits now.
    bool Pending() {
        pollfd p{fd.Get(), POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

    // The next whole message the relay sends, reassembled from its fragments.
    std::optional<Message> ReceiveMessage() {
        relay::CMessageAssembler assembler;
        while (const auto datagram = Receive()) {
            DatagramHeader header;
            std::string_view payload;
            if (relay::ParseDatagram(*datagram, header, payload) &&
                assembler.Add(header, payload) == relay::CMessageAssembler::Result::kComplete)
                return Message{assembler.Header(), std::string(assembler.Message())};
        }
        return std::nullopt;
    }

    // Sends a response message (its fragments last first when `reversed`) and returns the
    // datagram that answers it.
    std::optional<std::string> SendMessage(std::int32_t id, std::uint32_t sequence,
                                           std::string_view bytes, bool reversed = false) {
        auto fragments = relay::FragmentMessage(0, id, sequence, bytes);
        if (reversed)
            std::reverse(fragments.begin(), fragments.end());
        for (const auto& fragment : fragments)
            Send(fragment);
        return Receive();
    }

  private:
    UniqueFd fd;
    sockaddr_in relay{};
};

std::string Ack(std::uint8_t flags, std::int32_t id, std::uint32_t sequence) {
    DatagramHeader of;
    of.flags = flags;
    of.sequence = sequence;
    return relay::MakeAck(of, id);
}

class RelayServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }

    // Starts the relay with `extra` arguments on fresh ports, once it listens.
    void Start(const QStringList& extra = {}) {
        httpPort = FreeLoopbackPort();
        udpPort = FreeUdpPort();
        program.start(TVN_RELAY_PROGRAM,
                      QStringList{"--bind", "127.0.0.1", "--http-port", QString::number(httpPort),
                                  "--udp-port", QString::number(udpPort), "--name",
                                  "relay.example"} +
                          extra);
        ASSERT_TRUE(program.waitForStarted(kWaitMs));
        // The UDP socket is open before the TCP listener: one connection shows both ready.
        LoopbackClient probe;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        bool listening = false;
        while (!(listening = probe.Connect(httpPort)) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(listening) << "the relay does not listen";
    }

    void TearDown() override {
        program.kill();
        program.waitForFinished(kWaitMs);
    }

    // The relay started again with `extra` arguments.
    void Restart(const QStringList& extra) {
        TearDown();
        output.clear();
        ASSERT_NO_FATAL_FAILURE(Start(extra));
    }

    // Registers `name` (with `secret`) from `server`; true when the registration reply came.
    bool Register(StandInServer& server, std::string_view name, std::string_view secret = {}) {
        server.Send(relay::MakeRegistration(name, secret));
        const auto reply = server.Receive();
        return reply && reply->size() == 16 && (*reply)[0] == 0x0C;
    }

    // Standard output of the relay until it holds `text`.
    std::string OutputWith(const std::string& text) {
        while (output.find(text) == std::string::npos && program.waitForReadyRead(kWaitMs))
            output += program.readAllStandardOutput().toStdString();
        return output;
    }

    QProcess program;
    std::string output;
    int httpPort = -1;
    int udpPort = -1;
};

TEST_F(RelayServiceTest, RegistrationReplyIsSixteenBytesWithFlags0x0C) {
    StandInServer server(udpPort);
    server.Send(relay::MakeRegistration("home.example"));
    const auto reply = server.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 16u);
    EXPECT_EQ(static_cast<unsigned char>((*reply)[0]), 0x0Cu);
}

TEST_F(RelayServiceTest, RelaysARequestAndThreeResponseMessagesByteForByte) {
    StandInServer server(udpPort);
    ASSERT_TRUE(Register(server, "home.example"));
    LoopbackClient browser;
    ASSERT_TRUE(browser.Connect(httpPort));
    const std::string request = "GET /big.bin HTTP/1.0\r\nHost: Home.Example:8081\r\n\r\n";
    ASSERT_TRUE(browser.Send(request));

    const auto opened = server.ReceiveMessage();
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->header.flags, relay::kOpen);
    EXPECT_EQ(opened->header.connectionId, -1);
    EXPECT_EQ(opened->header.sequence, 0u);
    EXPECT_EQ(opened->bytes, "127.0.0.1:" + std::to_string(browser.LocalPort()) + "\r\n" + request);
    server.Send(Ack(relay::kOpen, 41, 0));

    std::string response = "HTTP/1.0 200 OK\r\nContent-Length: 39962\r\n\r\n";
    for (int i = 0; response.size() < 40000; ++i)
        response += static_cast<char>(i * 31 % 251);
    const std::string_view parts[] = {std::string_view(response).substr(0, 16384),
                                      std::string_view(response).substr(16384, 16384),
                                      std::string_view(response).substr(32768)};
    EXPECT_EQ(server.SendMessage(41, 1, parts[0]), Ack(0, 41, 1));
    // The acknowledgement was lost, so to speak: the repetition is acknowledged, not written.
    EXPECT_EQ(server.SendMessage(41, 1, parts[0]), Ack(0, 41, 1));
    EXPECT_EQ(server.SendMessage(41, 2, parts[1], true), Ack(0, 41, 2));
    EXPECT_EQ(server.SendMessage(41, 3, parts[2]), Ack(0, 41, 3));
    server.Send(relay::MakeClose(41, 4));

    const std::string received = browser.ReadAll();
    EXPECT_EQ(received.size(), response.size());
    EXPECT_TRUE(received == response) << "the browser got other bytes than the server sent";
    EXPECT_NE(OutputWith("200 40000").find(" home.example \"GET /big.bin HTTP/1.0\" 200 40000"),
              std::string::npos)
        << output;
}

TEST_F(RelayServiceTest, AnswersItselfWhenNoServerTakesTheRequest) {
    StandInServer server(udpPort);
    ASSERT_TRUE(Register(server, "home.example"));
    const std::pair<std::string, std::string> cases[] = {
        {"GET / HTTP/1.0\r\nHost: nobody.example\r\n\r\n", "HTTP/1.0 502 Bad Gateway\r\n"},
        {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 400 Bad Request\r\n"},
        {"GET /zadizo/update.php?lat=1 HTTP/1.0\r\nHost: relay.example\r\n\r\n",
         "HTTP/1.0 400 Bad Request\r\n"},
        {"GET /zadizo/request.php HTTP/1.0\r\nHost: RELAY.example:8081\r\n\r\n",
         "HTTP/1.0 400 Bad Request\r\n"},
        {"GET /index.html HTTP/1.0\r\nHost: relay.example\r\n\r\n", "HTTP/1.0 404 Not Found\r\n"},
        {"GET / HTTP/1.0\r\nHost: home.example\r\nContent-Length: 20000\r\n\r\n",
         "HTTP/1.0 413 Request Entity Too Large\r\n"},
    };
    for (const auto& [request, status] : cases) {
        SCOPED_TRACE(request);
        LoopbackClient browser;
        ASSERT_TRUE(browser.Connect(httpPort));
        browser.Send(request);
        const std::string answer = browser.ReadAll();
        EXPECT_EQ(answer.substr(0, status.size()), status);
    }
    EXPECT_FALSE(server.Pending()) << "a request the relay answered itself reached the server";
    EXPECT_NE(OutputWith("502").find(" nobody.example \"GET / HTTP/1.0\" 502 "), std::string::npos)
        << output;
}

// A server reports its place to the relay's own name, and a ZadiZo page's script asks.
TEST_F(RelayServiceTest, LocationReportIsAnsweredToTheNextQuestion) {
    auto fetch = [&](const std::string& target) {
        LoopbackClient browser;
        EXPECT_TRUE(browser.Connect(httpPort));
        browser.Send("GET " + target + " HTTP/1.0\r\nHost: relay.example\r\n\r\n");
        return browser.ReadAll();
    };
    const std::string kept =
        fetch("/zadizo/update.php?server=abc&time=123519&lon=11.516667&lat=48.117300&port=80");
    EXPECT_TRUE(kept.starts_with("HTTP/1.0 200 OK\r\n")) << kept;
    const std::string answer =
        fetch("/zadizo/request.php?time=3600&max=20&prec=1&lon=11.5&lat=48.1");
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 200 OK\r\n")) << answer;
    EXPECT_NE(answer.find("\r\nContent-Type: application/javascript\r\n"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("\r\n\r\nvar lats = [48.1];\nvar lons = [11.5];\n"
                                 "var times = [\"12:35:19 UTC\"];\nvar servers = [\"abc\"];\n"))
        << answer;
    EXPECT_NE(OutputWith("/zadizo/request.php").find("/zadizo/update.php?server=abc"),
              std::string::npos)
        << output;
}

TEST_F(RelayServiceTest, SecondAddressCannotTakeOverARegisteredName) {
    StandInServer first(udpPort);
    StandInServer second(udpPort, 0x7F000002); // 127.0.0.2
    ASSERT_TRUE(Register(first, "home.example"));
    second.Send(relay::MakeRegistration("HOME.example"));
    // The relay reads its datagrams in order: once the first server's refresh is answered,
    // the second one's registration was handled, and a reply to it would be here.
    ASSERT_TRUE(Register(first, "home.example"));
    EXPECT_FALSE(second.Pending()) << "the second address got a registration reply";

    LoopbackClient browser;
    ASSERT_TRUE(browser.Connect(httpPort));
    browser.Send("GET / HTTP/1.0\r\nHost: home.example\r\n\r\n");
    const auto opened = first.ReceiveMessage();
    ASSERT_TRUE(opened) << "the request did not reach the server that registered first";
    EXPECT_FALSE(second.Pending());
}

// A second socket on the same address took the name over (counted as a NAT that moved it)
// and got the browsers' requests from then on. Only the secret the name was registered with
// moves it to another port.
TEST_F(RelayServiceTest, NeighbourOnTheSameAddressGetsNoRequests) {
    const std::string secret = "0123456789abcdef0123456789abcdef";
    StandInServer owner(udpPort);
    StandInServer neighbour(udpPort); // 127.0.0.1 as well, another port
    ASSERT_TRUE(Register(owner, "home.example"));
    ASSERT_TRUE(Register(owner, "held.example", secret));
    neighbour.Send(relay::MakeRegistration("home.example"));
    neighbour.Send(relay::MakeRegistration("held.example"));
    ASSERT_TRUE(Register(owner, "home.example")); // handled in order: the two above were too
    EXPECT_FALSE(neighbour.Pending()) << "the neighbour got a registration reply";

    LoopbackClient browser;
    ASSERT_TRUE(browser.Connect(httpPort));
    browser.Send("GET / HTTP/1.0\r\nHost: home.example\r\nAuthorization: Basic dTpw\r\n\r\n");
    const auto opened = owner.ReceiveMessage();
    ASSERT_TRUE(opened) << "the request did not reach the server that registered";
    EXPECT_FALSE(neighbour.Pending()) << "the neighbour got the request";

    // The owner itself, after a restart on another port, shows its secret and is followed.
    StandInServer restarted(udpPort);
    ASSERT_TRUE(Register(restarted, "held.example", secret));
    LoopbackClient second;
    ASSERT_TRUE(second.Connect(httpPort));
    second.Send("GET / HTTP/1.0\r\nHost: held.example\r\n\r\n");
    EXPECT_TRUE(restarted.ReceiveMessage()) << "the request did not follow the secret";
}

// 800 connections that each sent one byte filled the 768 places, and no other browser got
// in. One address holds 64 places at most, and when every place is taken the browser
// that has waited longest for its request head gives its place up.
TEST_F(RelayServiceTest, OneByteConnectionsDoNotShutOutABrowser) {
    const int spreads[] = {1, 25}; // the 800 from one address, then from 25
    for (const int addresses : spreads) {
        SCOPED_TRACE(addresses);
        std::vector<std::unique_ptr<LoopbackClient>> flood;
        for (int i = 0; i < 800; ++i) {
            auto client = std::make_unique<LoopbackClient>();
            const std::uint32_t from = 0x7F000101 + static_cast<std::uint32_t>(i % addresses);
            if (client->Connect(httpPort, from))
                client->Send("G");
            flood.push_back(std::move(client));
        }
        LoopbackClient browser;
        ASSERT_TRUE(browser.Connect(httpPort, 0x7F000002));
        browser.Send("GET /index.html HTTP/1.0\r\nHost: relay.example\r\n\r\n");
        EXPECT_TRUE(browser.ReadAll().starts_with("HTTP/1.0 404 Not Found\r\n"))
            << "the fresh browser was not served";
    }
}

// Two requests to one server at once: the id in an acknowledgement says nothing of which
// request it answers, so the second request may leave only once the first is acknowledged,
// and each browser must get the answer to its own request.
TEST_F(RelayServiceTest, TwoBrowsersAtOnceGetTheirOwnAnswers) {
    StandInServer server(udpPort);
    ASSERT_TRUE(Register(server, "home.example"));
    LoopbackClient one;
    LoopbackClient two;
    ASSERT_TRUE(one.Connect(httpPort));
    ASSERT_TRUE(two.Connect(httpPort));
    one.Send("GET /one HTTP/1.0\r\nHost: home.example\r\n\r\n");
    two.Send("GET /two HTTP/1.0\r\nHost: home.example\r\n\r\n");

    const auto first = server.ReceiveMessage();
    ASSERT_TRUE(first);
    server.Send(Ack(relay::kOpen, 1, 0));
    const auto second = server.ReceiveMessage();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->header.connectionId, -1);
    server.Send(Ack(relay::kOpen, 2, 0));
    const bool firstIsOne = first->bytes.find("GET /one ") != std::string::npos;

    EXPECT_EQ(server.SendMessage(2, 1, "answer to the second request"), Ack(0, 2, 1));
    EXPECT_EQ(server.SendMessage(1, 1, "answer to the first request"), Ack(0, 1, 1));
    server.Send(relay::MakeClose(2, 2));
    server.Send(relay::MakeClose(1, 2));
    EXPECT_EQ((firstIsOne ? one : two).ReadAll(), "answer to the first request");
    EXPECT_EQ((firstIsOne ? two : one).ReadAll(), "answer to the second request");
}

// A request sent twice reaches the server twice, and the server gives each copy an id of its
// own: a late acknowledgement of the second copy must not pass for the acknowledgement of
// the next browser's request, or that browser gets the first one's answer.
TEST_F(RelayServiceTest, LateAcknowledgementOfACopyIsNotTakenForTheNextRequest) {
    ASSERT_NO_FATAL_FAILURE(Restart({"--resend-wait", "500"})); // not the protocol's 3 s
    StandInServer server(udpPort);
    ASSERT_TRUE(Register(server, "home.example"));
    LoopbackClient one;
    LoopbackClient two;
    ASSERT_TRUE(one.Connect(httpPort));
    one.Send("GET /one HTTP/1.0\r\nHost: home.example\r\n\r\n");
    const auto copy1 = server.ReceiveMessage();
    ASSERT_TRUE(copy1);
    ASSERT_TRUE(two.Connect(httpPort));
    two.Send("GET /two HTTP/1.0\r\nHost: home.example\r\n\r\n");
    const auto copy2 = server.ReceiveMessage(); // sent again after the wait
    ASSERT_TRUE(copy2);
    ASSERT_EQ(copy2->bytes, copy1->bytes);

    // The server, as it does, gives every request message with id -1 the next id.
    std::int32_t nextId = 1;
    auto acknowledge = [&](const Message& m) {
        const std::int32_t id = m.header.connectionId == -1 ? nextId++ : m.header.connectionId;
        server.Send(Ack(relay::kOpen, id, 0));
        return id;
    };
    const std::int32_t idOne = acknowledge(*copy1);
    auto request2 = server.ReceiveMessage();
    while (request2 && request2->bytes == copy1->bytes) // a third copy, before the ack came
        request2 = server.ReceiveMessage();
    ASSERT_TRUE(request2);
    ASSERT_NE(request2->bytes.find("GET /two "), std::string::npos);
    const std::int32_t idCopy = acknowledge(*copy2); // late, and after the next request left
    const std::int32_t idTwo = acknowledge(*request2);

    const auto refused = server.SendMessage(idCopy, 1, "answer to /one");
    EXPECT_EQ(refused, relay::MakeClose(idCopy, 1)) << "the copy's connection was taken";
    EXPECT_EQ(server.SendMessage(idTwo, 1, "answer to /two"), Ack(0, idTwo, 1));
    EXPECT_EQ(server.SendMessage(idOne, 1, "answer to /one"), Ack(0, idOne, 1));
    server.Send(relay::MakeClose(idTwo, 2));
    server.Send(relay::MakeClose(idOne, 2));
    EXPECT_EQ(one.ReadAll(), "answer to /one");
    EXPECT_EQ(two.ReadAll(), "answer to /two");
}

TEST_F(RelayServiceTest, ServerIsToldWhenTheBrowserLeft) {
    StandInServer server(udpPort);
    ASSERT_TRUE(Register(server, "home.example"));
    LoopbackClient browser;
    ASSERT_TRUE(browser.Connect(httpPort));
    browser.Send("GET / HTTP/1.0\r\nHost: home.example\r\n\r\n");
    ASSERT_TRUE(server.ReceiveMessage());
    server.Send(Ack(relay::kOpen, 9, 0));
    browser.Abort();

    // Message after message until the relay says the connection is closed: a server that
    // is not told keeps trying each message five times.
    // Each message's answers are read up to its own acknowledgement, so a close that follows
    // it shows among the next message's answers, never waited for by the clock.
    bool closed = false;
    for (std::uint32_t sequence = 1; sequence <= 4 && !closed; ++sequence) {
        auto answer = server.SendMessage(9, sequence, std::string(16384, 'x'));
        while (answer && *answer != Ack(0, 9, sequence)) {
            closed = *answer == relay::MakeClose(9, sequence) ||
                     *answer == relay::MakeClose(9, sequence + 1);
            if (closed)
                break;
            answer = server.Receive();
        }
    }
    if (!closed) // the close after the last acknowledgement
        closed = server.Receive() == relay::MakeClose(9, 5);
    EXPECT_TRUE(closed);
}

} // namespace
} // namespace tvn::test
