// The access-information refresh: which line it shows and which relay name it gives for each
// combination of router, relay and dynamic DNS outcome, and the refresh itself driving a
// router in memory and an update service on loopback from its worker.
#include "dyn_dns_fixture.h"
#include "platform/host_resolver.h"
#include "presence/fake_nat.h"
#include "presence/network_presence.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace tvn {
namespace {

using test::FakeNat;
using test::FakeRouter;
using test::kHere;
using test::kPublic;

std::string Line(const AccessInfo& info) {
    return info.host.empty() ? info.label : "http://" + info.host + " " + info.label;
}

AccessRequest Request(int port, bool worldwide) {
    AccessRequest request;
    request.port = port;
    request.worldwide = worldwide;
    request.user = "alice";
    request.password = "secret";
    request.name = "home";
    request.domain = "example";
    return request;
}

TEST(AccessLine, EachOutcomeGivesItsLineAndRelayName) {
    const DynDnsResult none{0, "", ""};
    const DynDnsResult registered{1, "home.example", ""};
    const DynDnsResult failed{0, kHere, " DynDns for 'home.example' says: No such host 'nohost'"};
    const std::string relay = "203.0.113.9";
    struct Case {
        const char* what;
        int port;
        bool worldwide;
        bool mapped;
        std::string relayAddress;
        DynDnsResult dns;
        std::string line;
        std::string relayName;
    };
    const Case cases[] = {
        {"LAN only", 8080, false, false, "", none, "http://" + kHere + ":8080 (LAN only)", ""},
        {"LAN only on port 80", 80, false, false, "", none, "http://" + kHere + " (LAN only)", ""},
        {"LAN only with a name", 8080, false, false, "", registered,
         "http://home.example:8080 (LAN only)", ""},
        {"mapped", 8080, true, true, "", none, "http://" + kPublic + ":8080 (Worldwide)", ""},
        {"mapped with a name", 80, true, true, "", registered, "http://home.example (Worldwide)",
         ""},
        {"relay with a name", 8080, true, false, relay, registered,
         "http://home.example (via Zereru Zadariv)", "home.example"},
        {"relay without a name", 8080, true, false, relay, none, "http://" + kHere + ":8080 ", ""},
        // No router and no relay service: the direct line, and nothing to register.
        {"no router, no relay", 8080, true, false, "", registered, "http://home.example:8080 ", ""},
        {"status text", 8080, false, false, "", failed,
         "http://" + kHere +
             ":8080 (LAN only) DynDns for 'home.example' says: No such host "
             "'nohost'",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const AccessRequest request = Request(c.port, c.worldwide);
        ASSERT_FALSE(access::Early(request, kHere));
        const RouterStep router = access::AfterRouter(request, kHere, c.mapped,
                                                      c.mapped ? kPublic : kHere, c.relayAddress);
        const AccessInfo info = access::Compose(request, router, c.dns);
        EXPECT_EQ(Line(info), c.line);
        EXPECT_EQ(info.relayName, c.relayName);
    }
}

TEST(AccessLine, StoppedAndWithoutNetwork) {
    AccessRequest request = Request(8080, true);
    request.enable = false;
    EXPECT_EQ(Line(*access::Early(request, kHere)), "The Server is stopped");
    request.enable = true;
    EXPECT_EQ(Line(*access::Early(request, "")),
              "http://localhost:8080 Only. No NET connections found");
    request.port = 80;
    EXPECT_EQ(Line(*access::Early(request, "")), "http://localhost Only. No NET connections found");
}

TEST(LookUpIPv4, DottedAndNamedHosts) {
    EXPECT_EQ(LookUpIPv4("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(LookUpIPv4("localhost"), "127.0.0.1");
    EXPECT_EQ(LookUpIPv4(""), "");
    EXPECT_EQ(LookUpIPv4("1.2.3.4&x=5"), "");
}

// The refresh against a router in memory and an update service on loopback.
class NetworkPresenceTest : public test::DynDnsTest {
  protected:
    std::unique_ptr<CNetworkPresence> Make(std::string address = kHere) {
        CNetworkPresence::Parts parts;
        parts.pluginFolder = dir.Path();
        parts.mapper = std::make_unique<CPortMapper>(std::make_unique<FakeNat>(router));
        parts.httpsMapper = std::make_unique<CPortMapper>(std::make_unique<FakeNat>(router));
        parts.localAddress = [address] { return address; };
        return std::make_unique<CNetworkPresence>(
            std::move(parts), [this](const AccessInfo& info) { infos.push_back(info); });
    }
    bool WaitFor(std::size_t count) {
        return test::SpinUntil([&] { return infos.size() >= count; }, 10000);
    }
    bool Mapped(std::uint16_t port) const { return router.mappings.count({port, "TCP"}) == 1; }

    FakeRouter router;
    std::vector<AccessInfo> infos;
};

TEST_F(NetworkPresenceTest, WorldwideMapsThePortAndLanOnlyRemovesTheMapping) {
    auto presence = Make();
    AccessRequest request = Request(8080, true);
    request.name.clear(); // no dynamic DNS name: nothing is sent
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(Line(infos[0]), "http://" + kPublic + ":8080 (Worldwide)");
    EXPECT_TRUE(Mapped(8080));
    EXPECT_EQ(router.mappings.at({8080, "TCP"}).internalClient, kHere);
    request.worldwide = false;
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(Line(infos[1]), "http://" + kHere + ":8080 (LAN only)");
    EXPECT_FALSE(Mapped(8080));
    EXPECT_EQ(server.Count(), 0u);
}

TEST_F(NetworkPresenceTest, ShutdownRemovesTheMapping) {
    auto presence = Make();
    AccessRequest request = Request(8080, true);
    request.name.clear();
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(1));
    ASSERT_TRUE(Mapped(8080));
    presence->Shutdown();
    EXPECT_FALSE(Mapped(8080));
    presence->RefreshAccessInfo(request); // after the end: nothing more happens
    presence.reset();
    EXPECT_EQ(infos.size(), 1u);
    EXPECT_FALSE(Mapped(8080));
}

// The HTTPS port is forwarded beside the plain one; a router that takes the plain port but
// not the HTTPS one leaves the line at http://; both go with LAN only and at the end.
TEST_F(NetworkPresenceTest, WorldwideForwardsTheHttpsPortBesideThePlainOne) {
    auto presence = Make();
    AccessRequest request = Request(8080, true);
    request.name.clear();
    request.httpsPort = 8443;
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(1));
    EXPECT_TRUE(Mapped(8080));
    ASSERT_TRUE(Mapped(8443));
    EXPECT_EQ(router.mappings.at({8443, "TCP"}).internalClient, kHere);
    EXPECT_FALSE(infos[0].httpsShut);

    router.mappings.erase({8443, "TCP"}); // the router lost it and takes it no more
    router.refusePort = 8443;
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(2));
    EXPECT_TRUE(Mapped(8080));
    EXPECT_TRUE(infos[1].httpsShut);
    EXPECT_EQ(Line(infos[1]), "http://" + kPublic + ":8080 (Worldwide)");

    router.refusePort = 0;
    request.worldwide = false;
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(3));
    EXPECT_FALSE(infos[2].httpsShut);
    EXPECT_FALSE(Mapped(8443));

