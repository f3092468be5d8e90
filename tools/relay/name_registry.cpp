#include "tools/relay/name_registry.h"

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

CNameRegistry::Outcome CNameRegistry::Register(std::string_view rawName, Endpoint from,
                                               Millis now) {
    const std::string name = NormalizeName(rawName);
    if (name.empty())
        return Outcome::kInvalid;
    if (name == ownName || !Allowed(name, from.address))
        return Outcome::kNotAllowed;
    const auto found = names.find(name);
    if (found == names.end() || now - found->second.refreshed >= kLapse) {
        if (found == names.end() && names.size() >= kMaxNames && Expire(now).empty())
            return Outcome::kFull;
        names.insert_or_assign(name, Holder{from, now});
        return Outcome::kRegistered;
    }
    Holder& holder = found->second;
    // The address owns the name, not the port: a NAT may give the server another port at any
    // time, and the server must not be locked out of its own name for a minute then.
    if (holder.endpoint.address != from.address)
        return Outcome::kTaken;
    const bool moved = holder.endpoint.port != from.port;
    holder = Holder{from, now};
    return moved ? Outcome::kMoved : Outcome::kRefreshed;
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
        return true;
    });
    return lapsed;
}

bool CNameRegistry::Allowed(const std::string& name, std::uint32_t address) const {
    if (!allowed)
        return true;
    const auto found = allowed->find(name);
    if (found == allowed->end())
        return false;
    return std::any_of(found->second.begin(), found->second.end(),
                       [&](const auto& entry) { return !entry || *entry == address; });
}

} // namespace tvn::relay
