// What the limits against guessing count of each caller, in one table every server of the store
// writes: a refused request (a failed log-in with the first account it named), each further
// account a failed log-in named, an e-mail look-up. Counted in windows of time like the
// registrations; only the event itself writes, and a count is one statement.
#include "chatserver/store/SqlStorage.h"
#include "chatserver/store/SqlValues.h"

namespace chatserver {

namespace {

enum Kind { kRefusal = 1, kLookup = 2, kAlsoNamed = 3 };

// Each count stops at its cap (a cap of 0 counts nothing).
const QString kCounts = QStringLiteral(
    "SELECT (SELECT COUNT(*) FROM (SELECT 1 FROM caller_events WHERE address_key = ? AND kind = 1 AND at_ms > ? "
    "LIMIT ?) a), (SELECT COUNT(*) FROM (SELECT 1 FROM caller_events WHERE network_key = ? AND kind = 1 AND "
    "at_ms > ? LIMIT ?) n), (SELECT COUNT(*) FROM (SELECT 1 FROM caller_events WHERE account_id = ? AND kind <> 2 "
    "AND at_ms > ? LIMIT ?) c), (SELECT COUNT(*) FROM (SELECT 1 FROM caller_events WHERE account_id = ? AND "
    "address_key = ? AND kind <> 2 AND at_ms > ? LIMIT ?) f)");
const QString kRecord = QStringLiteral(
    "INSERT INTO caller_events (kind, at_ms, address_key, network_key, account_id) VALUES (?, ?, ?, ?, ?)");
// The look-up goes in only while the caller's window has room.
const QString kTakeLookup = QStringLiteral(
    "INSERT INTO caller_events (kind, at_ms, address_key, network_key, account_id) SELECT 2, CAST(? AS BIGINT), "
    "CAST(? AS TEXT), '', 0 WHERE (SELECT COUNT(*) FROM (SELECT 1 FROM caller_events WHERE address_key = ? AND "
    "kind = 2 AND at_ms > ? LIMIT ?) w) < ?");
const QString kForgetOld = QStringLiteral("DELETE FROM caller_events WHERE at_ms < ?");
// Past the cap the oldest go first, as in the servers' own tables of buckets.
const QString kForgetBeyond = QStringLiteral(
    "DELETE FROM caller_events WHERE at_ms < (SELECT at_ms FROM caller_events ORDER BY at_ms DESC LIMIT 1 OFFSET ?)");

} // namespace

CallerCounts SqlStorage::callerCounts(const CallerQuery& q) {
    ensureOpen();
    QSqlQuery query(database());
    const int accountCap = q.accountId ? q.account.cap : 0;
    execOnce(query, kCounts,
             {text(q.addressKey), int64(q.address.sinceMs), q.address.cap, text(q.networkKey), int64(q.network.sinceMs),
              q.network.cap, int64(q.accountId), int64(q.account.sinceMs), accountCap, int64(q.accountId),
              text(q.addressKey), int64(q.account.sinceMs), accountCap > 0 ? 1 : 0});
    CallerCounts counts;
    if (query.next())
        counts = {query.value(0).toInt(), query.value(1).toInt(), query.value(2).toInt(), query.value(3).toInt() > 0};
    return counts;
}

void SqlStorage::recordRefusal(const QString& addressKey, const QString& networkKey, const QList<qint64>& accounts,
                               qint64 nowMs) {
    ensureOpen();
    QSqlQuery query(database());
    for (qsizetype i = 0; i < qMax<qsizetype>(accounts.size(), 1); ++i)
        execOnce(query, kRecord,
                 {i == 0 ? kRefusal : kAlsoNamed, int64(nowMs), text(addressKey), text(networkKey),
                  int64(accounts.value(i))});
}

bool SqlStorage::takeLookup(const QString& addressKey, int cap, qint64 sinceMs, qint64 nowMs) {
    ensureOpen();
    QSqlQuery query(database());
    execOnce(query, kTakeLookup, {int64(nowMs), text(addressKey), text(addressKey), int64(sinceMs), cap, cap});
    return query.numRowsAffected() > 0;
}

void SqlStorage::forgetCallerEvents(qint64 beforeMs, int keep) {
    ensureOpen();
    QSqlQuery query(database());
    execOnce(query, kForgetOld, {int64(beforeMs)});
    execOnce(query, kForgetBeyond, {qMax(keep - 1, 0)}); // the newest kept is at offset 0
}

} // namespace chatserver
