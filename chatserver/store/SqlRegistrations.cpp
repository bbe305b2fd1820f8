// Registrations: counted in windows of time, shared by every server of the store; accounts that
// wait for their owner to confirm their address, dropped after a while; invitations standing for
// addresses nobody has confirmed yet.
#include "chatserver/store/SqlStorage.h"
#include "chatserver/store/SqlValues.h"

namespace chatserver {

namespace {
// The pending accounts made before the time bound to it.
const QString kExpired = QStringLiteral("SELECT id FROM users WHERE state = 1 AND created_ms < ?");
} // namespace

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
    case Stmt::RegisterPending:
        return QStringLiteral("INSERT INTO users (id, email, display_name, user_name, computer_name, created_ms, "
                              "address, online, last_seen_ms, login_peer, pending_email, confirm_hash, state) VALUES "
                              "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1) ON CONFLICT DO NOTHING RETURNING id");
    case Stmt::PendingEmail:
        return QStringLiteral("SELECT pending_email FROM users WHERE id = ? AND state = 1");
    case Stmt::PendingFor:
        // Only pending accounts have a pending address (and not the state's index: that holds
        // every pending account of the day).
        return QStringLiteral("SELECT COUNT(*) FROM users WHERE pending_email = ? AND created_ms >= ?");
    case Stmt::FindByConfirmHash:
        return QStringLiteral("SELECT id, state, pending_email, email, created_ms FROM users WHERE confirm_hash = ?");
    case Stmt::LockEmail:
        return emailLockStatement();
    case Stmt::HolderOfEmail:
        return QStringLiteral("SELECT id, state FROM users WHERE email = ?");
    case Stmt::MakeInvitation:
        return QStringLiteral("INSERT INTO users (id, email, display_name, created_ms, state) VALUES (?, ?, '', ?, 2) "
                              "ON CONFLICT DO NOTHING RETURNING id");
    case Stmt::MoveEntries:
        return QStringLiteral("UPDATE contacts SET contact_id = ? WHERE contact_id = ?");
    case Stmt::DropUser:
        return QStringLiteral("DELETE FROM users WHERE id = ?");
    case Stmt::ClaimEmail:
        return QStringLiteral("UPDATE users SET email = ?, pending_email = NULL, state = 3 WHERE id = ?");
    case Stmt::ToldConfirmed:
        return QStringLiteral("UPDATE users SET state = 0 WHERE id = ? AND state = 3");
    case Stmt::RecountMutual:
        // Both sides of every entry of the user, each found by its own index.
        return QStringLiteral("UPDATE contacts SET mutual = CASE WHEN EXISTS (SELECT 1 FROM contacts r WHERE "
                              "r.owner_id = contacts.contact_id AND r.contact_id = contacts.owner_id) THEN 1 ELSE 0 "
                              "END WHERE (owner_id, contact_id) IN (SELECT owner_id, contact_id FROM contacts WHERE "
                              "owner_id = ? UNION ALL SELECT owner_id, contact_id FROM contacts WHERE contact_id = ?)");
    // A pending account is listed by nobody (nobody can find it), so its own list is all that
    // refers to it besides what the operator sent it.
    case Stmt::DropPendingLists:
        return QStringLiteral("DELETE FROM contacts WHERE owner_id IN (") + kExpired + QLatin1Char(')');
    case Stmt::DropPendingNoticeDeliveries:
        return QStringLiteral("DELETE FROM notice_deliveries WHERE user_id IN (") + kExpired + QLatin1Char(')');
    case Stmt::DropPendingMoveDeliveries:
        return QStringLiteral("DELETE FROM move_deliveries WHERE user_id IN (") + kExpired + QLatin1Char(')');
    case Stmt::DropPendingNoticeTargets:
        return QStringLiteral("DELETE FROM notice_deliveries WHERE notice_id IN (SELECT id FROM notices WHERE "
                              "target_id IN (") +
               kExpired + QStringLiteral("))");
    case Stmt::DropPendingNotices:
        return QStringLiteral("DELETE FROM notices WHERE target_id IN (") + kExpired + QLatin1Char(')');
    case Stmt::DropPendingRelayPorts:
        return QStringLiteral("DELETE FROM relay_ports WHERE user_id IN (") + kExpired + QLatin1Char(')');
    case Stmt::DropPendingSecureMarks:
        return QStringLiteral("DELETE FROM secure_accounts WHERE user_id IN (") + kExpired + QLatin1Char(')');
    case Stmt::DropPending:
        return QStringLiteral("DELETE FROM users WHERE state = 1 AND created_ms < ?");
    case Stmt::DropUnlistedInvitations:
        return QStringLiteral("DELETE FROM users WHERE state = 2 AND NOT EXISTS (SELECT 1 FROM contacts c WHERE "
                              "c.contact_id = users.id)");
    default:
        return {};
    }
}

