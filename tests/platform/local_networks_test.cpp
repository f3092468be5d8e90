#include "platform/local_networks.h"

#include <gtest/gtest.h>

namespace tvn {
namespace {

TEST(LocalNetworks, LoopbackInAnyFormIsLocal) {
    EXPECT_TRUE(IsLocalNetworkAddress("127.0.0.1"));
    EXPECT_TRUE(IsLocalNetworkAddress("127.45.6.7")); // all of 127/8, configured or not
    EXPECT_TRUE(IsLocalNetworkAddress("::1"));
    EXPECT_TRUE(IsLocalNetworkAddress("::ffff:127.0.0.1"));
}

TEST(LocalNetworks, StrangersAndGarbageAreNot) {
    // Documentation ranges: on no machine's own networks.
    EXPECT_FALSE(IsLocalNetworkAddress("203.0.113.7"));
    EXPECT_FALSE(IsLocalNetworkAddress("::ffff:198.51.100.1"));
    EXPECT_FALSE(IsLocalNetworkAddress("2001:db8::1"));
    EXPECT_FALSE(IsLocalNetworkAddress(""));
    EXPECT_FALSE(IsLocalNetworkAddress("127.0.0.1x"));
    EXPECT_FALSE(IsLocalNetworkAddress("localhost"));
    EXPECT_FALSE(IsLocalNetworkAddress(std::string(200, '1')));
}

} // namespace
} // namespace tvn
