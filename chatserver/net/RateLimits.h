#pragma once
// Token buckets per network address (and per account), so that no one caller can flood the
// server with registrations, failed log-ins, e-mail look-ups or connections.
#include <QHash>
#include <QString>
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
    explicit TokenBuckets(RateLimit limit = {}) : m_limit(limit) {}
    void setLimit(RateLimit limit) { m_limit = limit; }
    const RateLimit& limit() const { return m_limit; }

    // True when `key` may act once more now.
    bool available(const QString& key, qint64 nowMs);
    // Takes one action's token when there is one; false (and nothing taken) otherwise.
    bool take(const QString& key, qint64 nowMs);
    // Takes one token, if any is left (an action that already happened, such as a failure).
    void charge(const QString& key, qint64 nowMs) { take(key, nowMs); }
    qsizetype size() const { return m_buckets.size(); }

private:
    struct Bucket {
        double tokens = 0;
        qint64 atMs = 0;
    };
    double level(const Bucket& bucket, qint64 nowMs) const;
    void prune(qint64 nowMs);

    RateLimit m_limit;
    QHash<QString, Bucket> m_buckets; // only keys that spent something recently
    qint64 m_prunedMs = 0;
};

// What limits count by: an IPv4 address whole, an IPv6 address by its /64 (one subscriber's
// network, whose 2^64 addresses cost an attacker nothing).
QString limitKey(const QString& peer);

} // namespace chatserver
