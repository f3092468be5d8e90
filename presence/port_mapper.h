#pragma once

#include "platform/upnp_nat.h"

#include <chrono>
#include <cstdint>
#include <functional>
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
//
// A search that found no router is made again later, for the network often comes after the
// program (a login session that starts it): at every call during the first three minutes
// after the first failed search, then after waits that double from 24 s up to four minutes.
// A new local address starts over: it is another network, perhaps with another router.
class CPortMapper {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Works through `nat`; by default miniupnpc with the default route's gateway as the router.
    // `clock` times the searches for the router (the steady clock when left out).
    explicit CPortMapper(std::unique_ptr<CUpnpNat> nat = MakeUpnpNat(DefaultGateway),
                         Clock clock = {});
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

    // Looks for the router on first need, and again when an earlier search failed and its
    // wait is over; true when it was found.
    bool Router();
    // A search is due: never made, or failed and waited for long enough.
    bool SearchDue() const;
    // Starts over with the router when the local address is not the one seen last.
    void FollowLocalAddress(const std::string& address);
    // Whether `mapping` is the kept one: our description and the kept local address.
    bool IsKept(const NatMapping& mapping) const;
    void Forget();

    std::unique_ptr<CUpnpNat> nat;
    Clock now;
    RouterState router = RouterState::NotLooked;
    std::chrono::steady_clock::time_point firstMiss; // the first failed search of this network
    std::chrono::steady_clock::time_point nextSearch;
    std::chrono::seconds searchWait{0}; // the wait after the last failed search
    std::string localAddress;           // the local address of the last Ensure
    std::uint16_t port = 0;             // the kept mapping: external port = internal port
    std::string protocol;
    std::string client; // the local address it points at; empty when none is kept
    std::string description;
};

// The wait before the next search for the router after one failed at `sinceFirstMiss` after
// the first failed search, when the wait before it was `lastWait`: none during the first three
// minutes, then 24 s doubling up to four minutes.
std::chrono::seconds RouterSearchWait(std::chrono::seconds sinceFirstMiss,
                                      std::chrono::seconds lastWait);

// Whether `address` is a dotted IPv4 address that can be reached from the internet: not
// private, loopback, link-local, shared (CGNAT 100.64/10), documentation, benchmarking,
// multicast or otherwise reserved.
bool IsPublicIPv4(std::string_view address);

// Whether `mapping` may be touched by whoever made it with `description` for `client`.
bool IsOwnMapping(const NatMapping& mapping, std::string_view client, std::string_view description);

} // namespace tvn
