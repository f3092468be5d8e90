// The texts of the dynamic DNS exchange, without a network.
#include "presence/detail/dyn_dns_text.h"

#include <gtest/gtest.h>

namespace tvn::presence {
namespace {

TEST(DynDnsText, DottedIPv4) {
    for (const char* good : {"0.0.0.0", "10.1.2.3", "255.255.255.255", "192.168.001.1"})
        EXPECT_TRUE(IsDottedIPv4(good)) << good;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "1.2.3.1000",
                            "1..2.3", " 1.2.3.4", "1.2.3.4 ", "1.2.3.4&a=b", "+1.2.3.4", "::1"})
        EXPECT_FALSE(IsDottedIPv4(bad)) << bad;
}

TEST(DynDnsText, AnswerWordsAndTheirPrecedence) {
    struct Case {
        long status;
        const char* line;
        DnsAnswer answer;
    };
    const Case cases[] = {
        {200, "good 10.1.2.3", DnsAnswer::Good}, {200, "nochg", DnsAnswer::NoChange},
        {401, "good", DnsAnswer::Other},  // success words only with 200
        {200, "Good", DnsAnswer::Other},  // exact case
        {200, " good", DnsAnswer::Other}, // at the start only
        {401, "badauth", DnsAnswer::BadAuth},    {200, "!donator", DnsAnswer::NoDonator},
        {200, "nohostx", DnsAnswer::NoHost}, // compared for the word's own length
        {500, "abuse", DnsAnswer::Abuse},        {200, "notfqdn", DnsAnswer::Other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(ClassifyAnswer(c.status, c.line), c.answer);
    }
    EXPECT_TRUE(IsRefusedLogin(DnsAnswer::BadAuth));
    EXPECT_TRUE(IsRefusedLogin(DnsAnswer::NoDonator));
    EXPECT_FALSE(IsRefusedLogin(DnsAnswer::NoHost));
}

TEST(DynDnsText, UpdateBaseSendsThePasswordOnlyEncryptedOrToThisComputer) {
    struct Case {
        const char* url;
        std::optional<std::string> base;
    };
    const Case cases[] = {
        {"https://members.dyndns.org", "https://members.dyndns.org"},
        {"https://members.dyndns.org/", "https://members.dyndns.org"},
        {"http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
        {"HTTP://localhost:81", "http://localhost:81"},
        {"http://members.dyndns.org", std::nullopt},
        {"http://127.0.0.1.example.org", std::nullopt},
        {"http://user:pw@127.0.0.1", std::nullopt}, // would replace the account's credentials
        {"ftp://127.0.0.1", std::nullopt},
        {"members.dyndns.org", std::nullopt},
        {"https://", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(UpdateBase(c.url), c.base);
    }
}

// A name holding "&" or "=" added parameters of its own to the query.
TEST(DynDnsText, DefaultUpdateServiceIsKnownByItsHost) {
    for (const char* url :
         {"", "https://members.dyndns.org", "https://Members.DynDns.org/",
          "http://members.dyndns.org:80/nic/update", "https://members.dyndns.org."})
        EXPECT_TRUE(IsDefaultUpdateService(url)) << url;
    for (const char* url :
         {"https://dyn.example.net", "http://127.0.0.1:8245", "members.dyndns.org",
          "https://members.dyndns.org.example.net", "https://x@members.dyndns.org",
          "https://evil.example/members.dyndns.org", "https://members.dyndns.orgx"})
        EXPECT_FALSE(IsDefaultUpdateService(url)) << url;
}

TEST(DynDnsText, HostNameCannotAddParameters) {
    EXPECT_EQ(UpdatePath("home", "example", "10.1.2.3"),
              "/nic/update?hostname=home.example&myip=10.1.2.3");
    EXPECT_EQ(UpdatePath("h&myip=1.1.1.1 x", "ex=", "10.1.2.3"),
              "/nic/update?hostname=h%26myip%3D1.1.1.1%20x.ex%3D&myip=10.1.2.3");
    EXPECT_EQ(UpdatePath("home", "example", "10.1.2.3&x"), std::nullopt);
}

} // namespace
} // namespace tvn::presence
