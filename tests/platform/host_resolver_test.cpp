// The one host resolver of the program (the relay service's host, the relay's address shown
// in the access line): dotted addresses, names from the hosts file, and hostile text.
#include "platform/host_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace tvn {
namespace {

using namespace std::string_literals;

TEST(HostResolver, Cases) {
    struct Case {
        std::string host;
        std::optional<std::uint32_t> address; // host order; nothing: does not resolve
    };
    const Case cases[] = {
        {"192.0.2.7", 0xC0000207},
        {"255.255.255.255", 0xFFFFFFFF},
        {"localhost", 0x7F000001}, // the hosts file: no network needed
        {"", std::nullopt},
        {"1.2.3.4&x=5", std::nullopt},
        {"::1", std::nullopt}, // IPv6 only
        {"127.0.0.1\0.evil.example"s, std::nullopt},
        {"localhost\0"s, std::nullopt},
        {std::string(300, 'a'), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host.substr(0, 40));
        const std::optional<std::uint32_t> found = ResolveIPv4(c.host);
        ASSERT_EQ(found.has_value(), c.address.has_value());
        if (found) {
            EXPECT_EQ(ntohl(*found), *c.address); // kept in network order, as sin_addr wants
        }
    }
}

TEST(HostResolver, TextIsTheDottedAddress) {
    EXPECT_EQ(LookUpIPv4("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(LookUpIPv4("localhost"), "127.0.0.1");
    EXPECT_EQ(LookUpIPv4("127.0.0.1\0x"s), "");
    EXPECT_EQ(LookUpIPv4(""), "");
}

} // namespace
} // namespace tvn
