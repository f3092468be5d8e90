#include "presence/fake_nat.h"
#include "presence/port_mapper.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tvn {
namespace {

using test::FakeNat;
using test::FakeRouter;
using test::kHere;
using test::kOther;
using test::kPublic;

class PortMapperTest : public ::testing::Test {
  protected:
    FakeRouter router;
    CPortMapper mapper{std::make_unique<FakeNat>(router)};

    bool Ensure(std::uint16_t port, std::string& address) {
        return mapper.Ensure(port, port, "TCP", address, "TVN");
    }
    std::optional<NatMapping> On(std::uint16_t port) {
        const auto found = router.mappings.find({port, "TCP"});
        if (found == router.mappings.end())
            return std::nullopt;
        return found->second;
    }
};

TEST(PortMapperRules, PublicAddresses) {
    struct Case {
        const char* address;
        bool isPublic;
    };
    const Case cases[] = {
        {"93.184.216.34", true},
        {"8.8.8.8", true},
        {"1.0.0.1", true},
        {"100.63.255.255", true},
        {"100.128.0.0", true},
        {"172.15.255.255", true},
        {"172.32.0.0", true},
        {"198.17.255.255", true},
        {"198.20.0.0", true},
        {"223.255.255.255", true},
        {"0.0.0.0", false},
        {"0.1.2.3", false},
        {"10.0.0.1", false},
        {"100.64.0.1", false},
        {"100.127.255.254", false},
        {"127.0.0.1", false},
        {"169.254.1.1", false},
        {"172.16.0.1", false},
        {"172.31.255.255", false},
        {"192.0.0.8", false},
        {"192.0.2.1", false},
        {"192.88.99.1", false},
        {"192.168.0.1", false},
        {"198.18.0.1", false},
        {"198.19.255.255", false},
        {"198.51.100.7", false},
        {"203.0.113.9", false},
        {"224.0.0.1", false},
        {"239.255.255.250", false},
        {"240.0.0.1", false},
        {"255.255.255.255", false}, // below: not an address at all
        {"", false},
        {"93.184.216", false},
        {"93.184.216.34.1", false},
        {"93.184.216.256", false},
        {" 93.184.216.34", false},
        {"093.184.216.34", false},
        {"::1", false},
        {"2001:db8::1", false},
        {"router", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(IsPublicIPv4(c.address), c.isPublic);
    }
}

TEST(PortMapperRules, OwnMapping) {
    const NatMapping ours{kHere, 8080, "TVN", true};
    EXPECT_TRUE(IsOwnMapping(ours, kHere, "TVN"));
    EXPECT_TRUE(IsOwnMapping({kHere, 9, "TVN", false}, kHere, "TVN")); // repairable
    EXPECT_FALSE(IsOwnMapping(ours, kOther, "TVN"));
    EXPECT_FALSE(IsOwnMapping({kHere, 8080, "torrent", true}, kHere, "TVN"));
    EXPECT_FALSE(IsOwnMapping({kHere, 8080, "tvn", true}, kHere, "TVN"));
    EXPECT_FALSE(IsOwnMapping({"", 8080, "TVN", true}, "", "TVN"));
}

TEST(PortMapperRules, DefaultGatewayFromRouteTable) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "tun0\t00000000\t0200000A\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"; // no gateway flag
    EXPECT_EQ(ParseDefaultGateway(table), "192.168.0.1");               // the lower metric wins
    EXPECT_EQ(ParseDefaultGateway("Iface\tDestination\tGateway\n"
                                  "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"),
              std::nullopt);
    EXPECT_EQ(ParseDefaultGateway(""), std::nullopt);
    EXPECT_EQ(ParseDefaultGateway("Iface\nbroken line\n"), std::nullopt);
}

TEST(PortMapperRules, UrlHost) {
    EXPECT_EQ(UrlHost("http://10.77.0.1:5000/rootDesc.xml"), "10.77.0.1");
    EXPECT_EQ(UrlHost("http://192.168.0.1/ctl/IPConn"), "192.168.0.1");
    EXPECT_EQ(UrlHost("http://user@10.0.0.1:80/x"), "10.0.0.1");
    EXPECT_EQ(UrlHost("http://[fe80::1]:5000/x"), "fe80::1");
    EXPECT_EQ(UrlHost("http://10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(UrlHost("/ctl/IPConn"), "");
}

TEST_F(PortMapperTest, AddsAndReportsTheExternalAddress) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    EXPECT_EQ(address, kPublic);
    const auto mapping = On(8080);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->internalClient, kHere);
    EXPECT_EQ(mapping->internalPort, 8080);
    EXPECT_EQ(mapping->description, "TVN");
    EXPECT_EQ(mapper.Port(), 8080);
    EXPECT_EQ(mapper.Client(), kHere);
}

TEST_F(PortMapperTest, NoRouterFailsEveryTimeAndLeavesNothing) {
    router.present = false;
    for (int i = 0; i < 3; ++i) {
        std::string address = kHere;
        EXPECT_FALSE(Ensure(8080, address));
        EXPECT_EQ(address, kHere);
    }
    EXPECT_EQ(router.discoveries, 3); // the first minutes look at every refresh
    EXPECT_TRUE(router.calls.empty());
    EXPECT_EQ(mapper.Port(), 0);
}

TEST(PortMapperRules, RouterSearchWaitGrowsAfterTheFirstMinutes) {
    using std::chrono::seconds;
    struct Case {
        int sinceFirstMiss;
        int lastWait;
        int wait;
    };
    const Case cases[] = {
        {0, 0, 0},     {12, 0, 0},     {179, 0, 0},     {180, 0, 24},    {200, 24, 48},
        {250, 48, 96}, {350, 96, 192}, {550, 192, 240}, {800, 240, 240}, {9000, 240, 240},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sinceFirstMiss);
        EXPECT_EQ(RouterSearchWait(seconds(c.sinceFirstMiss), seconds(c.lastWait)),
                  seconds(c.wait));
    }
}

