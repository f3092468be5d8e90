#include "platform/interfaces.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fstream>
#include <ifaddrs.h>
#include <iterator>
#include <memory>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sstream>

namespace tvn {
namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

std::string ReadRouteTable() {
    // /proc/net follows the process's first thread; thread-self follows the calling thread,
    // whose network namespace getifaddrs answers for.
    std::ifstream file("/proc/thread-self/net/route");
    if (!file)
        file.open("/proc/net/route");
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The interface an address label ("eth0:1") belongs to.
std::string DeviceName(std::string_view label) {
    return std::string(label.substr(0, label.find(':')));
}

NetInterface& EntryFor(std::vector<NetInterface>& list, const ifaddrs& entry) {
    const std::string name = DeviceName(entry.ifa_name);
    for (auto& known : list) {
        if (known.name == name)
            return known;
    }
    NetInterface& added = list.emplace_back();
    added.name = name;
    added.index = ::if_nametoindex(name.c_str());
    added.up = (entry.ifa_flags & IFF_UP) && (entry.ifa_flags & IFF_RUNNING);
    added.loopback = entry.ifa_flags & IFF_LOOPBACK;
    return added;
}

} // namespace

std::vector<std::string> DefaultRouteInterfaces(std::string_view routeTable) {
    std::vector<std::string> names;
    std::istringstream lines{std::string(routeTable)};
    std::string line;
    std::getline(lines, line); // the column heads
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, mask;
        unsigned flags = 0, refCount = 0, use = 0, metric = 0;
        fields >> name >> destination >> gateway >> std::hex >> flags >> std::dec >> refCount >>
            use >> metric >> mask;
        if (!fields || destination != "00000000" || mask != "00000000" || !(flags & RTF_UP))
            continue;
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

std::vector<NetInterface> ListInterfaces() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0)
        return {};
    const std::unique_ptr<ifaddrs, IfAddrsDeleter> owner(raw);
    std::vector<NetInterface> list;
    for (const ifaddrs* it = raw; it; it = it->ifa_next) {
        NetInterface& known = EntryFor(list, *it);
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !known.address.empty())
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* own = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (::inet_ntop(AF_INET, &own->sin_addr, text, sizeof text))
            known.address = text;
    }
    // getifaddrs lists links first and addresses after them, each in the kernel's dump
    // order; the choice of address wants the interfaces' own order.
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.index < b.index; });
    const auto routed = DefaultRouteInterfaces(ReadRouteTable());
    for (auto& known : list)
        known.defaultRoute = std::find(routed.begin(), routed.end(), known.name) != routed.end();
    return list;
}

} // namespace tvn
