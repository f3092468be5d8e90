// One client must not stall or exhaust the server: a hostile client and an ordinary visitor
// side by side, asserting that the visitor is served (orderings and bounds, never timings).
#include "support/server_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace tvn::test {
namespace {

constexpr std::uint32_t kLoopback2 = 0x7F000002; // 127.0.0.2

class ServerHostile : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Put("visitor.dat", "served");
    }
    // The visitor from 127.0.0.1: true when it got its file.
    bool VisitorServed() {
        LoopbackClient visitor;
        if (!visitor.Connect(port))
            return false;
        visitor.Send("GET /visitor.dat HTTP/1.0\r\n\r\n");
        return ParseAnswer(visitor.ReadAll()).body == "served";
    }
};

// 400 clients that each sent a 1 MiB body grew the server to 552 MB: the bodies were
// buffered for an answer (501) that uses none. The answer comes at the end of the head,
// before a byte of the body is sent.
TEST_F(ServerHostile, AnnouncedBodyIsNotWaitedFor) {
    std::string answer;
    bool served = false;
    ASSERT_TRUE(RunWhileServing([&] {
        LoopbackClient poster;
        ASSERT_TRUE(poster.Connect(port));
        poster.Send("POST /visitor.dat HTTP/1.0\r\nContent-Length: 1048576\r\n\r\n");
        answer = poster.ReadSome(12, 5000ms);
        served = VisitorServed();
    }));
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.0 501");
    EXPECT_TRUE(served);
}

// A few hundred connections from one address took every descriptor. One address holds at
// most 64: the 65th is closed at once, and a visitor from elsewhere is served.
TEST_F(ServerHostile, OneAddressCannotTakeEveryConnection) {
    constexpr int kLimit = CConnectionList::kMaxPerAddress;
    bool extraClosed = false;
    bool served = false;
    ASSERT_TRUE(RunWhileServing([&] {
        std::vector<std::unique_ptr<LoopbackClient>> hostile;
        for (int i = 0; i < kLimit; ++i) {
            hostile.push_back(std::make_unique<LoopbackClient>());
            ASSERT_TRUE(hostile.back()->Connect(port, kLoopback2));
            hostile.back()->Send("GET /"); // a head that never ends
        }
        // Every one of them is the server's before the next one comes.
        for (int i = 0; i < 250 && doc->Connections().LiveCount() < kLimit; ++i)
            std::this_thread::sleep_for(20ms);
        LoopbackClient extra;
        ASSERT_TRUE(extra.Connect(port, kLoopback2));
        extra.Send("GET /visitor.dat HTTP/1.0\r\n\r\n");
        extraClosed = extra.ReadAll(5000ms).empty() && !extra.StaysQuiet(0ms);
        served = VisitorServed();
    }));
    EXPECT_TRUE(extraClosed) << "the 65th connection of one address was served";
    EXPECT_TRUE(served);
}

// Out of descriptors, the listener stopped accepting until the slow clients gave up (a
// minute): nobody else was served. The oldest connections still waiting for their head
// make room.
TEST_F(ServerHostile, OutOfDescriptorsTheOldestIncompleteRequestsMakeRoom) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    bool served = false;
    int hostileCount = 0;
    ASSERT_TRUE(RunWhileServing(
        [&] {
            LoopbackClient visitor;
            ASSERT_TRUE(visitor.Prepare()); // its descriptor is taken before they run out
            // Room for 80 descriptors more: the 60 clients' own (they live in this process too)
            // leave the server about 20, fewer than the 60 connections it is offered.
            int open = 0;
            for (int fd = 0; fd < static_cast<int>(saved.rlim_cur) && fd < 65536; ++fd)
                open += ::fcntl(fd, F_GETFD) != -1;
            rlimit lowered = saved;
            lowered.rlim_cur = static_cast<rlim_t>(open + 80);
            ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
            std::vector<std::unique_ptr<LoopbackClient>> hostile;
            for (int i = 0; i < 60; ++i) {
                // Spread over addresses, so that the limit per address is not what stops them.
                // The clients and the server draw on the same descriptors: a client that finds
                // none waits a moment for the server to make room, as it must.
                std::unique_ptr<LoopbackClient> client;
                for (int attempt = 0; attempt < 200 && !client; ++attempt) {
                    client = std::make_unique<LoopbackClient>();
                    if (!client->Connect(port, kLoopback2 + static_cast<std::uint32_t>(i % 8))) {
                        client.reset();
                        std::this_thread::sleep_for(5ms);
                    }
                }
                if (!client)
                    break;
                client->Send("GET /");
                hostile.push_back(std::move(client));
                std::this_thread::sleep_for(2ms);
            }
            hostileCount = static_cast<int>(hostile.size());
            if (visitor.Connect(port)) {
                visitor.Send("GET /visitor.dat HTTP/1.0\r\n\r\n");
                served = ParseAnswer(visitor.ReadAll()).body == "served";
            }
            ::setrlimit(RLIMIT_NOFILE, &saved);
        },
        60s));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(hostileCount, 60);
    EXPECT_TRUE(served);
}

// A text page too large to frame (over 8 MiB) went through the whole framing, copied three
// or four times, while every other visitor waited. It goes out as the file it is, and
// as text, never as HTML.
TEST_F(ServerHostile, HugeTextPageGoesOutUnframedAsPlainText) {
    std::string text;
    while (text.size() <= (std::size_t(8) << 20))
        text += "<script>not run</script> a line of a long chat log\n";
    Put("chat.txt", text);
    Put("small.txt", "framed <b>text</b>");
    const Answer huge = Get("/chat.txt");
    EXPECT_EQ(huge.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(huge.Header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(huge.Header("Content-Length"), std::to_string(text.size()));
    EXPECT_TRUE(huge.body == text);
    EXPECT_EQ(Get("/small.txt").Header("Content-Type"), "text/html");
}

} // namespace
} // namespace tvn::test
