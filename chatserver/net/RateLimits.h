#pragma once
// Token buckets that keep any one caller, and any one network of callers, from flooding the
// server with registrations, failed log-ins, e-mail look-ups or connections.
//
// Buckets are keyed only on values the server has checked itself: a caller's address as the
// socket (or a trusted balancer) gives it, the network that address is in, the ID of an account
// that exists. Nothing a caller merely types becomes a key, so a caller cannot fill the table with
// made-up names. The table is bounded all the same (an IPv6 network holds more addresses than
// memory): past its size the bucket used longest ago goes, one at a time, never the whole table,
// so that a flood can at most make the server forget its oldest grudges.
#include <QHash>
#include <QString>
#include <list>
#include <mutex>
#include <optional>

namespace chatserver {

// `burst` actions at once, then `burst` more every `periodMs`; a burst of 0 means no limit.
struct RateLimit {
    double burst = 0;
    qint64 periodMs = 1000;
    bool enabled() const { return burst > 0; }
};

// "COUNT/SECONDS" (COUNT at once, and COUNT more every SECONDS) or "off".
std::optional<RateLimit> parseRateLimit(const QString& text, QString* error);

class TokenBuckets {
public:
    static constexpr qsizetype kDefaultCapacity = 100'000;

    explicit TokenBuckets(RateLimit limit = {}, qsizetype capacity = kDefaultCapacity)
        : m_limit(limit), m_capacity(capacity) {}
    void setLimit(RateLimit limit) { m_limit = limit; }
    const RateLimit& limit() const { return m_limit; }
    void setCapacity(qsizetype capacity) { m_capacity = capacity; }

    // True when `key` may act once more now.
    bool available(const QString& key, qint64 nowMs) const;
    // Takes one action's token when there is one; false (and nothing taken) otherwise.
    bool take(const QString& key, qint64 nowMs);
    // Takes one token, if any is left (an action that already happened, such as a failure).
    void charge(const QString& key, qint64 nowMs) { take(key, nowMs); }
    qsizetype size() const { return m_index.size(); }

private:
    struct Bucket {
        QString key;
        double tokens = 0;
        qint64 atMs = 0; // when last taken from: the list runs from the longest ago
    };
    double level(const Bucket& bucket, qint64 nowMs) const;
    // Drops buckets that are full again (they carry nothing), then the oldest beyond capacity.
    void prune(qint64 nowMs);

    RateLimit m_limit;
    qsizetype m_capacity;
    std::list<Bucket> m_order;                           // least recently used first
    QHash<QString, std::list<Bucket>::iterator> m_index; // by key
};

// The same, taken from by several threads.
class SharedBuckets {
public:
    void setLimit(RateLimit limit) {
        const std::lock_guard lock(m_mutex);
        m_buckets.setLimit(limit);
    }
    bool take(const QString& key, qint64 nowMs) {
        const std::lock_guard lock(m_mutex);
        return m_buckets.take(key, nowMs);
    }

private:
    std::mutex m_mutex;
    TokenBuckets m_buckets;
};

// What counts as one network of callers: the addresses that share this many leading bits.
struct NetworkPrefixes {
    int ipv4 = 24;
    int ipv6 = 48; // a site's allocation; a subscriber's /56 and its /64s fall inside one
};

// The caller's own key: an IPv4 address whole, an IPv6 address by its /64 (one subscriber's
// network, whose 2^64 addresses cost an attacker nothing).
QString limitKey(const QString& peer);
// The key of the network the caller is in, e.g. "203.0.113.0/24".
QString networkKey(const QString& peer, const NetworkPrefixes& prefixes);

// One kind of action limited per caller, per network of callers and in all: it may happen when
// each level has a token left, and then takes one at each.
class NetworkLimit {
public:
    enum class Level { None, Address, Network, Overall };
    struct Limits {
        RateLimit perAddress;
        RateLimit perNetwork;
        RateLimit overall;
    };

    explicit NetworkLimit(Limits limits = {}, NetworkPrefixes prefixes = {});
    void setLimits(Limits limits, NetworkPrefixes prefixes);
    void setCapacity(qsizetype capacity);

    // The first level with no token left for `peer`, or None.
    Level exhausted(const QString& peer, qint64 nowMs) const;
    // Takes a token at every level when each has one (None); otherwise takes nothing.
    Level take(const QString& peer, qint64 nowMs);
    // Takes what is left at each level (an action that already happened).
    void charge(const QString& peer, qint64 nowMs);
    // The same by the caller's keys (limitKey() and networkKey() with these prefixes).
    Level exhausted(const QString& addressKey, const QString& networkKey, qint64 nowMs) const;
    Level take(const QString& addressKey, const QString& networkKey, qint64 nowMs);
    void charge(const QString& addressKey, const QString& networkKey, qint64 nowMs);
    const NetworkPrefixes& prefixes() const { return m_prefixes; }

private:
    NetworkPrefixes m_prefixes;
    TokenBuckets m_addresses;
    TokenBuckets m_networks;
    TokenBuckets m_overall;
};

} // namespace chatserver
