// The key the per-address limits count a caller under: one IPv6 network is one caller, since
// whoever has one address of it has them all.
#include "chatserver/net/RateLimits.h"

#include <gtest/gtest.h>

namespace {

TEST(RateLimits, AnIpv6NetworkCountsAsOneAddress) {
    using chatserver::limitKey;
    EXPECT_EQ(limitKey("2001:db8:1:2::1"), limitKey("2001:db8:1:2:ffff:eeee:dddd:cccc"));
    EXPECT_NE(limitKey("2001:db8:1:2::1"), limitKey("2001:db8:1:3::1"));
    EXPECT_EQ(limitKey("192.0.2.1"), "192.0.2.1");
}

} // namespace
