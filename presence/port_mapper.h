#pragma once

#include "platform/upnp_nat.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tvn {

// The router port mapping of "WorldWide access": one static TCP mapping on the UPnP router
// forwards the server's port on the router's external address to this computer.
//
// Only a mapping that this object added is ever changed or removed, and only while the router
// still shows it with our description and our local address: a mapping of another host on the
// same port is left alone (and makes Ensure fail). A router whose external address is not a
// public IPv4 address cannot be reached from outside, so it counts as no router.
//
// Every call is a synchronous exchange with the router: the first one looks for the router
// (an SSDP search that waits about 2 s), then each SOAP call is bounded by the socket time-outs
// of miniupnpc. Call from a worker thread, never the event loop; one thread at a time.
class CPortMapper {
  public:
    // Works through `nat`; by default miniupnpc with the default route's gateway as the router.
    explicit CPortMapper(std::unique_ptr<CUpnpNat> nat = MakeUpnpNat(DefaultGateway));
    CPortMapper(const CPortMapper&) = delete;
    CPortMapper& operator=(const CPortMapper&) = delete;

    // Makes sure the router forwards `externalPort`/`protocol` to `internalPort` on the local
    // address that `address` holds on entry: verifies and repairs the kept mapping, or
    // removes it and adds a new one when the port or the address changed. True when the
    // mapping is in place; `address` then holds the router's public external address.
    bool Ensure(std::uint16_t externalPort, std::uint16_t internalPort, const std::string& protocol,
                std::string& address, const std::string& description);
    // Looks the kept mapping up and repairs it (enables it again, restores its internal port)
    // when it still is ours and points at `address`. True when it is in place; `address`
    // then holds the router's public external address.
    bool Verify(std::string& address);
    // Adds a mapping of `port`/`protocol` to the same port on the local address `address`
    // holds, unless the router shows another host's mapping there or has no public external
    // address. The mapping is kept once the router accepted it. True when it is in place;
    // `address` then holds the router's public external address.
    bool Add(std::uint16_t port, const std::string& protocol, const std::string& description,
             std::string& address);
    // Removes the kept mapping from the router when it still is ours, and forgets it; errors
    // are passed over. Without a kept mapping it does nothing and sends nothing.
    void Remove();

    // The kept mapping's port (0 when none is kept) and local address (empty when none).
    std::uint16_t Port() const { return port; }
    const std::string& Client() const { return client; }

  private:
    enum class RouterState { NotLooked, Found, Missing };

    // Looks for the router on first need only; true when it was found.
    bool Router();
    // Whether `mapping` is the kept one: our description and the kept local address.
    bool IsKept(const NatMapping& mapping) const;
    void Forget();

    std::unique_ptr<CUpnpNat> nat;
    RouterState router = RouterState::NotLooked;
    std::uint16_t port = 0; // the kept mapping: external port = internal port
    std::string protocol;
    std::string client; // the local address it points at; empty when none is kept
    std::string description;
};

// Whether `address` is a dotted IPv4 address that can be reached from the internet: not
// private, loopback, link-local, shared (CGNAT 100.64/10), documentation, benchmarking,
// multicast or otherwise reserved.
bool IsPublicIPv4(std::string_view address);

// Whether `mapping` may be touched by whoever made it with `description` for `client`.
bool IsOwnMapping(const NatMapping& mapping, std::string_view client, std::string_view description);

} // namespace tvn
