#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// The URL folder of the http-01 answers.
inline constexpr std::string_view kAcmeChallengePath = "/.well-known/acme-challenge/";

// The http-01 tokens being validated and their key authorizations: filled by the
// certificate worker, read by the plain listener's built-in answers. Any thread.
class CAcmeChallenges {
  public:
    void Publish(const std::string& token, const std::string& keyAuthorization);
    void Withdraw(const std::string& token);
    // The key authorization of `token`; nothing for a token not published.
    std::optional<std::string> Find(std::string_view token) const;

  private:
    mutable std::mutex lock;
    std::map<std::string, std::string, std::less<>> answers;
};

// True when `token` is a token as ACME servers make them: 1 to 256 base64url characters.
bool IsAcmeToken(std::string_view token);

} // namespace tvn