    request.worldwide = true;
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(4));
    ASSERT_TRUE(Mapped(8443));
    presence->Shutdown();
    EXPECT_FALSE(Mapped(8080));
    EXPECT_FALSE(Mapped(8443));
}

// A router that refuses: the dynamic DNS name is pointed at the relay service and the relay
// name is given; without a relay service the name points at the local address.
TEST_F(NetworkPresenceTest, RefusedMappingTurnsToTheRelayOnlyWhenItResolves) {
    router.refuseAdd = true;
    server.Queue({200, "good 127.0.0.1", 0});
    auto presence = Make();
    AccessRequest request = Request(8080, true);
    request.relayHost = "localhost";
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(Line(infos[0]), "http://home.example (via Zereru Zadariv)");
    EXPECT_EQ(infos[0].relayName, "home.example");
    ASSERT_EQ(server.Count(), 1u);
    EXPECT_NE(server.Heads()[0].find("myip=127.0.0.1 "), std::string::npos) << server.Heads()[0];

    server.Queue({200, "good " + kHere, 0});
    request.relayHost.clear();
    presence->RefreshAccessInfo(request);
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(infos[1].relayName, "");
    EXPECT_EQ(Line(infos[1]), "http://home.example:8080 ");
    ASSERT_EQ(server.Count(), 2u);
    EXPECT_NE(server.Heads()[1].find("myip=" + kHere + " "), std::string::npos);
}

// Refreshes asked while one runs do not pile up: the newest runs after it, the rest never.
TEST_F(NetworkPresenceTest, OnlyTheNewestWaitingRefreshRuns) {
    server.Queue({200, "good " + kHere, 300});
    auto presence = Make();
    AccessRequest request = Request(8080, false);
    presence->RefreshAccessInfo(request);
    for (int port : {8081, 8082, 8083}) {
        request.port = port;
        presence->RefreshAccessInfo(request);
    }
    EXPECT_TRUE(presence->Refreshing());
    ASSERT_TRUE(WaitFor(2));
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(Line(infos[0]), "http://home.example:8080 (LAN only)");
    EXPECT_EQ(Line(infos[1]), "http://home.example:8083 (LAN only)");
    EXPECT_FALSE(presence->Refreshing());
}

} // namespace
} // namespace tvn