// Regression: a search that found no router was never made again, so a program started
// before the network (at login) never mapped its port.
class PortMapperLateRouter : public ::testing::Test {
  protected:
    using Clock = std::chrono::steady_clock;
    FakeRouter router;
    Clock::time_point at = Clock::time_point() + std::chrono::hours(1);
    CPortMapper mapper{std::make_unique<FakeNat>(router), [this] { return at; }};

    // One refresh `seconds` after the last one, from `local`; whether it mapped.
    bool RefreshAfter(int seconds, const std::string& local = kHere) {
        at += std::chrono::seconds(seconds);
        std::string address = local;
        return mapper.Ensure(8080, 8080, "TCP", address, "TVN");
    }
};

TEST_F(PortMapperLateRouter, FoundAtALaterRefreshOnceItIsThere) {
    router.present = false;
    EXPECT_FALSE(RefreshAfter(0));
    EXPECT_FALSE(RefreshAfter(12));
    router.present = true;
    EXPECT_TRUE(RefreshAfter(12));
    ASSERT_TRUE(router.mappings.count({8080, "TCP"}));
    EXPECT_EQ(router.discoveries, 3);
    EXPECT_TRUE(RefreshAfter(12)); // kept from then on
    EXPECT_EQ(router.discoveries, 3);
}

TEST_F(PortMapperLateRouter, SearchesGrowRareAndANewAddressStartsOver) {
    router.present = false;
    // Every refresh for the first three minutes.
    for (int refresh = 0; refresh < 15; ++refresh)
        RefreshAfter(refresh == 0 ? 0 : 12);
    EXPECT_EQ(router.discoveries, 15);
    // Then rarer: over the next hour of refreshes every 12 s, a search at most every 4 min.
    for (int refresh = 0; refresh < 300; ++refresh)
        RefreshAfter(12);
    EXPECT_GE(router.discoveries, 15 + 14);
    EXPECT_LE(router.discoveries, 15 + 20);
    // A new local address is another network: searched at once, and eagerly again.
    const int before = router.discoveries;
    RefreshAfter(12, kOther);
    RefreshAfter(12, kOther);
    EXPECT_EQ(router.discoveries, before + 2);
    router.present = true;
    EXPECT_TRUE(RefreshAfter(12, kOther));
    EXPECT_EQ(router.mappings.at({8080, "TCP"}).internalClient, kOther);
}

TEST_F(PortMapperTest, RouterLookedForOnceAcrossCalls) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    mapper.Remove();
    EXPECT_EQ(router.discoveries, 1);
}

// The external address decides whether the router can be reached from outside at all.
TEST_F(PortMapperTest, UnusableExternalAddressMakesNoMapping) {
    for (const char* external : {"0.0.0.0", "10.0.0.5", "100.64.3.4", "192.168.100.1", ""}) {
        SCOPED_TRACE(external);
        router.external = external;
        std::string address = kHere;
        EXPECT_FALSE(Ensure(8080, address));
        EXPECT_EQ(address, kHere);
        EXPECT_TRUE(router.mappings.empty());
    }
    router.external = std::nullopt;
    std::string address = kHere;
    EXPECT_FALSE(Ensure(8080, address));
    EXPECT_TRUE(router.mappings.empty());
}

TEST_F(PortMapperTest, ExternalAddressLostLaterRemovesTheMapping) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    router.external = "0.0.0.0"; // the router lost its upstream link
    address = kHere;
    EXPECT_FALSE(Ensure(8080, address));
    EXPECT_TRUE(router.mappings.empty());
    EXPECT_EQ(mapper.Port(), 0);
}

TEST_F(PortMapperTest, RepairsADisabledMapping) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    router.mappings[{8080, "TCP"}].enabled = false;
    router.calls.clear();
    address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    EXPECT_TRUE(On(8080)->enabled);
    EXPECT_EQ(router.calls,
              (std::vector<std::string>{"get 8080", "add 8080 " + kHere, "external"}));
}