QString SqlStorage::pendingStandIn(qint64 id) {
    return QLatin1Char('#') + QString::number(id);
}

QString SqlStorage::pendingEmail(qint64 id) {
    QSqlQuery& query = run(Stmt::PendingEmail, {int64(id)});
    const QString email = query.next() ? query.value(0).toString() : QString();
    query.finish();
    return email;
}

int SqlStorage::pendingFor(const QString& email, qint64 sinceMs) {
    QSqlQuery& query = run(Stmt::PendingFor, {text(email), int64(sinceMs)});
    const int count = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    return count;
}

std::optional<std::pair<qint64, AccountState>> SqlStorage::holderOf(const QString& email) {
    if (!emailLockStatement().isEmpty()) run(Stmt::LockEmail, {text(email)}).finish();
    QSqlQuery& query = run(Stmt::HolderOfEmail, {text(email)});
    std::optional<std::pair<qint64, AccountState>> holder;
    if (query.next()) holder = {query.value(0).toLongLong(), static_cast<AccountState>(query.value(1).toInt())};
    query.finish();
    return holder;
}

Confirmation SqlStorage::confirm(const QString& codeHash, qint64 madeSinceMs) {
    using Outcome = Confirmation::Outcome;
    QSqlQuery& query = run(Stmt::FindByConfirmHash, {text(codeHash)});
    if (!query.next()) {
        query.finish();
        return {Outcome::Unknown, {}};
    }
    const qint64 id = query.value(0).toLongLong();
    const auto state = static_cast<AccountState>(query.value(1).toInt());
    const QString email = query.value(state == AccountState::Pending ? 2 : 3).toString();
    const qint64 createdMs = query.value(4).toLongLong();
    query.finish();
    if (hasItsAddress(state)) return {Outcome::AlreadyConfirmed, email};
    if (state != AccountState::Pending || createdMs < madeSinceMs) return {Outcome::Unknown, {}};
    const std::optional<std::pair<qint64, AccountState>> holder = holderOf(email);
    if (holder && holder->second != AccountState::Invitation) return {Outcome::Taken, email};
    if (holder) {
        // Whoever listed the address lists the account now, under the handle they were shown,
        // and some of them may be on the account's own list.
        run(Stmt::MoveEntries, {int64(id), int64(holder->first)}).finish();
        run(Stmt::DropUser, {int64(holder->first)}).finish();
        run(Stmt::RecountMutual, {int64(id), int64(id)}).finish();
    }
    run(Stmt::ClaimEmail, {text(email), int64(id)}).finish();
    listChanged(id);
    shownChanged(id);
    return {Outcome::Confirmed, email};
}

qint64 SqlStorage::listableFor(const QString& email, qint64 nowMs) {
    if (const auto holder = holderOf(email)) return holder->first;
    for (int attempt = 0; attempt < 8; ++attempt) {
        QSqlQuery& query = run(Stmt::MakeInvitation, {int64(newUserId()), text(email), int64(nowMs)});
        const std::optional<qint64> made = query.next() ? std::optional(query.value(0).toLongLong()) : std::nullopt;
        query.finish();
        if (made) return *made;
    }
    throw StorageError("no free user ID found");
}

void SqlStorage::markToldConfirmed(qint64 id) {
    run(Stmt::ToldConfirmed, {int64(id)}).finish();
}

int SqlStorage::dropUnconfirmed(qint64 beforeMs) {
    for (const Stmt stmt : {Stmt::DropPendingLists, Stmt::DropPendingNoticeDeliveries, Stmt::DropPendingMoveDeliveries,
                            Stmt::DropPendingNoticeTargets, Stmt::DropPendingNotices, Stmt::DropPendingRelayPorts,
                            Stmt::DropPendingSecureMarks})
        run(stmt, {int64(beforeMs)}).finish();
    QSqlQuery& dropped = run(Stmt::DropPending, {int64(beforeMs)});
    const int count = dropped.numRowsAffected();
    dropped.finish();
    run(Stmt::DropUnlistedInvitations, {}).finish();
    return count;
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
