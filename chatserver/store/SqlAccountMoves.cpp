// Moving an account to a new ID: rare, so its statements are not kept prepared.
#include "chatserver/store/SqlStorage.h"

#include <QSqlError>
#include <QVariant>

namespace chatserver {

namespace {

void runOnce(QSqlDatabase& db, const QString& sql, const QVariantList& values) {
    QSqlQuery query(db);
    query.prepare(sql);
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values[i]);
    if (!query.exec()) throw StorageError(sql.left(60).toStdString() + ": " + query.lastError().text().toStdString());
}

} // namespace

qint64 SqlStorage::moveUser(qint64 oldId, qint64 nowMs) {
    const std::optional<UserRecord> user = findUser(oldId);
    if (!user) throw StorageError("no user to move");
    qint64 newId = newUserId();
    while (findUser(newId) || replacedAt(newId))
        newId = newUserId();
    const QVariant from = QVariant::fromValue(oldId);
    const QVariant to = QVariant::fromValue(newId);
    Transaction transaction(*this);
    QSqlDatabase& db = database();
    // The new row first, under a stand-in address (e-mail addresses are unique), then every
    // reference, then the old row goes and the new one takes the address.
    runOnce(db,
            QStringLiteral("INSERT INTO users (id, email, display_name, user_name, computer_name, created_ms, address, "
                           "online, last_seen_ms, login_peer, state, pending_email) SELECT ?, ?, display_name, "
                           "user_name, computer_name, created_ms, address, online, last_seen_ms, login_peer, state, "
                           "pending_email FROM users WHERE id = ?"),
            {to, QStringLiteral("moving ") + QString::number(newId), from});
    for (const char* reference : {"UPDATE contacts SET owner_id = ? WHERE owner_id = ?",
                                  "UPDATE contacts SET contact_id = ? WHERE contact_id = ?",
                                  "UPDATE notices SET target_id = ? WHERE target_id = ?",
                                  "UPDATE notice_deliveries SET user_id = ? WHERE user_id = ?",
                                  "UPDATE move_deliveries SET user_id = ? WHERE user_id = ?",
                                  "UPDATE secure_accounts SET user_id = ? WHERE user_id = ?",
                                  "UPDATE ignored_requests SET user_id = ? WHERE user_id = ?",
                                  "UPDATE ignored_requests SET requester_id = ? WHERE requester_id = ?"})
        runOnce(db, QString::fromLatin1(reference), {to, from});
    // Its place on a relay is not taken along: credentials for it handed out before the move
    // (to whoever held the old ID) must not reach the moved account's calls. The next request for
    // call paths gives it a new one.
    runOnce(db, QStringLiteral("DELETE FROM relay_ports WHERE user_id = ?"), {from});
    // The confirmation code is unique, so the new row takes it once the old one has gone.
    const QString hash = QStringLiteral("SELECT confirm_hash FROM users WHERE id = ?");
    QSqlQuery kept(db);
    kept.prepare(hash);
    kept.bindValue(0, from);
    if (!kept.exec() || !kept.next()) throw StorageError("confirm_hash: " + kept.lastError().text().toStdString());
    const QVariant confirmHash = kept.value(0);
    kept.finish();
    runOnce(db, QStringLiteral("DELETE FROM users WHERE id = ?"), {from});
    runOnce(db, QStringLiteral("UPDATE users SET email = ?, confirm_hash = ? WHERE id = ?"),
            {user->email, confirmHash, to});
    runOnce(db, QStringLiteral("INSERT INTO replaced_ids (old_id, moved_ms) VALUES (?, ?)"),
            {from, QVariant::fromValue(nowMs)});
    listChanged(newId);
    shownChanged(newId);
    transaction.commit();
    return newId;
}

std::optional<qint64> SqlStorage::replacedAt(qint64 id) {
    ensureOpen();
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT moved_ms FROM replaced_ids WHERE old_id = ?"));
    query.bindValue(0, QVariant::fromValue(id));
    if (!query.exec()) throw StorageError("replaced_ids: " + query.lastError().text().toStdString());
    if (!query.next()) return std::nullopt;
    return query.value(0).toLongLong();
}

} // namespace chatserver
