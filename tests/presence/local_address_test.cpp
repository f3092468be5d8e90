#include "platform/interfaces.h"
#include "presence/local_address.h"

#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

namespace tvn {
namespace {

NetInterface Interface(const char* name, const char* address, bool up, bool routed,
                       bool loopback = false) {
    NetInterface entry;
    entry.name = name;
    entry.address = address;
    entry.up = up;
    entry.defaultRoute = routed;
    entry.loopback = loopback;
    return entry;
}

TEST(LocalAddress, ChoiceAmongInterfaces) {
    const NetInterface lo = Interface("lo", "127.0.0.1", true, false, true);
    struct Case {
        const char* what;
        std::vector<NetInterface> interfaces;
        std::string address;
    };
    const Case cases[] = {
        {"an up routed Ethernet before a disconnected Wi-Fi",
         {lo, Interface("eth0", "192.168.1.20", true, true),
          Interface("wlan0", "10.0.0.7", false, false)},
         "192.168.1.20"},
        {"the default route on the second interface",
         {lo, Interface("eth0", "192.168.1.20", true, false),
          Interface("eth1", "10.0.0.7", true, true),
          Interface("virbr0", "172.16.0.1", true, false)},
         "10.0.0.7"},
        {"a routed interface that is down does not end the search",
         {Interface("eth0", "192.168.1.20", false, true),
          Interface("eth1", "10.0.0.7", true, false)},
         "10.0.0.7"},
        {"no routed interface: the last address",
         {Interface("eth0", "192.168.1.20", true, false), lo,
          Interface("eth1", "10.0.0.7", false, false)},
         "10.0.0.7"},
        {"a routed interface without an IPv4 address",
         {Interface("eth0", "192.168.1.20", true, false), Interface("ppp0", "", true, true)},
         "192.168.1.20"},
        {"a loopback address on another interface", {Interface("d0", "127.0.0.2", true, true)}, ""},
        {"only loopback", {lo}, ""},
        {"no interfaces", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ChooseLocalAddress(c.interfaces), c.address);
    }
}

TEST(LocalAddress, DefaultRouteFromRouteTable) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"    // the LAN only
        "eth1\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"  // default
        "wlan0\t00000000\t0100000A\t0002\t0\t0\t600\t00000000\t0\t0\t0\n" // not up
        "eth1\t00000000\t0201A8C0\t0003\t0\t0\t200\t00000000\t0\t0\t0\n"  // default again
        "tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000080\t0\t0\t0\n"    // half of the net
        "broken line\n"
        "wg0\t00000000\t00000000\t0001\t0\t0\t50\t00000000\t0\t0\t0\n";
    EXPECT_EQ(DefaultRouteInterfaces(table), (std::vector<std::string>{"eth1", "wg0"}));
    EXPECT_TRUE(DefaultRouteInterfaces("").empty());
}

struct NamespaceView {
    std::string skipped; // why the namespace could not be made, else empty
    std::vector<NetInterface> interfaces;
    std::vector<std::string> addresses; // GetLocalAddress after each step
};

// Runs `steps` (shell commands of `ip`) one after the other in a network namespace made for
// one thread, so that the machine's own interfaces are never touched, and asks for the local
// address after each.
NamespaceView InOwnNamespace(const std::vector<std::string>& steps) {
    NamespaceView view;
    std::thread worker([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            view.skipped = "no network namespace of our own (not root?)";
            return;
        }
        for (const auto& step : steps) {
            if (std::system(("( " + step + " ) 2>/dev/null").c_str()) != 0) {
                view.skipped = "'" + step + "' failed";
                return;
            }
            view.addresses.push_back(GetLocalAddress());
        }
        view.interfaces = ListInterfaces();
    });
    worker.join();
    return view;
}

TEST(LocalAddress, InterfacesOfANamespace) {
    // A dummy interface where the kernel has them, else an ifb one: both up with a carrier.
    const auto addUp = [](const std::string& name, const std::string& address) {
        return "(ip link add " + name + " type dummy || ip link add " + name + " type ifb) && " +
               "ip addr add " + address + " dev " + name + " && ip link set " + name + " up";
    };
    const auto view = InOwnNamespace({
        "ip link set lo up",
        addUp("d0", "10.1.0.5/24"),
        addUp("d1", "10.2.0.7/24"),
        // up, but without a carrier while its peer is down: not up as the choice means it
        "ip link add d2 type veth peer name n2 && ip addr add 10.3.0.9/24 dev d2 && "
        "ip link set d2 up",
        "ip route add default dev d1",
        "ip route del default dev d1 && ip route add default dev d2",
    });
    if (!view.skipped.empty())
        GTEST_SKIP() << view.skipped;
    EXPECT_EQ(view.addresses, (std::vector<std::string>{
                                  "",         // only loopback
                                  "10.1.0.5", // no default route: the last address
                                  "10.2.0.7", // still the last
                                  "10.3.0.9", // an address without a carrier counts when last
                                  "10.2.0.7", // the routed interface wins
                                  "10.3.0.9", // routed but without a carrier: the last address
                              }));
    struct Expected {
        const char* name;
        const char* address;
        bool up;
        bool routed;
    };
    const Expected expected[] = {{"lo", "127.0.0.1", true, false},
                                 {"d0", "10.1.0.5", true, false},
                                 {"d1", "10.2.0.7", true, false},
                                 {"n2", "", false, false},
                                 {"d2", "10.3.0.9", false, true}};
    ASSERT_EQ(view.interfaces.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& entry = view.interfaces[i];
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(entry.name, expected[i].name);
        EXPECT_EQ(entry.address, expected[i].address);
        EXPECT_EQ(entry.up, expected[i].up);
        EXPECT_EQ(entry.defaultRoute, expected[i].routed);
        EXPECT_EQ(entry.loopback, i == 0);
        if (i > 0) {
            EXPECT_LT(view.interfaces[i - 1].index, entry.index) << "interface-index order";
        }
    }
}

} // namespace
} // namespace tvn
