#include "tools/relay/name_registry.h"

#include "relay/datagram.h"

#include <algorithm>

namespace tvn::relay {

std::string EndpointText(Endpoint endpoint) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += std::to_string((endpoint.address >> shift) & 0xFF);
        out += shift > 0 ? '.' : ':';
    }
    return out + std::to_string(endpoint.port);
}

CNameRegistry::CNameRegistry(std::optional<AllowList> allowList, std::string own)
    : allowed(std::move(allowList)), ownName(std::move(own)) {}

CNameRegistry::Outcome CNameRegistry::Register(std::string_view rawName, Endpoint from, Millis now,
                                               std::string_view secret) {
    const std::string name = NormalizeName(rawName);
    if (name.empty() || !IsRegistrableName(name) ||
        (!secret.empty() && !IsRegistrationSecret(secret)))
        return Outcome::kInvalid;
    const Grant grant = name == ownName ? Grant::kNone : Allowed(name, from.address, secret);
    if (grant == Grant::kNone)
        return Outcome::kNotAllowed;
    const auto found = names.find(name);
    if (found == names.end() || now - found->second.refreshed >= kLapse) {
        const bool sameAddress =
            found != names.end() && found->second.endpoint.address == from.address;
        if (grant == Grant::kOpen && !sameAddress && !RoomFor(from.address, now))
            return Outcome::kTooMany;
        if (names.find(name) == names.end() && names.size() >= kMaxNames && Expire(now).empty())
            return Outcome::kFull;
        Put(name, Holder{from, now, std::string(secret)});
        return Outcome::kRegistered;
    }
    Holder& holder = found->second;
    if (holder.endpoint == from) {
        // The same socket: the same server, unless the secret it held says otherwise.
        if (!holder.secret.empty() && holder.secret != secret)
            return Outcome::kTaken;
        holder.refreshed = now;
        holder.secret = secret;
        return Outcome::kRefreshed;
    }
    // Another port of the same address may be a neighbour behind the same NAT: only the
    // holder's secret proves it is the same server, wherever it comes from now.
    if (holder.secret.empty() || holder.secret != secret)
        return Outcome::kTaken;
    Put(name, Holder{from, now, std::string(secret)});
    return Outcome::kMoved;
}

std::optional<Endpoint> CNameRegistry::Find(std::string_view host, Millis now) const {
    const auto found = names.find(host);
    if (found == names.end() || now - found->second.refreshed >= kLapse)
        return std::nullopt;
    return found->second.endpoint;
}

bool CNameRegistry::Serves(Endpoint endpoint, Millis now) const {
    return std::any_of(names.begin(), names.end(), [&](const auto& entry) {
        return entry.second.endpoint == endpoint && now - entry.second.refreshed < kLapse;
    });
}

std::vector<std::string> CNameRegistry::Expire(Millis now) {
    std::vector<std::string> lapsed;
    std::erase_if(names, [&](const auto& entry) {
        if (now - entry.second.refreshed < kLapse)
            return false;
        lapsed.push_back(entry.first);
        Forget(entry.second.endpoint.address);
        return true;
    });
    return lapsed;
}

CNameRegistry::Grant CNameRegistry::Allowed(const std::string& name, std::uint32_t address,
                                            std::string_view secret) const {
    if (!allowed)
        return Grant::kOpen;
    const auto found = allowed->find(name);
    if (found == allowed->end())
        return Grant::kNone;
    Grant grant = Grant::kNone;
    for (const AllowEntry& entry : found->second) {
        if ((entry.address && *entry.address != address) ||
            (!entry.secret.empty() && entry.secret != secret))
            continue;
        if (entry.address || !entry.secret.empty())
            return Grant::kNamed;
        grant = Grant::kOpen;
    }
    return grant;
}

bool CNameRegistry::RoomFor(std::uint32_t address, Millis now) {
    const auto held = [&] {
        const auto count = perAddress.find(address);
        return count == perAddress.end() ? 0 : count->second;
    };
    if (held() >= kMaxNamesPerAddress)
        Expire(now); // lapsed names count until they are forgotten
    return held() < kMaxNamesPerAddress;
}

void CNameRegistry::Put(const std::string& name, Holder holder) {
    const auto found = names.find(name);
    if (found != names.end())
        Forget(found->second.endpoint.address);
    ++perAddress[holder.endpoint.address];
    names.insert_or_assign(name, std::move(holder));
}

void CNameRegistry::Forget(std::uint32_t address) {
    const auto count = perAddress.find(address);
    if (count != perAddress.end() && --count->second == 0)
        perAddress.erase(count);
}

bool IsRegistrableName(std::string_view name) {
    if (name == "localhost" || name.ends_with(".localhost"))
        return false;
    // A browser reads a host whose last label is a number (decimal, 0x hexadecimal, octal
    // with a leading 0) as an IPv4 address: "127.1", "0x7f.1", "2130706433".
    const auto dot = name.rfind('.');
    std::string_view last = dot == std::string_view::npos ? name : name.substr(dot + 1);
    if (last.empty())
        return true;
    if (last.starts_with("0x"))
        return last.find_first_not_of("0123456789abcdef", 2) != std::string_view::npos;
    return last.find_first_not_of("0123456789") != std::string_view::npos;
}

} // namespace tvn::relay
