#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// One network interface as the local-address choice sees it.
struct NetInterface {
    std::string name;
    unsigned index = 0;        // the kernel's interface index
    bool up = false;           // IFF_UP and IFF_RUNNING: configured and with a carrier
    bool loopback = false;     // IFF_LOOPBACK
    bool defaultRoute = false; // an IPv4 default route leaves through it
    std::string address;       // its first IPv4 address, dotted; empty when it has none
};

// This machine's interfaces (those getifaddrs lists), in interface-index order, each with
// its first IPv4 address and whether it carries the default route. Empty when the system
// cannot be asked.
std::vector<NetInterface> ListInterfaces();

// The names of the interfaces that carry an IPv4 default route (destination and mask 0, route
// up), from the text of /proc/net/route. Lines that do not parse are passed over.
std::vector<std::string> DefaultRouteInterfaces(std::string_view routeTable);

} // namespace tvn
