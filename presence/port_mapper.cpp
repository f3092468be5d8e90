#include "presence/port_mapper.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>

namespace tvn {
namespace {

struct Block {
    std::uint32_t network; // host byte order
    int prefix;
};

// The IPv4 blocks that the internet does not route to a router (IANA special-purpose
// registry), among them the shared space of carrier-grade NAT.
constexpr Block kNotPublic[] = {
    {0x00000000, 8},  // "this network"
    {0x0A000000, 8},  // private 10/8
    {0x64400000, 10}, // shared address space (CGNAT) 100.64/10
    {0x7F000000, 8},  // loopback
    {0xA9FE0000, 16}, // link-local
    {0xAC100000, 12}, // private 172.16/12
    {0xC0000000, 24}, // IETF protocol assignments
    {0xC0000200, 24}, // documentation TEST-NET-1
    {0xC0586300, 24}, // 6to4 relay anycast
    {0xC0A80000, 16}, // private 192.168/16
    {0xC6120000, 15}, // benchmarking 198.18/15
    {0xC6336400, 24}, // documentation TEST-NET-2
    {0xCB007100, 24}, // documentation TEST-NET-3
    {0xE0000000, 4},  // multicast
    {0xF0000000, 4},  // reserved, and the broadcast address
};

constexpr std::chrono::seconds kEagerSearches{180};
constexpr std::chrono::seconds kFirstWait{24};
constexpr std::chrono::seconds kLongestWait{240};

} // namespace

std::chrono::seconds RouterSearchWait(std::chrono::seconds sinceFirstMiss,
                                      std::chrono::seconds lastWait) {
    if (sinceFirstMiss < kEagerSearches)
        return std::chrono::seconds{0};
    if (lastWait < kFirstWait)
        return kFirstWait;
    return std::min(lastWait * 2, kLongestWait);
}

bool IsPublicIPv4(std::string_view address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, std::string(address).c_str(), &parsed) != 1)
        return false;
    const std::uint32_t value = ntohl(parsed.s_addr);
    for (const Block& block : kNotPublic) {
        const std::uint32_t mask = ~std::uint32_t{0} << (32 - block.prefix);
        if ((value & mask) == block.network)
            return false;
    }
    return true;
}

bool IsOwnMapping(const NatMapping& mapping, std::string_view client,
                  std::string_view description) {
    return !client.empty() && mapping.internalClient == client &&
           mapping.description == description;
}

CPortMapper::CPortMapper(std::unique_ptr<CUpnpNat> natClient, Clock clock)
    : nat(std::move(natClient)), now(clock ? std::move(clock) : std::chrono::steady_clock::now) {}

bool CPortMapper::Ensure(std::uint16_t externalPort, std::uint16_t internalPort,
                         const std::string& newProtocol, std::string& address,
                         const std::string& newDescription) {
    if (!client.empty() && client == address && port == internalPort && protocol == newProtocol &&
        description == newDescription && Verify(address))
        return true;
    Remove(); // through the router of the old address, if it moved
    FollowLocalAddress(address);
    return Add(externalPort, newProtocol, newDescription, address);
}

void CPortMapper::FollowLocalAddress(const std::string& address) {
    if (address == localAddress)
        return;
    localAddress = address;
    router = RouterState::NotLooked;
    searchWait = std::chrono::seconds{0};
}

bool CPortMapper::Verify(std::string& address) {
    if (client.empty() || address != client || !Router())
        return false;
    const std::optional<NatMapping> mapping = nat->GetMapping(port, protocol);
    // Someone may have given the port to another host since: that mapping is not edited.
    if (!mapping || !IsKept(*mapping))
        return false;
    if ((!mapping->enabled || mapping->internalPort != port) &&
        !nat->AddMapping(port, protocol, port, client, description))
        return false;
    const std::optional<std::string> external = nat->ExternalAddress();
    if (!external || !IsPublicIPv4(*external))
        return false;
    address = *external;
    return true;
}

bool CPortMapper::Add(std::uint16_t newPort, const std::string& newProtocol,
                      const std::string& newDescription, std::string& address) {
    if (address.empty() || newPort == 0 || !Router())
        return false;
    // A router behind another NAT (or not connected upstream) cannot be reached from outside:
    // asked first, so that no useless mapping is made.
    const std::optional<std::string> external = nat->ExternalAddress();
    if (!external || !IsPublicIPv4(*external))
        return false;
    // Adding over another host's mapping would take its port away (some routers allow it).
    if (const auto existing = nat->GetMapping(newPort, newProtocol);
        existing && !IsOwnMapping(*existing, address, newDescription))
        return false;
    if (!nat->AddMapping(newPort, newProtocol, newPort, address, newDescription))
        return false;
    // The router accepted it, so it is ours to verify and remove from now on.
    port = newPort;
    protocol = newProtocol;
    client = address;
    description = newDescription;
    const std::optional<NatMapping> added = nat->GetMapping(port, protocol);
    if (!added || !IsKept(*added) || !added->enabled || added->internalPort != port)
        return false;
    address = *external;
    return true;
}

void CPortMapper::Remove() {
    if (client.empty())
        return;
    if (Router()) {
        const std::optional<NatMapping> mapping = nat->GetMapping(port, protocol);
        if (mapping && IsKept(*mapping))
            nat->DeleteMapping(port, protocol);
    }
    Forget();
}

bool CPortMapper::SearchDue() const {
    return router == RouterState::NotLooked ||
           (router == RouterState::Missing && now() >= nextSearch);
}

bool CPortMapper::Router() {
    if (!SearchDue())
        return router == RouterState::Found;
    const bool firstSearch = router == RouterState::NotLooked;
    if (nat && nat->Discover()) {
        router = RouterState::Found;
        return true;
    }
    const auto at = now();
    if (firstSearch)
        firstMiss = at;
    router = RouterState::Missing;
    searchWait = RouterSearchWait(std::chrono::duration_cast<std::chrono::seconds>(at - firstMiss),
                                  searchWait);
    nextSearch = at + searchWait;
    return false;
}

bool CPortMapper::IsKept(const NatMapping& mapping) const {
    return IsOwnMapping(mapping, client, description);
}

void CPortMapper::Forget() {
    port = 0;
    protocol.clear();
    client.clear();
    description.clear();
}

} // namespace tvn
