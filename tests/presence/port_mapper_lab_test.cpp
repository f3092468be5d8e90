// The port mapper against a real UPnP router: miniupnpd in network namespaces that this test
// makes itself (port_mapper_lab.sh). The test thread enters the client namespace, so every
// packet stays inside the lab. Skips when it cannot make the lab (not root, no miniupnpd, no
// nft, no `ip netns`).
#include "netns_lab.h"
#include "presence/port_mapper.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace tvn {
namespace {

using test::NetnsGuard;
using test::ReadAll;
using test::Shell;

const std::string kClient = "10.77.0.2";
const std::string kSecondAddress = "10.77.0.4"; // the client's address after a "new lease"
const std::string kOtherHost = "10.77.0.3";
// Only a text the lab router reports; nothing ever connects to it.
const std::string kLabExternal = "93.184.216.34";
constexpr int kLabDiscoveryMs = 1000;

std::string Script() { return std::string(TVN_SOURCE_TREE) + "/tests/presence/port_mapper_lab.sh"; }

// The reason the lab cannot be made here, or empty when it can.
std::string MissingPiece() {
    if (::geteuid() != 0)
        return "the router lab needs root to make network namespaces";
    if (::access("/usr/sbin/miniupnpd", X_OK) != 0)
        return "miniupnpd is not installed (scripts/install-deps.sh installs miniupnpd-nftables)";
    if (!Shell("command -v nft >/dev/null 2>&1"))
        return "nft is not installed (scripts/install-deps.sh installs nftables)";
    if (!Shell("command -v ip >/dev/null 2>&1"))
        return "ip (iproute2) is not installed";
    return {};
}

class PortMapperLab : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        skipReason = MissingPiece();
        if (!skipReason.empty())
            return;
        name = "tvnpm" + std::to_string(::getpid());
        dir = (std::filesystem::temp_directory_path() / name).string();
        const std::string log = dir + ".log";
        // secure_mode=no: a permissive router lets one host map a port to another, the case
        // in which taking another host's mapping would be possible at all.
        const bool up = Shell(Script() + " up " + name + " " + dir + " ext_ip=" + kLabExternal +
                              " secure_mode=no >" + log + " 2>&1");
        if (!up) {
            skipReason =
                "the router lab could not be made (ip netns or miniupnpd failed): " + ReadAll(log);
            Shell(Script() + " down " + name + " " + dir + " >/dev/null 2>&1");
            name.clear();
        }
        std::filesystem::remove(log);
    }
    static void TearDownTestSuite() {
        if (name.empty())
            return;
        Shell(Script() + " down " + name + " " + dir + " >/dev/null 2>&1");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        name.clear();
    }

    void SetUp() override {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        netns = std::make_unique<NetnsGuard>(name + "-cl");
        ASSERT_TRUE(netns->Entered());
        observer = MakeUpnpNat(DefaultGateway, kLabDiscoveryMs);
        ASSERT_TRUE(observer->Discover()) << "the lab router did not answer the search";
    }
    void TearDown() override {
        observer.reset();
        netns.reset();
    }

    CPortMapper NewMapper() { return CPortMapper(MakeUpnpNat(DefaultGateway, kLabDiscoveryMs)); }
    bool Ensure(CPortMapper& mapper, std::uint16_t port, std::string& address) {
        return mapper.Ensure(port, port, "TCP", address, "TVN");
    }
    std::optional<NatMapping> On(std::uint16_t port) { return observer->GetMapping(port, "TCP"); }

    static std::string skipReason;
    static std::string name;
    static std::string dir;
    std::unique_ptr<NetnsGuard> netns;
    std::unique_ptr<CUpnpNat> observer; // the test's own look at the router
};

std::string PortMapperLab::skipReason;
std::string PortMapperLab::name;
std::string PortMapperLab::dir;

TEST_F(PortMapperLab, GatewayOfTheClientNamespace) { EXPECT_EQ(DefaultGateway(), "10.77.0.1"); }

