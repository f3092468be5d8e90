// The connection state machine over a channel whose every answer the test chooses: short
// sends, would-block, early close, and the idle limit with a time the test passes in.
#include "config/settings_section.h"
#include "http/http_svr_doc.h"
#include "http/request_channel.h"
#include "http/request_connection.h"
#include "support/temp_dir.h"

#include <deque>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace tvn {
namespace {

using namespace std::chrono_literals;

class FakeChannel : public IRequestChannel {
  public:
    long Send(const char* data, std::size_t length, bool /*more*/) override {
        if (blockEverySecondSend && (++sendCalls % 2) == 0)
            return kWouldBlock;
        if (failSends)
            return kFailed;
        // As a socket does: a short send means its buffer is full, and the next send would
        // block until the peer has read.
        if (full) {
            full = false;
            return kWouldBlock;
        }
        const std::size_t n = std::min(length, sendLimit);
        full = n < length;
        sent.append(data, n);
        return static_cast<long>(n);
    }
    long Receive(char* buffer, std::size_t length) override {
        ++receives;
        if (pieces.empty())
            return closed ? 0 : kWouldBlock;
        std::string& piece = pieces.front();
        const std::size_t n = std::min(length, piece.size());
        std::copy(piece.begin(), piece.begin() + static_cast<long>(n), buffer);
        piece.erase(0, n);
        if (piece.empty())
            pieces.pop_front();
        return static_cast<long>(n);
    }
    void Rearm(bool read, bool write) override {
        wantRead = read;
        wantWrite = write;
    }
    bool ShutDown(int) override {
        ++shutdowns;
        return true;
    }
    std::string PeerName() const override { return "127.0.0.1:4000"; }
    void Release() override { ++releases; }

    std::deque<std::string> pieces; // what the client sends, one piece per receive
    bool closed = false;            // the client closes once the pieces are read
    std::size_t sendLimit = std::numeric_limits<std::size_t>::max();
    bool blockEverySecondSend = false;
    bool failSends = false;
    bool full = false;
    std::string sent;
    int sendCalls = 0;
    int receives = 0;
    int shutdowns = 0;
    int releases = 0;
    bool wantRead = false;
    bool wantWrite = false;
};

class ConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = temp / "Share";
        test::WriteFile(root + "/small.txt", "small file");
        big = test::PatternBytes(40000);
        test::WriteFile(root + "/big.bin", big);
        SettingsSection::OverrideFilePath(temp / "TVN.cfg");
        test::WriteFile(temp / "TVN.cfg",
                        "[SOFTWARE\\Tarvolin\\1.0]\nLogFileName=" + (temp / "tvn.log") + "\n");
        doc = std::make_unique<CHttpSvrDoc>(8080, root);
    }
    void TearDown() override {
        doc.reset();
        SettingsSection::OverrideFilePath("");
    }

    // Steps the connection as its notifications would, until it is done (bounded).
    static void RunToEnd(CRequestConnection& connection) {
        for (int i = 0; i < 100000 && connection.State() != CRequestConnection::ConnState::Done;
             ++i)
            connection.Step();
    }

    static std::string Body(const std::string& answer) {
        const auto end = answer.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : answer.substr(end + 4);
    }

    test::TempDir temp;
    std::string root;
    std::string big;
    std::unique_ptr<CHttpSvrDoc> doc;
};

