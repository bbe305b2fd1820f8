// The limits against guessing as every server of the store counts them together: refusals and
// failed log-ins of each caller, its network and each account, and the e-mail addresses each
// caller looks up. This server's own buckets come first and keep a flood off the store; the
// store is asked only by the rare requests these limits are about, never by a good poll.
#include "chatserver/ChatService.h"

#include <algorithm>

namespace chatserver {

namespace {

// Rows of the store's table of caller events kept at most: a flood of fresh addresses pushes the
// oldest out, never the whole table.
constexpr int kKeptCallerEvents = 200'000;

CallerQuery::Window window(const RateLimit& limit, qint64 nowMs) {
    return {limit.enabled() ? int(limit.burst) : 0, nowMs - limit.periodMs};
}

} // namespace

std::optional<ChatService::Outcome> ChatService::sharedRefusal(const QString& peer, qint64 accountId, qint64 nowMs,
                                                               bool* accountClosed) {
    const LogInLimits& limits = m_settings.logIns;
    const CallerQuery query{limitKey(peer),
                            networkKey(peer, limits.prefixes),
                            accountId,
                            window(limits.perAddress, nowMs),
                            window(limits.perNetwork, nowMs),
                            window(limits.perAccount, nowMs)};
    const CallerCounts counts = m_storage.callerCounts(query);
    if (accountClosed)
        *accountClosed = query.account.cap > 0 && counts.account >= query.account.cap && counts.failedAtAccount;
    NetworkLimit::Level level = NetworkLimit::Level::None;
    if (query.network.cap > 0 && counts.network >= query.network.cap) level = NetworkLimit::Level::Network;
    if (query.address.cap > 0 && counts.address >= query.address.cap) level = NetworkLimit::Level::Address;
    if (level == NetworkLimit::Level::None) return std::nullopt;
    // Counted here too: a caller that goes on fills this server's buckets, which then turn it away
    // without asking the store.
    m_guard.refused(peer, nowMs);
    return throttled(level);
}

void ChatService::countRefusal(const QString& peer, const QList<qint64>& accounts, qint64 nowMs, bool logIn) {
    if (logIn)
        m_guard.logInFailed(accounts, peer, nowMs);
    else
        m_guard.refused(peer, nowMs);
    m_storage.recordRefusal(limitKey(peer), networkKey(peer, m_settings.logIns.prefixes), accounts, nowMs);
}

bool ChatService::mayLookUp(const QString& peer) {
    const qint64 now = m_clock();
    if (!m_callers->lookups.take(limitKey(peer), now)) return false;
    const CallerQuery::Window room = window(m_settings.lookups, now);
    return room.cap == 0 || m_storage.takeLookup(limitKey(peer), room.cap, room.sinceMs, now);
}

void ChatService::forgetCallerEvents(qint64 nowMs) {
    const LogInLimits& limits = m_settings.logIns;
    const qint64 longest = std::max({limits.perAddress.periodMs, limits.perNetwork.periodMs, limits.perAccount.periodMs,
                                     m_settings.lookups.periodMs});
    m_storage.forgetCallerEvents(nowMs - longest, kKeptCallerEvents);
}

} // namespace chatserver
