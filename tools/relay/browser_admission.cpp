#include "tools/relay/browser_admission.h"

namespace tvn::relay {

CBrowserAdmission::Decision CBrowserAdmission::Decide(std::uint32_t address) const {
    const auto count = perAddress.find(address);
    if (count != perAddress.end() && count->second >= kMaxPerAddress)
        return Decision::kRefuse;
    if (entries.size() < capacity)
        return Decision::kAdmit;
    return unfinished.empty() ? Decision::kFull : Decision::kAdmitClosing;
}

std::optional<CBrowserAdmission::Key> CBrowserAdmission::OldestUnfinished() const {
    if (unfinished.empty())
        return std::nullopt;
    return unfinished.begin()->second;
}

void CBrowserAdmission::Add(Key key, std::uint32_t address, Millis now) {
    if (!entries.emplace(key, Entry{address, now}).second)
        return;
    ++perAddress[address];
    unfinished.emplace(now, key);
}

void CBrowserAdmission::HeadDone(Key key) {
    const auto found = entries.find(key);
    if (found != entries.end())
        unfinished.erase({found->second.started, key});
}

void CBrowserAdmission::Remove(Key key) {
    const auto found = entries.find(key);
    if (found == entries.end())
        return;
    unfinished.erase({found->second.started, key});
    const auto count = perAddress.find(found->second.address);
    if (count != perAddress.end() && --count->second == 0)
        perAddress.erase(count);
    entries.erase(found);
}

std::vector<CBrowserAdmission::Key> CBrowserAdmission::Overdue(Millis now) const {
    std::vector<Key> overdue;
    for (const auto& [started, key] : unfinished) {
        if (now - started < kHeadDeadline)
            break; // oldest first: the rest are younger
        overdue.push_back(key);
    }
    return overdue;
}

} // namespace tvn::relay
