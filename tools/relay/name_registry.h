#pragma once

// Which Tarvolin server answers for which host name: learnt from registrations, lost when
// they stop. Time is passed in, so lapses are tested without waiting.
#include "tools/relay/relay_options.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn::relay {

using Millis = std::chrono::milliseconds;

// An IPv4 address and port, both in host order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    auto operator<=>(const Endpoint&) const = default;
};

// "a.b.c.d:port".
std::string EndpointText(Endpoint endpoint);

class CNameRegistry {
  public:
    // Servers register every 20 s; three periods without one and the name is free again.
    static constexpr Millis kLapse{60000};
    static constexpr std::size_t kMaxNames = 4096;

    enum class Outcome {
        kRegistered, // the name is now this server's
        kRefreshed,  // it already was, from this endpoint
        kMoved,      // it already was this address's; the port changed (a NAT rebinding)
        kTaken,      // another address holds it and has not lapsed
        kNotAllowed, // the allow-list does not grant it to this address, or it is our own name
        kInvalid,    // not a host name
        kFull,       // kMaxNames are held
    };

    // `allowed`: the allow-list, or none to let any address register any name. `ownName`:
    // the service's own name, which no server may take.
    CNameRegistry(std::optional<AllowList> allowed, std::string ownName);

    // A registration of `name` from `from` at `now`.
    Outcome Register(std::string_view name, Endpoint from, Millis now);

    // The server registered for `host` (already normalised) that has not lapsed at `now`.
    std::optional<Endpoint> Find(std::string_view host, Millis now) const;

    // True when a name that has not lapsed at `now` is registered to `endpoint`.
    bool Serves(Endpoint endpoint, Millis now) const;

    // Forgets the names that lapsed by `now`; returns them.
    std::vector<std::string> Expire(Millis now);

  private:
    struct Holder {
        Endpoint endpoint;
        Millis refreshed;
    };
    bool Allowed(const std::string& name, std::uint32_t address) const;

    std::optional<AllowList> allowed;
    std::string ownName;
    std::map<std::string, Holder, std::less<>> names;
};

} // namespace tvn::relay
