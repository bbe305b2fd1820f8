#include "chatserver/net/RateLimits.h"

#include <QHostAddress>
#include <algorithm>

namespace chatserver {

namespace {
// Buckets that are full again carry no information and are dropped now and then; past this
// many the oldest history is forgotten rather than memory spent without bound.
constexpr qsizetype kPruneAbove = 4096;
constexpr qsizetype kMaxBuckets = 100'000;
constexpr qint64 kPruneEveryMs = 1000;
} // namespace

std::optional<RateLimit> parseRateLimit(const QString& text, QString* error) {
    const QString trimmed = text.trimmed();
    if (trimmed == QLatin1String("off") || trimmed == QLatin1String("0")) return RateLimit{};
    const qsizetype slash = trimmed.indexOf(QLatin1Char('/'));
    bool countOk = false;
    bool secondsOk = false;
    const double count = trimmed.left(slash).toDouble(&countOk);
    const double seconds = slash < 0 ? 0 : trimmed.mid(slash + 1).toDouble(&secondsOk);
    if (slash < 0 || !countOk || !secondsOk || count < 1 || count > 1e9 || seconds < 0.001 || seconds > 86400.0 * 7) {
        if (error) *error = QStringLiteral("\"%1\" is not COUNT/SECONDS (or off)").arg(text);
        return std::nullopt;
    }
    return RateLimit{count, qint64(seconds * 1000)};
}

double TokenBuckets::level(const Bucket& bucket, qint64 nowMs) const {
    const double refilled = double(std::max<qint64>(0, nowMs - bucket.atMs)) * m_limit.burst / double(m_limit.periodMs);
    return std::min(m_limit.burst, bucket.tokens + refilled);
}

bool TokenBuckets::available(const QString& key, qint64 nowMs) {
    if (!m_limit.enabled()) return true;
    const auto it = m_buckets.constFind(key);
    return it == m_buckets.constEnd() || level(it.value(), nowMs) >= 1.0;
}

bool TokenBuckets::take(const QString& key, qint64 nowMs) {
    if (!m_limit.enabled()) return true;
    prune(nowMs);
    auto it = m_buckets.find(key);
    if (it == m_buckets.end()) it = m_buckets.insert(key, {m_limit.burst, nowMs});
    Bucket& bucket = it.value();
    bucket.tokens = level(bucket, nowMs);
    bucket.atMs = nowMs;
    if (bucket.tokens < 1.0) return false;
    bucket.tokens -= 1.0;
    return true;
}

void TokenBuckets::prune(qint64 nowMs) {
    if (m_buckets.size() < kPruneAbove || nowMs - m_prunedMs < kPruneEveryMs) return;
    m_prunedMs = nowMs;
    for (auto it = m_buckets.begin(); it != m_buckets.end();)
        it = level(it.value(), nowMs) >= m_limit.burst ? m_buckets.erase(it) : std::next(it);
    if (m_buckets.size() > kMaxBuckets) m_buckets.clear();
}

QString limitKey(const QString& peer) {
    if (!peer.contains(QLatin1Char(':'))) return peer; // IPv4 (or no address at all)
    QHostAddress address;
    if (!address.setAddress(peer)) return peer;
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

} // namespace chatserver
