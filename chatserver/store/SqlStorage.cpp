#include "chatserver/store/SqlStorage.h"
#include "chatserver/store/SqlValues.h"
#include "chatserver/store/UserColumns.h"

#include <QSqlError>
#include <QSqlRecord>
#include <algorithm>
#include <atomic>

namespace chatserver {

namespace {

QString nextConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("colloq-store-%1").arg(++counter);
}

const QString kUserColumns =
    QStringLiteral("u.id, u.email, u.display_name, u.address, u.online, u.last_seen_ms, u.created_ms, u.login_peer, "
                   "u.state");
// 1 when the contact of row `c` lists the owner too: kept with the entry by addContact and
// removeContact, so that a poll looks up no second entry per contact.
const QString kMutual = QStringLiteral("c.mutual");
// The version of user `u`'s list; a user whose list never changed has none yet.
const QString kListVersion =
    QStringLiteral("COALESCE((SELECT v.version FROM list_versions v WHERE v.user_id = u.id), 0)");

} // namespace

QString SqlStorage::sqlFor(Stmt stmt) const {
    switch (stmt) {
    case Stmt::Register:
        // Any conflict: the e-mail address is taken, or (rarely) the random ID is.
        return QStringLiteral("INSERT INTO users (id, email, display_name, user_name, computer_name, created_ms, "
                              "address, online, last_seen_ms, login_peer) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                              "ON CONFLICT DO NOTHING RETURNING id");
    case Stmt::FindUser:
        return QStringLiteral("SELECT ") + kUserColumns + QStringLiteral(" FROM users u WHERE u.id = ?");
    case Stmt::FindUserByEmail:
        return QStringLiteral("SELECT ") + kUserColumns + QStringLiteral(" FROM users u WHERE u.email = ?");
    case Stmt::MarkOnlineWithPeer:
        return QStringLiteral(
            "UPDATE users SET online = 1, address = ?, last_seen_ms = ?, login_peer = ? WHERE id = ?");
    case Stmt::MarkOnlineNoPeer:
        return QStringLiteral("UPDATE users SET online = 1, address = ?, last_seen_ms = ? WHERE id = ?");
    case Stmt::MarkOffline:
        return QStringLiteral("UPDATE users SET online = 0 WHERE id = ?");
    case Stmt::Contacts:
        // Only what a contact record shows.
        return QStringLiteral("SELECT u.id, u.email, u.display_name, u.address, u.online, u.last_seen_ms, ") + kMutual +
               QStringLiteral(", c.handle FROM contacts c JOIN users u ON u.id = c.contact_id WHERE c.owner_id = ? "
                              "ORDER BY c.added_ms, c.contact_id");
    case Stmt::ContactCount:
        return QStringLiteral("SELECT COUNT(*) FROM contacts WHERE owner_id = ?");
    case Stmt::AddContact:
        return QStringLiteral(
            "INSERT INTO contacts (owner_id, contact_id, added_ms, handle, mutual) VALUES (?, ?, ?, ?, "
            "CASE WHEN EXISTS (SELECT 1 FROM contacts r WHERE r.owner_id = ? AND r.contact_id = ?) "
            "THEN 1 ELSE 0 END) ON CONFLICT DO NOTHING");
    case Stmt::SetMutual:
        return QStringLiteral("UPDATE contacts SET mutual = ? WHERE owner_id = ? AND contact_id = ?");
    case Stmt::LockPair:
        return pairLockStatement();
    case Stmt::SetContactHandle:
        return QStringLiteral("UPDATE contacts SET handle = ? WHERE owner_id = ? AND contact_id = ?");
    case Stmt::RemoveContact:
        return QStringLiteral("DELETE FROM contacts WHERE owner_id = ? AND contact_id = ?");
    case Stmt::QueueNotice:
        return QStringLiteral(
            "INSERT INTO notices (target_id, text, title, created_ms) VALUES (?, ?, ?, ?) RETURNING id");
    case Stmt::PendingNotice:
        return QStringLiteral(
            "SELECT n.id, n.text, n.title FROM notices n "
            "WHERE (n.target_id = ? OR (n.target_id IS NULL AND n.created_ms >= ?)) "
            "AND NOT EXISTS (SELECT 1 FROM notice_deliveries d WHERE d.user_id = ? AND d.notice_id = n.id) "
            "ORDER BY n.id LIMIT 1");
    case Stmt::NoticeDelivered:
        return QStringLiteral("INSERT INTO notice_deliveries (notice_id, user_id, delivered_ms) VALUES (?, ?, ?) "
                              "ON CONFLICT DO NOTHING");
    case Stmt::AnnounceMove:
        return QStringLiteral("INSERT INTO moves (address, port, created_ms) VALUES (?, ?, ?) RETURNING id");
    case Stmt::LatestMove:
        return QStringLiteral("SELECT id, address, port FROM moves ORDER BY id DESC LIMIT 1");
    case Stmt::PendingMove:
        return QStringLiteral(
            "SELECT m.id, m.address, m.port FROM moves m WHERE m.id = (SELECT MAX(id) FROM moves) "
            "AND m.created_ms >= ? "
            "AND NOT EXISTS (SELECT 1 FROM move_deliveries d WHERE d.user_id = ? AND d.move_id = m.id)");
    case Stmt::MoveDelivered:
        return QStringLiteral("INSERT INTO move_deliveries (move_id, user_id, delivered_ms) VALUES (?, ?, ?) "
                              "ON CONFLICT DO NOTHING");
    case Stmt::PollView:
        // The whole poll in one statement: the user's row first, then one row per contact in
        // list order, in the same columns (the contact's added time, which only orders the rows,
        // where the user's creation time is; the list's version where a contact's handle is).
        return QStringLiteral("SELECT 0 AS part, ") + kUserColumns + QStringLiteral(", ") + kListVersion +
               QStringLiteral(", 0 FROM users u WHERE u.id = ? UNION ALL "
                              "SELECT 1, k.id, k.email, k.display_name, k.address, k.online, k.last_seen_ms, "
                              "c.added_ms, NULL, 0, c.handle, ") +
               kMutual +
               QStringLiteral(" FROM contacts c JOIN users k ON k.id = c.contact_id "
                              "WHERE c.owner_id = ? ORDER BY 1, 8, 2");
    case Stmt::Touch:
        return QStringLiteral("UPDATE users SET last_seen_ms = ? WHERE id = ? AND last_seen_ms < ?");
    case Stmt::PollHead:
        return QStringLiteral("SELECT ") + kUserColumns + QStringLiteral(", ") + kListVersion + QStringLiteral(", ") +
               QLatin1StringView(kSecureMark) + QStringLiteral(" FROM users u WHERE u.id = ?");
    case Stmt::ViewersOf:
        return QStringLiteral("SELECT owner_id FROM contacts WHERE contact_id = ?");
    case Stmt::BumpListVersion:
        return QStringLiteral("INSERT INTO list_versions (user_id, version) VALUES (?, 1) "
                              "ON CONFLICT (user_id) DO UPDATE SET version = list_versions.version + 1");
    case Stmt::LockRegistrations:
    case Stmt::RegistrationsFromAddress:
    case Stmt::RegistrationsFromNetwork:
    case Stmt::RegistrationsInAll:
    case Stmt::RecordRegistration:
    case Stmt::ForgetRegistrations:
    case Stmt::RegisterPending:
    case Stmt::PendingEmail:
    case Stmt::PendingFor:
    case Stmt::FindByConfirmHash:
    case Stmt::LockEmail:
    case Stmt::HolderOfEmail:
    case Stmt::MakeInvitation:
    case Stmt::MoveEntries:
    case Stmt::DropUser:
    case Stmt::ClaimEmail:
    case Stmt::ToldConfirmed:
    case Stmt::RecountMutual:
    case Stmt::DropPendingLists:
    case Stmt::DropPendingNoticeDeliveries:
    case Stmt::DropPendingMoveDeliveries:
    case Stmt::DropPendingNoticeTargets:
    case Stmt::DropPendingNotices:
    case Stmt::DropPendingRelayPorts:
    case Stmt::DropPendingSecureMarks:
    case Stmt::DropPending:
    case Stmt::DropUnlistedInvitations:
        return registrationSqlFor(stmt);
    case Stmt::Generation:
        return QStringLiteral(
            "SELECT (SELECT COALESCE(MAX(id), 0) FROM notices) + (SELECT COALESCE(MAX(id), 0) FROM moves)");
    case Stmt::MarkSecure:
        return QStringLiteral("INSERT INTO secure_accounts (user_id, since_ms) VALUES (?, ?) ON CONFLICT DO NOTHING");
    case Stmt::IsSecure:
        return QStringLiteral("SELECT 1 FROM secure_accounts WHERE user_id = ?");
    }
    return {};
}

SqlStorage::SqlStorage(const QString& driver)
    : m_connectionName(nextConnectionName()), m_pending(std::make_shared<PendingPresence>()) {
    m_db = QSqlDatabase::addDatabase(driver, m_connectionName);
    if (!m_db.isValid()) {
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        throw StorageError("the Qt SQL driver " + driver.toStdString() + " is not available");
    }
}

SqlStorage::~SqlStorage() {
    m_prepared.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

void SqlStorage::open() {
    closingConnection();
    m_prepared.clear();
    m_db.close();
    m_broken = true; // until the fresh connection is configured
    openConnection(m_db);
    if (!m_db.open()) throw StorageError("cannot open the store: " + m_db.lastError().text().toStdString());
    configureConnection();
    m_broken = false;
}

void SqlStorage::ensureOpen() {
    if (!m_db.isOpen() || m_broken) open();
}

bool SqlStorage::alive() {
    // A statement that cannot fail on a working connection; drivers do not all tell a lost
    // connection from a failed statement.
    QSqlQuery probe(m_db);
    return probe.exec(QStringLiteral("SELECT 1"));
}

void SqlStorage::execOnce(const QString& sql) {
    QSqlQuery query(m_db);
    if (!query.exec(sql)) fail(sql, query);
}

void SqlStorage::execOnce(QSqlQuery& query, const QString& sql, const QVariantList& values) {
    if (!query.prepare(sql)) fail(sql, query);
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec()) fail(sql, query);
}

void SqlStorage::fail(const QString& what, const QSqlQuery& query) const {
    throw StorageError(what.left(60).toStdString() + ": " + query.lastError().text().toStdString());
}

void SqlStorage::migrate() {
    ensureOpen();
    const QList<QStringList> steps = migrations();
    execOnce(beginStatement());
    try {
        if (const QString lock = migrationLockStatement(); !lock.isEmpty()) execOnce(lock);
        execOnce(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"));
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral("SELECT version FROM schema_version"))) fail(QStringLiteral("version"), query);
        int version = 0;
        const bool hasRow = query.next();
        if (hasRow) version = query.value(0).toInt();
        query.finish();
        if (version > steps.size())
            throw StorageError("the store has schema version " + std::to_string(version) +
                               ", newer than this server knows (" + std::to_string(steps.size()) + ")");
        for (qsizetype step = version; step < steps.size(); ++step)
            for (const QString& sql : steps[step])
                execOnce(sql);
        QSqlQuery update(m_db);
        update.prepare(hasRow ? QStringLiteral("UPDATE schema_version SET version = ?")
                              : QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"));
        update.addBindValue(int(steps.size()));
        if (!update.exec()) fail(QStringLiteral("version update"), update);
        execOnce(QStringLiteral("COMMIT"));
    } catch (...) {
        QSqlQuery rollback(m_db);
        rollback.exec(QStringLiteral("ROLLBACK"));
        throw;
    }
}

int SqlStorage::schemaVersion() {
    ensureOpen();
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT version FROM schema_version"))) return 0;
    return query.next() ? query.value(0).toInt() : 0;
}

QSqlQuery& SqlStorage::prepared(Stmt stmt) {
    auto it = m_prepared.find(stmt);
    if (it != m_prepared.end()) return it->second;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    const QString text = sqlFor(stmt);
    if (!query.prepare(text)) fail(text, query);
    return m_prepared.emplace(stmt, std::move(query)).first->second;
}

QSqlQuery& SqlStorage::run(Stmt stmt, const QVariantList& values) {
    ensureOpen();
    for (int attempt = 0;; ++attempt) {
        // Inside a transaction a fresh connection would lose what came before: give up, and let
        // the rollback find out whether the connection is gone. Otherwise a restarted database
        // server gets one more try on a fresh connection, whether the statement failed or its
        // preparation did (a connection idle through the restart learns of it only then).
        const bool retry = attempt == 0 && !m_inTransaction;
        QSqlQuery* query = nullptr;
        try {
            query = &prepared(stmt);
        } catch (const StorageError&) {
            if (!retry || alive()) throw;
            open();
            continue;
        }
        for (qsizetype i = 0; i < values.size(); ++i)
            query->bindValue(int(i), values[i]);
        if (query->exec()) return *query;
        if (!retry || alive()) fail(sqlFor(stmt), *query);
        open();
    }
}

namespace {

// A row of a Qt query, as the column readers take it.
struct QueryRow {
    const QSqlQuery& query;
    qint64 integer(int column) const { return query.value(column).toLongLong(); }
    QString text(int column) const { return query.value(column).toString(); }
};

} // namespace

UserRecord SqlStorage::readUser(const QSqlQuery& query, int offset) {
    return readUserColumns(QueryRow{query}, offset);
}

UserRecord SqlStorage::readContact(const QSqlQuery& query, int offset) const {
    UserRecord contact = readUserColumns(QueryRow{query}, offset, Columns::Contact);
    overlayPending(contact);
    return contact;
}

void SqlStorage::overlayPending(UserRecord& user) const {
    m_pending->overlay(user);
}

void SqlStorage::overlayPending(PollView& view) const {
    m_pending->overlay(view.user, view.contacts);
}

std::optional<PollView> SqlStorage::pollView(qint64 id) {
    QSqlQuery& query = run(Stmt::PollView, {int64(id), int64(id)});
    std::optional<PollView> view;
    if (query.next() && query.value(0).toInt() == 0) {
        view.emplace();
        view->user = readUser(query, 1);
        view->listVersion = query.value(10).toLongLong();
        while (query.next()) {
            view->contacts.append(readUserColumns(QueryRow{query}, 1, Columns::Contact));
            view->contacts.last().handle = query.value(10).toLongLong();
            view->contacts.last().mutual = query.value(11).toInt() != 0;
        }
    }
    query.finish();
    if (view) overlayPending(*view);
    return view;
}

void SqlStorage::touch(qint64 id, qint64 nowMs) {
    m_pending->touch(id, nowMs);
}

qsizetype SqlStorage::flushPresence(qsizetype maxUsers) {
    if (m_pending->size() == 0 || m_inTransaction) return m_pending->size();
    QList<PendingPresence::Entry> batch = m_pending->beginWriting(maxUsers);
    if (batch.isEmpty()) return m_pending->size(); // another connection is writing them
    // In the order of the key: rows next to each other share pages, which a transaction of
    // thousands then finds in its cache, and two servers writing at once lock their rows (on
    // PostgreSQL) in the same order, so that neither holds a row the other waits for.
    std::sort(batch.begin(), batch.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    try {
        Transaction transaction(*this);
        for (const PendingPresence::Entry& entry : batch)
            writeLastSeen(entry.id, entry.seenMs);
        transaction.commit();
    } catch (...) {
        m_pending->written(0); // they wait for the next try
        throw;
    }
    m_pending->written(batch.size());
    return m_pending->size();
}

void SqlStorage::writeLastSeen(qint64 id, qint64 nowMs) {
    run(Stmt::Touch, {int64(nowMs), int64(id), int64(nowMs)}).finish();
}

std::optional<qint64> SqlStorage::registerUser(const NewUser& user) {
    const bool online = !user.address.isEmpty();
    const bool pending = !user.confirmHash.isEmpty();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const qint64 id = newUserId();
        QVariantList values = {int64(id),
                               text(pending ? pendingStandIn(id) : user.email),
                               text(user.displayName),
                               text(user.userName),
                               text(user.computerName),
                               int64(user.nowMs),
                               text(user.address),
                               online ? 1 : 0,
                               int64(online ? user.nowMs : 0),
                               text(user.peer)};
        if (pending) values << text(user.email) << text(user.confirmHash);
        QSqlQuery& query = run(pending ? Stmt::RegisterPending : Stmt::Register, values);
        std::optional<qint64> made;
        if (query.next()) made = query.value(0).toLongLong();
        query.finish();
        if (made) return made;
        if (!pending && findUserByEmail(user.email)) return std::nullopt;
    }
    throw StorageError("no free user ID found");
}

QByteArray SqlStorage::sharedSecret(const QByteArray& candidate) {
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO server_secret (id, secret) VALUES (1, ?) ON CONFLICT DO NOTHING"));
    insert.addBindValue(QString::fromLatin1(candidate.toHex()));
    if (!insert.exec()) fail(QStringLiteral("secret"), insert);
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT secret FROM server_secret WHERE id = 1")) || !query.next())
        fail(QStringLiteral("secret"), query);
    return QByteArray::fromHex(query.value(0).toString().toLatin1());
}

std::optional<UserRecord> SqlStorage::findUser(qint64 id) {
    QSqlQuery& query = run(Stmt::FindUser, {int64(id)});
    std::optional<UserRecord> user;
    if (query.next()) user = readUser(query, 0);
    query.finish();
    if (user) overlayPending(*user);
    return user;
}

std::optional<UserRecord> SqlStorage::findUserByEmail(const QString& email) {
    QSqlQuery& query = run(Stmt::FindUserByEmail, {text(email)});
    std::optional<UserRecord> user;
    if (query.next()) user = readUser(query, 0);
    query.finish();
    if (user) overlayPending(*user);
    return user;
}

void SqlStorage::markOnline(qint64 id, const QString& address, const QString& peer, qint64 nowMs) {
    if (peer.isEmpty())
        run(Stmt::MarkOnlineNoPeer, {text(address), int64(nowMs), int64(id)}).finish();
    else
        run(Stmt::MarkOnlineWithPeer, {text(address), int64(nowMs), text(peer), int64(id)}).finish();
    shownChanged(id);
}

void SqlStorage::markOffline(qint64 id) {
    run(Stmt::MarkOffline, {int64(id)}).finish();
    shownChanged(id);
}

void SqlStorage::markSignsInSecurely(qint64 id, qint64 nowMs) {
    run(Stmt::MarkSecure, {int64(id), int64(nowMs)}).finish();
}

bool SqlStorage::signsInSecurely(qint64 id) {
    QSqlQuery& query = run(Stmt::IsSecure, {int64(id)});
    const bool found = query.next();
    query.finish();
    return found;
}

QList<UserRecord> SqlStorage::contactsOf(qint64 ownerId) {
    QSqlQuery& query = run(Stmt::Contacts, {int64(ownerId)});
    QList<UserRecord> contacts;
    while (query.next()) {
        contacts.append(readContact(query, 0));
        contacts.last().mutual = query.value(6).toInt() != 0;
        contacts.last().handle = query.value(7).toLongLong();
    }
    query.finish();
    return contacts;
}

int SqlStorage::contactCount(qint64 ownerId) {
    QSqlQuery& query = run(Stmt::ContactCount, {int64(ownerId)});
    const int count = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    return count;
}

bool SqlStorage::addContact(qint64 ownerId, qint64 contactId, qint64 nowMs, qint64 handle) {
    const QVariant kept = handle != 0 ? int64(handle) : QVariant(QMetaType(QMetaType::LongLong));
    lockPair(ownerId, contactId);
    QSqlQuery& query =
        run(Stmt::AddContact, {int64(ownerId), int64(contactId), int64(nowMs), kept, int64(contactId), int64(ownerId)});
    const bool added = query.numRowsAffected() > 0;
    query.finish();
    if (added) {
        run(Stmt::SetMutual, {1, int64(contactId), int64(ownerId)}).finish();
        listChanged(ownerId);
        listChanged(contactId);
    }
    return added;
}

void SqlStorage::lockPair(qint64 firstId, qint64 secondId) {
    // Both entries' flags depend on both lists: two servers adding each other at once would each
    // miss the other's uncommitted entry and both write 0. Locking the two users in ID order
    // makes the second wait for the first, and then see its entry.
    if (pairLockStatement().isEmpty()) return;
    run(Stmt::LockPair, {int64(std::min(firstId, secondId)), int64(std::max(firstId, secondId))}).finish();
}

void SqlStorage::setContactHandle(qint64 ownerId, qint64 contactId, qint64 handle) {
    run(Stmt::SetContactHandle, {int64(handle), int64(ownerId), int64(contactId)}).finish();
}

void SqlStorage::removeContact(qint64 ownerId, qint64 contactId) {
    lockPair(ownerId, contactId);
    run(Stmt::RemoveContact, {int64(ownerId), int64(contactId)}).finish();
    run(Stmt::SetMutual, {0, int64(contactId), int64(ownerId)}).finish();
    listChanged(ownerId);
    listChanged(contactId);
}

qint64 SqlStorage::queueNotice(std::optional<qint64> targetId, const QString& noticeText, const QString& title,
                               qint64 nowMs) {
    const QVariant target = targetId ? int64(*targetId) : QVariant(QMetaType(QMetaType::LongLong));
    QSqlQuery& query = run(Stmt::QueueNotice, {target, text(noticeText), text(title), int64(nowMs)});
    const qint64 id = query.next() ? query.value(0).toLongLong() : 0;
    query.finish();
    return id;
}

std::optional<Notice> SqlStorage::pendingNotice(const UserRecord& user) {
    QSqlQuery& query = run(Stmt::PendingNotice, {int64(user.id), int64(user.createdMs), int64(user.id)});
    std::optional<Notice> notice;
    if (query.next())
        notice = Notice{query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString()};
    query.finish();
    return notice;
}

void SqlStorage::markNoticeDelivered(qint64 noticeId, qint64 userId, qint64 nowMs) {
    run(Stmt::NoticeDelivered, {int64(noticeId), int64(userId), int64(nowMs)}).finish();
}

qint64 SqlStorage::announceMove(const QString& address, const QString& port, qint64 nowMs) {
    QSqlQuery& query = run(Stmt::AnnounceMove, {text(address), text(port), int64(nowMs)});
    const qint64 id = query.next() ? query.value(0).toLongLong() : 0;
    query.finish();
    return id;
}

std::optional<Move> SqlStorage::latestMove() {
    QSqlQuery& query = run(Stmt::LatestMove, {});
    std::optional<Move> move;
    if (query.next()) move = Move{query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString()};
    query.finish();
    return move;
}

std::optional<Move> SqlStorage::pendingMove(const UserRecord& user) {
    QSqlQuery& query = run(Stmt::PendingMove, {int64(user.createdMs), int64(user.id)});
    std::optional<Move> move;
    if (query.next()) move = Move{query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString()};
    query.finish();
    return move;
}

void SqlStorage::markMoveDelivered(qint64 moveId, qint64 userId, qint64 nowMs) {
    run(Stmt::MoveDelivered, {int64(moveId), int64(userId), int64(nowMs)}).finish();
}

qint64 SqlStorage::operatorGeneration() {
    QSqlQuery& query = run(Stmt::Generation, {});
    const qint64 generation = query.next() ? query.value(0).toLongLong() : 0;
    query.finish();
    return generation;
}

// Transaction control goes unprepared: PostgreSQL cannot prepare it.
void SqlStorage::begin() {
    ensureOpen();
    try {
        execOnce(beginStatement());
    } catch (const StorageError&) {
        if (alive()) throw;
        open(); // the connection was lost since the last exchange: start on a fresh one
        execOnce(beginStatement());
    }
    m_inTransaction = true;
}

void SqlStorage::commit() {
    try {
        writeListVersions();
        execOnce(QStringLiteral("COMMIT"));
    } catch (const StorageError&) {
        rollback();
        throw;
    }
    m_inTransaction = false;
}

void SqlStorage::rollback() {
    m_changedLists.clear();
    m_changedShown.clear();
    if (!m_inTransaction) return;
    m_inTransaction = false;
    QSqlQuery query(m_db);
    // A connection that is gone has rolled back by itself; the next exchange opens a new one.
    if (!query.exec(QStringLiteral("ROLLBACK"))) m_broken = true;
}

} // namespace chatserver
