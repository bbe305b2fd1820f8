#include "chatserver/net/RateLimits.h"

#include <algorithm>
#include <arpa/inet.h>

namespace chatserver {

namespace {
const QString kEverybody = QStringLiteral("*");
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

bool TokenBuckets::available(const QString& key, qint64 nowMs) const {
    if (!m_limit.enabled()) return true;
    const auto it = m_index.constFind(key);
    return it == m_index.constEnd() || level(*it.value(), nowMs) >= 1.0;
}

bool TokenBuckets::take(const QString& key, qint64 nowMs) {
    if (!m_limit.enabled()) return true;
    prune(nowMs);
    auto it = m_index.find(key);
    if (it == m_index.end()) {
        while (m_capacity > 0 && m_index.size() >= m_capacity) {
            m_index.remove(m_order.front().key);
            m_order.pop_front();
        }
        m_order.push_back({key, m_limit.burst, nowMs});
        it = m_index.insert(key, std::prev(m_order.end()));
    } else {
        m_order.splice(m_order.end(), m_order, it.value()); // now the most recently used
    }
    Bucket& bucket = *it.value();
    bucket.tokens = level(bucket, nowMs);
    bucket.atMs = nowMs;
    if (bucket.tokens < 1.0) return false;
    bucket.tokens -= 1.0;
    return true;
}

void TokenBuckets::prune(qint64 nowMs) {
    // A bucket left alone for a whole period has filled up again: it would behave exactly as a
    // new one. The list runs from the longest ago, so those are all at its front.
    while (!m_order.empty() && nowMs - m_order.front().atMs >= m_limit.periodMs) {
        m_index.remove(m_order.front().key);
        m_order.pop_front();
    }
}

namespace {

// The first `bits` bits of the address in `bytes` (`size` bytes long), the rest cleared.
void keepLeadingBits(unsigned char* bytes, int size, int bits) {
    for (int i = 0; i < size; ++i) {
        const int kept = std::clamp(bits - i * 8, 0, 8);
        bytes[i] &= static_cast<unsigned char>(0xFF00 >> kept);
    }
}

// The network of `bits` leading bits of `peer`, as "ADDRESS/BITS"; the text unchanged when it is
// no address. Plain system calls: every connection is counted by it.
QString maskedKey(const QString& peer, int ipv4Bits, int ipv6Bits) {
    const QByteArray text = peer.toLatin1();
    unsigned char bytes[16] = {};
    char out[INET6_ADDRSTRLEN] = {};
    int bits = 0;
    if (inet_pton(AF_INET, text.constData(), bytes) == 1) {
        bits = std::clamp(ipv4Bits, 0, 32);
        keepLeadingBits(bytes, 4, bits);
        inet_ntop(AF_INET, bytes, out, sizeof out);
    } else if (inet_pton(AF_INET6, text.constData(), bytes) == 1) {
        bits = std::clamp(ipv6Bits, 0, 128);
        keepLeadingBits(bytes, 16, bits);
        inet_ntop(AF_INET6, bytes, out, sizeof out);
    } else {
        return peer;
    }
    return QString::fromLatin1(out) + QLatin1Char('/') + QString::number(bits);
}

} // namespace

QString limitKey(const QString& peer) {
    if (!peer.contains(QLatin1Char(':'))) return peer; // IPv4 (or no address at all)
    return maskedKey(peer, 32, 64);
}

QString networkKey(const QString& peer, const NetworkPrefixes& prefixes) {
    return maskedKey(peer, prefixes.ipv4, prefixes.ipv6);
}

NetworkLimit::NetworkLimit(Limits limits, NetworkPrefixes prefixes) {
    setLimits(limits, prefixes);
}

void NetworkLimit::setLimits(Limits limits, NetworkPrefixes prefixes) {
    m_prefixes = prefixes;
    m_addresses.setLimit(limits.perAddress);
    m_networks.setLimit(limits.perNetwork);
    m_overall.setLimit(limits.overall);
}

void NetworkLimit::setCapacity(qsizetype capacity) {
    m_addresses.setCapacity(capacity);
    m_networks.setCapacity(capacity);
}

NetworkLimit::Level NetworkLimit::exhausted(const QString& peer, qint64 nowMs) const {
    // Asked for nearly every request: a network's key is worked out only while some network has
    // spent something.
    if (!m_addresses.available(limitKey(peer), nowMs)) return Level::Address;
    if (m_networks.size() > 0 && !m_networks.available(networkKey(peer, m_prefixes), nowMs)) return Level::Network;
    if (!m_overall.available(kEverybody, nowMs)) return Level::Overall;
    return Level::None;
}

NetworkLimit::Level NetworkLimit::take(const QString& peer, qint64 nowMs) {
    return take(limitKey(peer), networkKey(peer, m_prefixes), nowMs);
}

void NetworkLimit::charge(const QString& peer, qint64 nowMs) {
    charge(limitKey(peer), networkKey(peer, m_prefixes), nowMs);
}

NetworkLimit::Level NetworkLimit::exhausted(const QString& addressKey, const QString& networkKey, qint64 nowMs) const {
    if (!m_addresses.available(addressKey, nowMs)) return Level::Address;
    if (!m_networks.available(networkKey, nowMs)) return Level::Network;
    if (!m_overall.available(kEverybody, nowMs)) return Level::Overall;
    return Level::None;
}

NetworkLimit::Level NetworkLimit::take(const QString& addressKey, const QString& networkKey, qint64 nowMs) {
    const Level refused = exhausted(addressKey, networkKey, nowMs);
    if (refused == Level::None) charge(addressKey, networkKey, nowMs);
    return refused;
}

void NetworkLimit::charge(const QString& addressKey, const QString& networkKey, qint64 nowMs) {
    m_addresses.charge(addressKey, nowMs);
    m_networks.charge(networkKey, nowMs);
    m_overall.charge(kEverybody, nowMs);
}

} // namespace chatserver
