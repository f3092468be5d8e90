#include "platform/local_networks.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <string>

namespace tvn {
namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

bool SameSubnet(const unsigned char* a, const unsigned char* b, const unsigned char* mask,
                std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if ((a[i] & mask[i]) != (b[i] & mask[i]))
            return false;
    }
    return true;
}

} // namespace

bool IsLocalNetworkAddress(std::string_view address) {
    if (address.empty() || address.size() > INET6_ADDRSTRLEN)
        return false;
    const std::string text(address);
    in_addr v4{};
    in6_addr v6{};
    const bool isV4 = ::inet_pton(AF_INET, text.c_str(), &v4) == 1;
    if (!isV4 && ::inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return false;
    if (!isV4 && IN6_IS_ADDR_V4MAPPED(&v6)) {
        // An IPv4 visitor seen through an IPv6 socket is judged by its IPv4 address.
        std::memcpy(&v4, v6.s6_addr + 12, 4);
        return IsLocalNetworkAddress(inet_ntoa(v4));
    }
    if (isV4 && (ntohl(v4.s_addr) >> 24) == 127)
        return true;
    if (!isV4 && IN6_IS_ADDR_LOOPBACK(&v6))
        return true;

    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0)
        return false;
    const std::unique_ptr<ifaddrs, IfAddrsDeleter> list(raw);
    for (const ifaddrs* it = raw; it; it = it->ifa_next) {
        if (!it->ifa_addr || !it->ifa_netmask || !(it->ifa_flags & IFF_UP))
            continue;
        if (isV4 && it->ifa_addr->sa_family == AF_INET) {
            const auto* own = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
            const auto* mask = reinterpret_cast<const sockaddr_in*>(it->ifa_netmask);
            if (SameSubnet(reinterpret_cast<const unsigned char*>(&v4.s_addr),
                           reinterpret_cast<const unsigned char*>(&own->sin_addr.s_addr),
                           reinterpret_cast<const unsigned char*>(&mask->sin_addr.s_addr), 4))
                return true;
        } else if (!isV4 && it->ifa_addr->sa_family == AF_INET6) {
            const auto* own = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
            const auto* mask = reinterpret_cast<const sockaddr_in6*>(it->ifa_netmask);
            if (SameSubnet(v6.s6_addr, own->sin6_addr.s6_addr, mask->sin6_addr.s6_addr, 16))
                return true;
        }
    }
    return false;
}

} // namespace tvn
