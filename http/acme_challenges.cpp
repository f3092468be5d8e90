#include "http/acme_challenges.h"

namespace tvn {

void CAcmeChallenges::Publish(const std::string& token, const std::string& keyAuthorization) {
    const std::lock_guard guard(lock);
    answers[token] = keyAuthorization;
}

void CAcmeChallenges::Withdraw(const std::string& token) {
    const std::lock_guard guard(lock);
    answers.erase(token);
}

std::optional<std::string> CAcmeChallenges::Find(std::string_view token) const {
    if (!IsAcmeToken(token))
        return std::nullopt;
    const std::lock_guard guard(lock);
    const auto it = answers.find(token);
    if (it == answers.end())
        return std::nullopt;
    return it->second;
}

bool IsAcmeToken(std::string_view token) {
    if (token.empty() || token.size() > 256)
        return false;
    for (const char c : token) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace tvn
