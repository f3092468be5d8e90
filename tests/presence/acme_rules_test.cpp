// The certificate worker's decisions: when a certificate is renewed, how long a failure
// waits, and which name (if any) a refresh asks a certificate for.
#include "presence/acme_client.h"
#include "presence/network_presence.h"

#include <gtest/gtest.h>

namespace tvn {
namespace {

TEST(AcmeRules, RenewalIsDueOnceTwoThirdsOfTheLifetimePassed) {
    constexpr std::time_t kStart = 1'700'000'000;
    constexpr std::time_t kDay = 86400;
    const struct {
        std::time_t notBefore, notAfter, now;
        bool due;
    } cases[] = {
        {kStart, kStart + 90 * kDay, kStart, false},
        {kStart, kStart + 90 * kDay, kStart + 59 * kDay, false},
        {kStart, kStart + 90 * kDay, kStart + 60 * kDay - 1, false},
        {kStart, kStart + 90 * kDay, kStart + 60 * kDay, true},
        {kStart, kStart + 90 * kDay, kStart + 89 * kDay, true},
        {kStart, kStart + 90 * kDay, kStart + 90 * kDay, true},  // expired
        {kStart, kStart + 90 * kDay, kStart + 400 * kDay, true}, // long expired
        {kStart, kStart + 90 * kDay, kStart - 1, true},          // not valid yet
        {kStart, kStart + 3, kStart + 1, false},                 // 1/3 of 3 s
        {kStart, kStart + 3, kStart + 2, true},                  // 2/3 of 3 s
        {kStart, kStart + 5 * 365 * kDay, kStart + 3 * 365 * kDay, false},
        {kStart, kStart + 5 * 365 * kDay, kStart + 4 * 365 * kDay, true},
        {kStart, kStart, kStart, true},          // no lifetime
        {kStart + 10, kStart, kStart + 5, true}, // backwards
    };
    for (const auto& c : cases)
        EXPECT_EQ(acme::RenewalDue(c.notBefore, c.notAfter, c.now), c.due)
            << c.notBefore << " " << c.notAfter << " " << c.now;
}

TEST(AcmeRules, BackoffDoublesFromAMinuteUpToADay) {
    const struct {
        int failures;
        long seconds;
    } cases[] = {
        {-1, 0},   {0, 0},      {1, 60},     {2, 120},    {3, 240},    {4, 480},
        {8, 7680}, {11, 61440}, {12, 86400}, {13, 86400}, {40, 86400}, {1000000, 86400},
    };
    for (const auto& c : cases)
        EXPECT_EQ(acme::BackoffSeconds(c.failures), c.seconds) << c.failures;
}

TEST(AcmeRules, ACertificateIsWantedOnlyForARegisteredNameWithWorldwideAccess) {
    AccessRequest request;
    request.enable = true;
    request.worldwide = true;
    request.name = "home";
    request.domain = "dyn.test";
    const struct {
        const char* what;
        bool enable, worldwide;
        const char* name;
        const char* host;
        const char* label;
        const char* relayName;
        const char* wanted;
    } cases[] = {
        {"mapped and registered", true, true, "home", "home.dyn.test:8080", "(Worldwide)", "",
         "home.dyn.test"},
        {"on port 80", true, true, "home", "home.dyn.test", "(Worldwide)", "", "home.dyn.test"},
        {"a status behind the label", true, true, "home", "home.dyn.test:8080", "(Worldwide) nochg",
         "", "home.dyn.test"},
        {"not registered: the address shows", true, true, "home", "203.0.113.7:8080", "(Worldwide)",
         "", ""},
        {"LAN only", true, true, "home", "home.dyn.test:8080", "(LAN only)", "", ""},
        {"through the relay", true, true, "home", "home.dyn.test", "(via Zereru Zadariv)",
         "home.dyn.test", ""},
        {"no worldwide access", true, false, "home", "home.dyn.test:8080", "(Worldwide)", "", ""},
        {"stopped", false, true, "home", "home.dyn.test:8080", "(Worldwide)", "", ""},
        {"no name", true, true, "", ".dyn.test:8080", "(Worldwide)", "", ""},
        {"another name's prefix", true, true, "home", "home.dyn.test.evil:8080", "(Worldwide)", "",
         ""},
    };
    for (const auto& c : cases) {
        request.enable = c.enable;
        request.worldwide = c.worldwide;
        request.name = c.name;
        AccessInfo info;
        info.host = c.host;
        info.label = c.label;
        info.relayName = c.relayName;
        EXPECT_EQ(acme::WantedName(request, info), c.wanted) << c.what;
    }
}

} // namespace
} // namespace tvn
