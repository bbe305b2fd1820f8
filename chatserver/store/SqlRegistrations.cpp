// Registrations counted in windows of time, shared by every server of the store.
#include "chatserver/store/SqlStorage.h"
#include "chatserver/store/SqlValues.h"

namespace chatserver {

QString SqlStorage::registrationSqlFor(Stmt stmt) const {
    // Each count stops at the cap: a window full of a flood costs no more to count than its cap.
    switch (stmt) {
    case Stmt::LockRegistrations:
        return registrationLockStatement();
    case Stmt::RegistrationsFromAddress:
        return QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM registrations WHERE address_key = ? AND at_ms > ? "
                              "LIMIT ?) w");
    case Stmt::RegistrationsFromNetwork:
        return QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM registrations WHERE network_key = ? AND at_ms > ? "
                              "LIMIT ?) w");
    case Stmt::RegistrationsInAll:
        return QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM registrations WHERE at_ms > ? LIMIT ?) w");
    case Stmt::RecordRegistration:
        return QStringLiteral("INSERT INTO registrations (at_ms, address_key, network_key) VALUES (?, ?, ?)");
    case Stmt::ForgetRegistrations:
        return QStringLiteral("DELETE FROM registrations WHERE at_ms < ?");
    default:
        return {};
    }
}

int SqlStorage::countRegistrations(Stmt stmt, const QString& key, qint64 sinceMs, int cap) {
    QVariantList values = {int64(sinceMs), cap};
    if (stmt != Stmt::RegistrationsInAll) values.prepend(text(key));
    QSqlQuery& query = run(stmt, values);
    const int count = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    return count;
}

RegistrationQuota::Level SqlStorage::takeRegistration(const RegistrationQuota& quota) {
    if (!registrationLockStatement().isEmpty()) run(Stmt::LockRegistrations, {}).finish();
    using Level = RegistrationQuota::Level;
    const struct {
        Stmt stmt;
        const QString& key;
        const RegistrationQuota::Window& window;
        Level level;
    } windows[] = {
        {Stmt::RegistrationsFromAddress, quota.addressKey, quota.perAddress, Level::Address},
        {Stmt::RegistrationsFromNetwork, quota.networkKey, quota.perNetwork, Level::Network},
        {Stmt::RegistrationsInAll, quota.addressKey, quota.overall, Level::Overall},
    };
    for (const auto& w : windows)
        if (w.window.cap > 0 &&
            countRegistrations(w.stmt, w.key, quota.nowMs - w.window.spanMs, w.window.cap) >= w.window.cap)
            return w.level;
    run(Stmt::RecordRegistration, {int64(quota.nowMs), text(quota.addressKey), text(quota.networkKey)}).finish();
    return Level::None;
}

void SqlStorage::forgetRegistrations(qint64 beforeMs) {
    run(Stmt::ForgetRegistrations, {int64(beforeMs)}).finish();
}

} // namespace chatserver
