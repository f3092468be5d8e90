// When the memory of ended connections goes back to the system: after a crowd at once, after
// visitors one at a time only once the server stayed without connections for a while, never
// at the end of every connection (that cost a system call per request).
#include "support/server_fixture.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tvn::test {
namespace {

// The crowd comes from two addresses: one address holds at most kMaxPerAddress connections.
constexpr std::uint32_t kLoopback2 = 0x7F000002; // 127.0.0.2
constexpr std::uint32_t kLoopback3 = 0x7F000003; // 127.0.0.3

class MemoryGiveBack : public ServerFixture {
  protected:
    void BeforeServing() override {
        doc->Connections().SetGiveBack([this] { ++givenBack; });
    }
    void SetUp() override {
        ServerFixture::SetUp();
        Put("small.dat", "small");
    }
    // `count` connections at once, each holding a request head not yet whole, then closed
    // together by their clients; true when the server had all of them.
    bool CrowdLeaves(std::size_t count) {
        bool all = true;
        EXPECT_TRUE(RunWhileServing([&] {
            std::vector<std::unique_ptr<LoopbackClient>> clients;
            for (std::size_t i = 0; i < count; ++i) {
                clients.push_back(std::make_unique<LoopbackClient>());
                all = clients.back()->Connect(port, i % 2 ? kLoopback2 : kLoopback3) &&
                      clients.back()->Send("GET /small.dat HTTP/1.0\r\n") && all;
            }
            for (int i = 0; i < 250 && doc->Connections().LiveCount() < count; ++i)
                std::this_thread::sleep_for(20ms);
            all = all && doc->Connections().LiveCount() == count;
        })); // the clients close here, all within a millisecond
        return all;
    }

    int givenBack = 0;
};

TEST_F(MemoryGiveBack, ACrowdGivesBackAtOnce) {
    // The crowd's connections end in one batch of deletions: the memory goes back without
    // waiting for the idle delay (1 s), so within half of it.
    ASSERT_TRUE(CrowdLeaves(100));
    EXPECT_TRUE(SpinUntil([&] { return givenBack > 0; }, 500)) << "not at once after a crowd";
    SpinUntil([&] { return doc->Connections().LiveCount() == 0; });
    EXPECT_EQ(givenBack, 1);
}

TEST_F(MemoryGiveBack, VisitorsOneAtATimeGiveBackOnlyOnceIdle) {
    // Each connection ends before the next begins: nothing while they come (a call at the end
    // of each was the cost of every request), once when they stopped.
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Get("/small.dat").body, "small");
        SpinEventLoop(20ms); // the ended connection is deleted meanwhile (after 50 ms at most)
    }
    EXPECT_EQ(givenBack, 0) << "at the end of single connections";
    EXPECT_TRUE(SpinUntil([&] { return givenBack > 0; }, 3000)) << "never once idle";
    SpinEventLoop(100ms);
    EXPECT_EQ(givenBack, 1) << "once idle";
}

} // namespace
} // namespace tvn::test
