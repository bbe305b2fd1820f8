#include "chatserver/LogInGuard.h"

namespace chatserver {

LogInGuard::LogInGuard(LogInLimits limits) {
    setLimits(limits);
}

void LogInGuard::setLimits(const LogInLimits& limits) {
    const std::lock_guard lock(m_mutex);
    m_sources.setLimits({limits.perAddress, limits.perNetwork, {}}, limits.prefixes);
    m_accounts.setLimit(limits.perAccount);
    // One failure marks the caller for as long as the account's own count remembers failures.
    m_failedFrom.setLimit(limits.perAccount.enabled() ? RateLimit{1, limits.perAccount.periodMs} : RateLimit{});
}

void LogInGuard::setCapacity(qsizetype buckets) {
    const std::lock_guard lock(m_mutex);
    m_sources.setCapacity(buckets);
    m_accounts.setCapacity(buckets);
    m_failedFrom.setCapacity(buckets);
}

NetworkLimit::Level LogInGuard::sourceRefused(const QString& peer, qint64 nowMs) const {
    const std::lock_guard lock(m_mutex);
    return m_sources.exhausted(peer, nowMs);
}

void LogInGuard::refused(const QString& peer, qint64 nowMs) {
    const std::lock_guard lock(m_mutex);
    m_sources.charge(peer, nowMs);
}

QString LogInGuard::failedFromKey(qint64 accountId, const QString& peer) const {
    return QString::number(accountId) + QLatin1Char(' ') + limitKey(peer);
}

bool LogInGuard::accountMayTry(qint64 accountId, const QString& peer, qint64 nowMs) const {
    const std::lock_guard lock(m_mutex);
    return m_accounts.available(QString::number(accountId), nowMs) ||
           m_failedFrom.available(failedFromKey(accountId, peer), nowMs);
}

void LogInGuard::logInFailed(const QList<qint64>& accounts, const QString& peer, qint64 nowMs) {
    const std::lock_guard lock(m_mutex);
    m_sources.charge(peer, nowMs);
    for (const qint64 accountId : accounts) {
        m_accounts.charge(QString::number(accountId), nowMs);
        m_failedFrom.charge(failedFromKey(accountId, peer), nowMs);
    }
}

} // namespace chatserver
