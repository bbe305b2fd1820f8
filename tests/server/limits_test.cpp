// The tables the limits keep: which network an address counts in, and which bucket goes when a
// table is full (the one used longest ago, one at a time).
#include "chatserver/net/RateLimits.h"

#include "StoreSupport.h"

namespace {

using chatserver::NetworkPrefixes;

TEST(Limits, AnAddressCountsInItsNetwork) {
    const struct {
        const char* peer;
        NetworkPrefixes prefixes;
        const char* address;
        const char* network;
    } cases[] = {
        {"203.0.113.77", {}, "203.0.113.77", "203.0.113.0/24"},
        {"203.0.113.77", {16, 48}, "203.0.113.77", "203.0.0.0/16"},
        {"2001:db8:1:2:3::5", {}, "2001:db8:1:2::/64", "2001:db8:1::/48"},
        {"2001:db8:1:ff00::9", {}, "2001:db8:1:ff00::/64", "2001:db8:1::/48"}, // another /64 of the same /48
        {"2001:db8:1:2:3::5", {24, 56}, "2001:db8:1:2::/64", "2001:db8:1::/56"},
        {"not an address", {}, "not an address", "not an address"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chatserver::limitKey(c.peer), c.address) << c.peer;
        EXPECT_EQ(chatserver::networkKey(c.peer, c.prefixes), c.network) << c.peer;
    }
}

TEST(Limits, AFullTableForgetsTheBucketUsedLongestAgoAndNothingElse) {
    chatserver::TokenBuckets buckets({1, 3'600'000}, 3); // one action an hour, three buckets
    qint64 now = 1000;
    const auto spent = [&](const QString& key) { return !buckets.available(key, now); };
    for (const char* key : {"a", "b", "c"})
        EXPECT_TRUE(buckets.take(key, ++now));
    EXPECT_FALSE(buckets.take("a", ++now)); // refused, and now the most recently used
    EXPECT_TRUE(buckets.take("d", ++now));  // "b" goes
    EXPECT_EQ(buckets.size(), 3);
    EXPECT_EQ((QList<bool>{spent("a"), spent("b"), spent("c"), spent("d")}), (QList<bool>{true, false, true, true}));
    // A flood of new keys pushes the old ones out one at a time: the newest are all still spent.
    chatserver::TokenBuckets flooded({1, 3'600'000}, 100);
    for (int i = 0; i < 1000; ++i)
        flooded.take(QString::number(i), ++now);
    EXPECT_EQ(flooded.size(), 100);
    for (int i = 900; i < 1000; ++i)
        EXPECT_FALSE(flooded.available(QString::number(i), now)) << i;
    // A bucket left alone for its whole period is full again, and is dropped as such.
    now += 3'600'000;
    flooded.take("new", now);
    EXPECT_EQ(flooded.size(), 1);
}

} // namespace