TEST_F(PortMapperLab, AddsLooksUpAndRemoves) {
    CPortMapper mapper = NewMapper();
    std::string address = kClient;
    ASSERT_TRUE(Ensure(mapper, 8101, address));
    EXPECT_EQ(address, kLabExternal);
    const auto mapping = On(8101);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->internalClient, kClient);
    EXPECT_EQ(mapping->internalPort, 8101);
    EXPECT_EQ(mapping->description, "TVN");
    EXPECT_TRUE(mapping->enabled);
    EXPECT_EQ(observer->ExternalAddress(), kLabExternal);

    address = kClient; // the next refresh only verifies
    ASSERT_TRUE(Ensure(mapper, 8101, address));
    EXPECT_EQ(address, kLabExternal);

    mapper.Remove();
    EXPECT_FALSE(On(8101));
}

TEST_F(PortMapperLab, RepairsAnEditedOrDroppedMapping) {
    CPortMapper mapper = NewMapper();
    std::string address = kClient;
    ASSERT_TRUE(Ensure(mapper, 8102, address));
    // Someone points the port at another internal port (still this machine).
    ASSERT_TRUE(observer->AddMapping(8102, "TCP", 2222, kClient, "TVN"));
    ASSERT_EQ(On(8102)->internalPort, 2222);
    address = kClient;
    ASSERT_TRUE(Ensure(mapper, 8102, address));
    EXPECT_EQ(On(8102)->internalPort, 8102);
    // The router forgets it (restarted).
    ASSERT_TRUE(observer->DeleteMapping(8102, "TCP"));
    address = kClient;
    ASSERT_TRUE(Ensure(mapper, 8102, address));
    ASSERT_TRUE(On(8102));
    EXPECT_EQ(On(8102)->internalClient, kClient);
    mapper.Remove();
    EXPECT_FALSE(On(8102));
}

TEST_F(PortMapperLab, MovesToANewPortAndANewLocalAddress) {
    CPortMapper mapper = NewMapper();
    std::string address = kClient;
    ASSERT_TRUE(Ensure(mapper, 8103, address));
    address = kClient;
    ASSERT_TRUE(Ensure(mapper, 8104, address));
    EXPECT_FALSE(On(8103));
    ASSERT_TRUE(On(8104));
    address = kSecondAddress;
    ASSERT_TRUE(Ensure(mapper, 8104, address));
    EXPECT_EQ(address, kLabExternal);
    EXPECT_EQ(On(8104)->internalClient, kSecondAddress);
    mapper.Remove();
    EXPECT_FALSE(On(8104));
}

// Regression: the port was kept before the router accepted the mapping, so the next refresh
// pointed another host's mapping here and switching off deleted it.
TEST_F(PortMapperLab, AnotherHostsMappingIsNeverEditedOrRemoved) {
    ASSERT_TRUE(observer->AddMapping(8105, "TCP", 8105, kOtherHost, "TVN"));
    CPortMapper mapper = NewMapper();
    std::string address = kClient;
    EXPECT_FALSE(Ensure(mapper, 8105, address));
    address = kClient;
    EXPECT_FALSE(Ensure(mapper, 8105, address));
    mapper.Remove();
    ASSERT_TRUE(On(8105));
    EXPECT_EQ(On(8105)->internalClient, kOtherHost);
    EXPECT_EQ(On(8105)->internalPort, 8105);

    // The port goes to the other host after our mapping was made.
    ASSERT_TRUE(Ensure(mapper, 8106, address = kClient));
    ASSERT_TRUE(observer->DeleteMapping(8106, "TCP"));
    ASSERT_TRUE(observer->AddMapping(8106, "TCP", 2345, kOtherHost, "TVN"));
    address = kClient;
    EXPECT_FALSE(Ensure(mapper, 8106, address));
    mapper.Remove();
    ASSERT_TRUE(On(8106));
    EXPECT_EQ(On(8106)->internalClient, kOtherHost);
    EXPECT_EQ(On(8106)->internalPort, 2345);
    observer->DeleteMapping(8105, "TCP");
    observer->DeleteMapping(8106, "TCP");
}

// Any host of the LAN may answer the search: one that is not the default gateway is not used.
TEST_F(PortMapperLab, ADeviceThatIsNotTheGatewayIsNotUsed) {
    CPortMapper mapper(
        MakeUpnpNat([] { return std::optional<std::string>("10.77.0.9"); }, kLabDiscoveryMs));
    std::string address = kClient;
    EXPECT_FALSE(Ensure(mapper, 8107, address));
    EXPECT_EQ(address, kClient);
    EXPECT_FALSE(On(8107));
}

} // namespace
} // namespace tvn