// The fallback for channels without sendfile (the relayed ones): the file goes out in
// buffer-sized reads, every byte once, whatever the channel takes per call.
TEST_F(ConnectionTest, FileThroughShortAndBlockedSends) {
    struct Case {
        std::string name;
        std::size_t sendLimit;
        bool blockEverySecondSend;
    };
    const Case cases[] = {
        {"whole sends", std::numeric_limits<std::size_t>::max(), false},
        {"1000 bytes per send", 1000, false},
        {"7 bytes per send", 7, false},
        {"would-block between sends", 5000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeChannel channel;
        channel.pieces = {"GET /big.bin HTTP/1.0\r\n", "\r\n"};
        channel.sendLimit = c.sendLimit;
        channel.blockEverySecondSend = c.blockEverySecondSend;
        CRequestConnection connection(*doc, channel);
        RunToEnd(connection);
        ASSERT_EQ(connection.State(), CRequestConnection::ConnState::Done);
        EXPECT_EQ(channel.sent.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
        EXPECT_NE(channel.sent.find("\r\nContent-Length: 40000\r\n"), std::string::npos);
        EXPECT_TRUE(Body(channel.sent) == big) << "the file arrived changed";
        EXPECT_EQ(channel.shutdowns, 1);
        EXPECT_EQ(channel.releases, 1);
    }
}

// A file that grows while it is sent through a channel without sendfile: each read took
// a whole buffer, past the size announced in Content-Length, and the answer grew with it.
TEST_F(ConnectionTest, FileGrowingWhileSentStopsAtItsAnnouncedLength) {
    FakeChannel channel;
    channel.pieces = {"GET /big.bin HTTP/1.0\r\n\r\n"};
    channel.sendLimit = 1000;
    CRequestConnection connection(*doc, channel);
    connection.Step();
    ASSERT_EQ(connection.State(), CRequestConnection::ConnState::Writing);
    test::WriteFile(root + "/big.bin", big + std::string(30000, 'g'));
    RunToEnd(connection);
    EXPECT_NE(channel.sent.find("\r\nContent-Length: 40000\r\n"), std::string::npos);
    EXPECT_EQ(Body(channel.sent).size(), big.size());
    EXPECT_TRUE(Body(channel.sent) == big);
}

// While the request is incomplete the connection asks for reading only; while it sends,
// for writing only.
TEST_F(ConnectionTest, AsksForTheNotificationItsStateNeeds) {
    FakeChannel channel;
    channel.pieces = {"GET /big.bin HTTP/1.0\r\n"};
    channel.sendLimit = 100;
    CRequestConnection connection(*doc, channel);
    connection.Step();
    EXPECT_EQ(connection.State(), CRequestConnection::ConnState::ReadingRequest);
    EXPECT_TRUE(channel.wantRead);
    EXPECT_FALSE(channel.wantWrite);
    EXPECT_TRUE(channel.sent.empty());
    channel.pieces.push_back("\r\n");
    connection.Step();
    EXPECT_EQ(connection.State(), CRequestConnection::ConnState::Writing);
    EXPECT_FALSE(channel.wantRead);
    EXPECT_TRUE(channel.wantWrite);
    RunToEnd(connection);
    EXPECT_EQ(channel.releases, 1);
}

TEST_F(ConnectionTest, EndsWithoutAnswer) {
    struct Case {
        std::string name;
        std::deque<std::string> pieces;
        bool failSends;
    };
    const Case cases[] = {
        {"client closes before the empty line", {"GET /small.txt HTTP/1.0\r\n"}, false},
        {"client closes at once", {}, false},
        {"the answer cannot be sent", {"GET /small.txt HTTP/1.0\r\n\r\n"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeChannel channel;
        channel.pieces = c.pieces;
        channel.closed = true;
        channel.failSends = c.failSends;
        CRequestConnection connection(*doc, channel);
        RunToEnd(connection);
        EXPECT_EQ(connection.State(), CRequestConnection::ConnState::Done);
        EXPECT_EQ(channel.sent, "");
        EXPECT_EQ(channel.releases, 1);
    }
}

// A client that asks to keep its connection (HTTP/1.1, or "Connection: keep-alive") gets one
// answer after the other on it, pipelined heads included, while the answer has a known end
// and the connection may carry more; every other request ends it after its answer, as
// HTTP/1.0 has it, with the same bytes as ever.
TEST_F(ConnectionTest, KeepsTheConnectionOnlyWhenAskedAndTheAnswerHasAnEnd) {
    const std::string ask = "GET /small.txt HTTP/1.0\r\n\r\n";
    const std::string keep = "GET /small.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
    const std::string v11 = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
    struct Case {
        std::string name;
        int allowed;       // requests the connection may carry
        std::string first; // the first piece; then `then` once the first answers are out
        std::string then;
        int answers;
        int kept; // answers that keep the connection, the first ones
    };
    const Case cases[] = {
        {"HTTP/1.0 without keep-alive", 100, ask, ask, 1, 0},
        {"keep-alive asked", 100, keep, ask, 2, 1},
        {"HTTP/1.1", 100, v11, ask, 2, 1},
        {"HTTP/1.1 with close", 100, "GET /small.txt HTTP/1.1\r\nConnection: x, close\r\n\r\n", ask,
         1, 0},
        {"a connection that carries one request", 1, keep, ask, 1, 0},
        {"the first head broken", 100, "GET /a%4 HTTP/1.1\r\n\r\n", ask, 1, 0},
        {"an error answer", 100, "GET /missing.txt HTTP/1.1\r\n\r\n", ask, 1, 0},
        {"two heads in one piece", 100, keep + ask, "", 2, 1},
        {"two heads and half a third in one piece", 100, keep + keep + "GET /sm",
         "all.txt HTTP/1.0\r\n\r\n", 3, 2},
        {"the most requests a connection carries", 2, keep + keep + keep, "", 2, 1},
        {"a head with a body", 100,
         "POST /small.txt HTTP/1.1\r\nContent-Length: " + std::to_string(keep.size()) + "\r\n\r\n" +
             keep,
         ask, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeChannel channel;
        channel.pieces = {c.first};
        CRequestConnection connection(*doc, channel);
        connection.AllowRequests(c.allowed);
        connection.Step();
        ASSERT_GT(channel.sent.size(), 0u);
        if (!c.then.empty() && c.answers > 1) {
            EXPECT_EQ(connection.State(), CRequestConnection::ConnState::ReadingRequest);
            EXPECT_TRUE(channel.wantRead);
            EXPECT_FALSE(channel.wantWrite);
        }
        if (!c.then.empty())
            channel.pieces = {c.then};
        channel.closed = true;
        RunToEnd(connection);
        EXPECT_EQ(connection.State(), CRequestConnection::ConnState::Done);
        EXPECT_EQ(channel.releases, 1);
        std::vector<std::string> answers;
        for (std::size_t at = channel.sent.find("HTTP/1.0 "); at != std::string::npos;) {
            const std::size_t next = channel.sent.find("HTTP/1.0 ", at + 1);
            answers.push_back(channel.sent.substr(at, next - at));
            at = next;
        }
        ASSERT_EQ(answers.size(), static_cast<std::size_t>(c.answers));
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const std::string& one = answers[i];
            const bool kept = static_cast<int>(i) < c.kept;
            // The header closes the head of a kept answer; the others keep today's head.
            EXPECT_EQ(one.find("\r\nConnection: keep-alive\r\n\r\n") != std::string::npos, kept)
                << one;
            EXPECT_EQ(one.find("Connection:") != std::string::npos, kept) << one;
            if (c.answers > 1) {
                EXPECT_TRUE(one.starts_with("HTTP/1.0 200")) << one;
                EXPECT_EQ(Body(one), "small file");
            }
        }
    }
}

// A kept connection waits for its next request only so long; its first request had the
// usual limits.
TEST_F(ConnectionTest, KeptConnectionEndsAfterItsIdleLimit) {
    FakeChannel channel;
    channel.pieces = {"GET /small.txt HTTP/1.1\r\n\r\n"};
    CRequestConnection connection(*doc, channel);
    connection.AllowRequests(100);
    connection.Step();
    ASSERT_EQ(connection.State(), CRequestConnection::ConnState::ReadingRequest);
    ASSERT_EQ(connection.Answered(), 1);
    const auto now = CRequestConnection::Clock::now();
    EXPECT_FALSE(connection.ExpireIfIdle(now + CRequestConnection::kKeepAliveIdle - 1s));
    EXPECT_TRUE(connection.ExpireIfIdle(now + CRequestConnection::kKeepAliveIdle + 1s));
    EXPECT_EQ(connection.State(), CRequestConnection::ConnState::Done);
}

// A request that cannot be served is answered at once, without waiting for its end.
TEST_F(ConnectionTest, RejectedRequestIsAnsweredAtOnce) {
    FakeChannel channel;
    channel.pieces = {"GET /a%4 HTTP/1.0\r\n"};
    CRequestConnection connection(*doc, channel);
    RunToEnd(connection);
    // The rest of the head may still be on its way: the answer is out, and the connection
    // reads what comes until the client closes.
    EXPECT_EQ(channel.sent.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u);
    EXPECT_EQ(Body(channel.sent), "400 Bad Request");
    ASSERT_EQ(connection.State(), CRequestConnection::ConnState::Draining);
    EXPECT_TRUE(channel.wantRead);
    channel.closed = true;
    RunToEnd(connection);
    EXPECT_EQ(connection.State(), CRequestConnection::ConnState::Done);
}

// A client that sent a body no answer uses got a reset instead of its answer: the server
// closed with the body unread. It says it is done, reads and drops what still comes (never
// more than its limit), and closes when the client does.
TEST_F(ConnectionTest, BodyAfterTheAnswerIsReadAndDroppedBeforeClosing) {
    FakeChannel channel;
    channel.pieces = {"POST /small.txt HTTP/1.0\r\nContent-Length: 40000\r\n\r\n",
                      std::string(16384, 'b'), std::string(16384, 'b')};
    CRequestConnection connection(*doc, channel);
    RunToEnd(connection);
    EXPECT_EQ(channel.sent.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u);
    ASSERT_EQ(connection.State(), CRequestConnection::ConnState::Draining);
    EXPECT_EQ(channel.releases, 0);
    channel.pieces = {std::string(7232, 'b')};
    channel.closed = true;
    RunToEnd(connection);
    EXPECT_EQ(connection.State(), CRequestConnection::ConnState::Done);
    EXPECT_EQ(channel.releases, 1);
    // A client that keeps sending is cut off after the limit, or when it stops moving.
    FakeChannel endless;
    endless.pieces = {"POST /small.txt HTTP/1.0\r\nContent-Length: 5\r\n\r\n"};
    for (int i = 0; i < 200; ++i)
        endless.pieces.push_back(std::string(16384, 'e'));
    CRequestConnection flooded(*doc, endless);
    RunToEnd(flooded);
    EXPECT_EQ(flooded.State(), CRequestConnection::ConnState::Done);
    EXPECT_GT(endless.pieces.size(), 0u) << "it stopped reading at its limit";
    FakeChannel quiet;
    quiet.pieces = {"POST /small.txt HTTP/1.0\r\nContent-Length: 5\r\n\r\n"};
    CRequestConnection lingering(*doc, quiet);
    RunToEnd(lingering);
    ASSERT_EQ(lingering.State(), CRequestConnection::ConnState::Draining);
    EXPECT_FALSE(lingering.ExpireIfIdle(CRequestConnection::Clock::now() + 4s));
    EXPECT_TRUE(lingering.ExpireIfIdle(CRequestConnection::Clock::now() + 6s));
}

// A client that sent one byte every 20 s held its connection for ever: the idle time
// restarted at every byte. A request head has 30 s from the connection's start, however
// it trickles in.
TEST_F(ConnectionTest, HeadDeadlineCountsFromTheStartNotFromTheLastByte) {
    const auto start = CRequestConnection::Clock::now();
    FakeChannel channel;
    channel.pieces = {"G"};
    CRequestConnection connection(*doc, channel);
    connection.Step();
    channel.pieces = {"ET /small.txt HTTP/1.0\r\n"};
    connection.Step(); // progress, but no head yet
    EXPECT_FALSE(connection.ExpireIfIdle(start + 29s));
    EXPECT_EQ(channel.releases, 0);
    EXPECT_TRUE(connection.ExpireIfIdle(start + 31s));
    EXPECT_EQ(connection.State(), CRequestConnection::ConnState::Done);
    EXPECT_EQ(channel.shutdowns, 1);
    EXPECT_EQ(channel.releases, 1);
    EXPECT_FALSE(channel.wantRead || channel.wantWrite);
    // Expiring again, or a late notification, does nothing more.
    EXPECT_FALSE(connection.ExpireIfIdle(start + 120s));
    connection.Step();
    EXPECT_EQ(channel.releases, 1);
}

// A client that is sent to but does not read is idle too.
TEST_F(ConnectionTest, IdleLimitWhileTheClientDoesNotRead) {
    FakeChannel channel;
    channel.pieces = {"GET /big.bin HTTP/1.0\r\n\r\n"};
    channel.sendLimit = 100;
    CRequestConnection connection(*doc, channel);
    connection.Step();
    ASSERT_EQ(connection.State(), CRequestConnection::ConnState::Writing);
    EXPECT_TRUE(connection.ExpireIfIdle(CRequestConnection::Clock::now() + 61s));
    EXPECT_EQ(channel.releases, 1);
    const std::size_t sent = channel.sent.size();
    connection.Step();
    EXPECT_EQ(channel.sent.size(), sent);
}

} // namespace
} // namespace tvn
