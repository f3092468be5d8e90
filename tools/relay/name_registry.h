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
    // Names one address may hold, unless the allow-list grants them to it by its address or
    // a secret: one client must leave the table to everybody else.
    static constexpr std::size_t kMaxNamesPerAddress = 16;

    enum class Outcome {
        kRegistered, // the name is now this server's
        kRefreshed,  // it already was, from this endpoint
        kMoved,      // it already was, from another endpoint, and the same secret proves it
        kTaken,      // another endpoint holds it, has not lapsed, and no secret says it moved
        kNotAllowed, // the allow-list does not grant it to this address, or it is our own name
        kInvalid,    // not a host name a browser can ask for, or a malformed secret
        kFull,       // kMaxNames are held
        kTooMany,    // the address holds kMaxNamesPerAddress names already
    };

    // `allowed`: the allow-list, or none to let any address register any name. `ownName`:
    // the service's own name, which no server may take.
    CNameRegistry(std::optional<AllowList> allowed, std::string ownName);

    // A registration of `name` from `from` at `now`, carrying `secret` (empty: none). A name
    // held with a secret moves to another endpoint only with the same secret; one held
    // without moves only once it lapsed.
    Outcome Register(std::string_view name, Endpoint from, Millis now,
                     std::string_view secret = {});

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
        std::string secret;
    };
    enum class Grant {
        kNone,  // not allowed
        kOpen,  // no allow-list, or an entry for any address without a secret
        kNamed, // an entry that names this address or the secret carried
    };
    Grant Allowed(const std::string& name, std::uint32_t address, std::string_view secret) const;
    // Whether `address` may take one more name at `now`.
    bool RoomFor(std::uint32_t address, Millis now);
    void Put(const std::string& name, Holder holder);
    void Forget(std::uint32_t address);

    std::optional<AllowList> allowed;
    std::string ownName;
    std::map<std::string, Holder, std::less<>> names;
    std::map<std::uint32_t, std::size_t> perAddress; // names held, lapsed ones not yet expired
};

// True when browsers can ask for `name` (normalised) by its name: not an IPv4 literal in any
// form a browser reads as one (its last label a number), not localhost nor below it.
bool IsRegistrableName(std::string_view name);

} // namespace tvn::relay
