// Contact requests: who lists a user without being listed back, and the requests the user chose
// to ignore. Asked now and then, not at every poll: the statements are not kept prepared.
#include "chatserver/store/SqlStorage.h"
#include "chatserver/store/SqlValues.h"

#include <QSqlError>

namespace chatserver {

QList<UserRecord> SqlStorage::askingToReach(qint64 userId, int limit) {
    ensureOpen();
    // The requester's entry says whether the user lists it back. Accounts that wait for their
    // address are left out: their name and address are only a claim so far.
    const QString sql = QStringLiteral(
        "SELECT u.id, u.email, u.display_name FROM contacts c JOIN users u ON u.id = c.owner_id "
        "WHERE c.contact_id = ? AND c.mutual = 0 AND u.state IN (?, ?) AND NOT EXISTS "
        "(SELECT 1 FROM ignored_requests i WHERE i.user_id = c.contact_id AND i.requester_id = c.owner_id) "
        "ORDER BY c.added_ms, c.owner_id LIMIT ?");
    QSqlQuery query(database());
    execOnce(query, sql, {int64(userId), int(AccountState::Confirmed), int(AccountState::JustConfirmed), limit});
    QList<UserRecord> asking;
    while (query.next()) {
        UserRecord requester;
        requester.id = query.value(0).toLongLong();
        requester.email = query.value(1).toString();
        requester.displayName = query.value(2).toString();
        asking.append(std::move(requester));
    }
    return asking;
}

void SqlStorage::ignoreRequest(qint64 userId, qint64 requesterId, qint64 nowMs, int keep) {
    ensureOpen();
    QSqlQuery query(database());
    const auto run = [&](const QString& sql, const QVariantList& values) { execOnce(query, sql, values); };
    run(QStringLiteral("INSERT INTO ignored_requests (user_id, requester_id, ignored_ms) VALUES (?, ?, ?) "
                       "ON CONFLICT DO NOTHING"),
        {int64(userId), int64(requesterId), int64(nowMs)});
    // A requester who gave up and came back stays ignored; the marks of those who gave up go
    // only when there are many, so that no one grows the table without bound.
    run(QStringLiteral("SELECT COUNT(*) FROM ignored_requests WHERE user_id = ?"), {int64(userId)});
    const bool crowded = query.next() && query.value(0).toLongLong() > keep;
    query.finish();
    if (crowded)
        run(QStringLiteral("DELETE FROM ignored_requests WHERE user_id = ? AND NOT EXISTS (SELECT 1 FROM contacts c "
                           "WHERE c.owner_id = ignored_requests.requester_id AND c.contact_id = ?)"),
            {int64(userId), int64(userId)});
}

} // namespace chatserver