TEST_F(PortMapperTest, RepairsAnEditedInternalPort) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    router.mappings[{8080, "TCP"}].internalPort = 22;
    address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    EXPECT_EQ(On(8080)->internalPort, 8080);
    EXPECT_EQ(address, kPublic);
}

TEST_F(PortMapperTest, ReaddsAMappingTheRouterDropped) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    router.mappings.clear(); // e.g. the router restarted
    address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    ASSERT_TRUE(On(8080));
    EXPECT_EQ(On(8080)->internalClient, kHere);
}

TEST_F(PortMapperTest, NewLocalAddressMovesTheMapping) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    const std::string moved = "192.168.1.21";
    address = moved;
    ASSERT_TRUE(Ensure(8080, address));
    EXPECT_EQ(On(8080)->internalClient, moved);
    EXPECT_EQ(mapper.Client(), moved);
}

TEST_F(PortMapperTest, NewPortMovesTheMapping) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    address = kHere;
    ASSERT_TRUE(Ensure(8081, address));
    EXPECT_FALSE(On(8080));
    ASSERT_TRUE(On(8081));
    EXPECT_EQ(mapper.Port(), 8081);
}

// Regression: the port and client were kept before the router accepted the mapping. When
// another host held the port, the next refresh "repaired" that host's mapping to point here,
// and switching the option off deleted it.
TEST_F(PortMapperTest, AnotherHostsMappingIsNeverTakenEditedOrRemoved) {
    const NatMapping theirs{kOther, 8080, "TVN", true};
    router.mappings[{8080, "TCP"}] = theirs;
    router.refuseAdd = true; // a router that answers 718 for the conflict
    std::string address = kHere;
    EXPECT_FALSE(Ensure(8080, address));
    EXPECT_EQ(mapper.Port(), 0);
    EXPECT_TRUE(mapper.Client().empty());
    router.refuseAdd = false; // a router that would overwrite it
    address = kHere;
    EXPECT_FALSE(Ensure(8080, address));
    address = kHere;
    EXPECT_FALSE(mapper.Verify(address));
    mapper.Remove();
    for (const auto& call : router.calls) {
        EXPECT_EQ(call.rfind("add", 0), std::string::npos) << call;
        EXPECT_EQ(call.rfind("delete", 0), std::string::npos) << call;
    }
    EXPECT_EQ(On(8080)->internalClient, kOther);
}

TEST_F(PortMapperTest, MappingNotNamedOursIsLeftAlone) {
    router.mappings[{8080, "TCP"}] = {kHere, 8080, "game console", true};
    std::string address = kHere;
    EXPECT_FALSE(Ensure(8080, address));
    EXPECT_EQ(On(8080)->description, "game console");
}

// The port went to another host after our mapping was made: it is neither repaired to point
// back here nor removed, neither at the next refresh nor at shutdown.
TEST_F(PortMapperTest, MappingTakenOverLaterIsNotEditedOrRemoved) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    router.mappings[{8080, "TCP"}] = {kOther, 8080, "TVN", false};
    address = kHere;
    EXPECT_FALSE(mapper.Verify(address));
    EXPECT_FALSE(Ensure(8080, address));
    mapper.Remove();
    const auto mapping = On(8080);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->internalClient, kOther);
    EXPECT_FALSE(mapping->enabled);
}

TEST_F(PortMapperTest, OurOwnStaleMappingIsReused) {
    router.mappings[{8080, "TCP"}] = {kHere, 8080, "TVN", false}; // left by an earlier run
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    EXPECT_TRUE(On(8080)->enabled);
}

TEST_F(PortMapperTest, RemoveDeletesOursAndForgetsIt) {
    std::string address = kHere;
    ASSERT_TRUE(Ensure(8080, address));
    mapper.Remove();
    EXPECT_TRUE(router.mappings.empty());
    EXPECT_EQ(mapper.Port(), 0);
    EXPECT_TRUE(mapper.Client().empty());
    router.calls.clear();
    mapper.Remove(); // nothing kept: nothing sent
    EXPECT_TRUE(router.calls.empty());
}

TEST_F(PortMapperTest, RemoveWithoutMappingNeverLooksForTheRouter) {
    mapper.Remove();
    EXPECT_EQ(router.discoveries, 0);
}

TEST_F(PortMapperTest, RefusedAddKeepsNothing) {
    router.refuseAdd = true;
    std::string address = kHere;
    EXPECT_FALSE(Ensure(8080, address));
    EXPECT_EQ(mapper.Port(), 0);
    EXPECT_TRUE(mapper.Client().empty());
}

TEST_F(PortMapperTest, VerifyWithoutMappingFails) {
    std::string address = kHere;
    EXPECT_FALSE(mapper.Verify(address));
    EXPECT_EQ(address, kHere);
    EXPECT_EQ(router.discoveries, 0);
}

} // namespace
} // namespace tvn
