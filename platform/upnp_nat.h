#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// One static port mapping as a router reports it (the external port and protocol are the key).
struct NatMapping {
    std::string internalClient; // dotted IPv4 address the port is forwarded to
    std::uint16_t internalPort = 0;
    std::string description;
    bool enabled = false;
};

// The router's static port mappings (a UPnP Internet Gateway Device). "Enable" and "edit" of a
// mapping are done by adding it again with the same external port. Every call is a
// synchronous exchange with the router that blocks until it is answered or timed out, so the
// calls belong on a worker thread, never on the event loop; one thread at a time.
class CUpnpNat {
  public:
    virtual ~CUpnpNat() = default;

    // Looks for the router once more and keeps it; true when one was found and kept.
    virtual bool Discover() = 0;
    // The mapping of `externalPort`/`protocol`; nullopt when there is none or no answer.
    virtual std::optional<NatMapping> GetMapping(std::uint16_t externalPort,
                                                 const std::string& protocol) = 0;
    // Adds (or replaces) the mapping of `externalPort`/`protocol` to `internalClient`:
    // `internalPort`, enabled and without a time limit. True when the router accepted it.
    virtual bool AddMapping(std::uint16_t externalPort, const std::string& protocol,
                            std::uint16_t internalPort, const std::string& internalClient,
                            const std::string& description) = 0;
    // Deletes the mapping of `externalPort`/`protocol`; true when the router did.
    virtual bool DeleteMapping(std::uint16_t externalPort, const std::string& protocol) = 0;
    // The router's external address as it reports it; nullopt when it gave none.
    virtual std::optional<std::string> ExternalAddress() = 0;
};

// The address of the default route's gateway, dotted; nullopt when there is no default route.
using GatewayReader = std::function<std::optional<std::string>()>;

// The router through miniupnpc. Discover sends an SSDP search that waits `discoveryDelayMs`
// for answers and keeps only an IGD whose description and control address are both the
// default gateway that `gateway` reads, so another host of the LAN that answers the search
// cannot pose as the router. Each SOAP call is bounded by miniupnpc's socket time-outs
// (a few seconds).
std::unique_ptr<CUpnpNat> MakeUpnpNat(GatewayReader gateway, int discoveryDelayMs = 2000);

// The gateway of this thread's network namespace's IPv4 default route (/proc/thread-self).
std::optional<std::string> DefaultGateway();

// The default route's gateway in the text of /proc/net/route; nullopt when it has none.
std::optional<std::string> ParseDefaultGateway(std::string_view procNetRoute);

// The host of an http URL ("http://10.0.0.1:5000/x" -> "10.0.0.1"); empty when it has none.
std::string UrlHost(std::string_view url);

} // namespace tvn
