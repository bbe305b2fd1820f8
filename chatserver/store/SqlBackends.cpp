// The two back ends of SqlStorage: SQLite for one server on one machine, PostgreSQL for several
// servers sharing one store.
#include "chatserver/store/SqlStorage.h"
#include "chatserver/store/SqliteCheckpointer.h"
#include "chatserver/store/SqliteReaderLocks.h"
#include "chatserver/store/UserColumns.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <fcntl.h>
#include <sqlite3.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace chatserver {

namespace {

// Schema version 1. `@ID@` stands for the dialect's self-numbering key column; user IDs are
// never handed out twice, not even after a row is gone.
const QStringList kSchemaV1 = {
    QStringLiteral("CREATE TABLE users (id @ID@, email TEXT NOT NULL UNIQUE, display_name TEXT NOT NULL, "
                   "user_name TEXT NOT NULL DEFAULT '', computer_name TEXT NOT NULL DEFAULT '', "
                   "created_ms BIGINT NOT NULL, address TEXT NOT NULL DEFAULT '', "
                   "online INTEGER NOT NULL DEFAULT 0, last_seen_ms BIGINT NOT NULL DEFAULT 0, "
                   "login_peer TEXT NOT NULL DEFAULT '')"),
    QStringLiteral("CREATE TABLE contacts (owner_id BIGINT NOT NULL REFERENCES users (id), "
                   "contact_id BIGINT NOT NULL REFERENCES users (id), added_ms BIGINT NOT NULL, "
                   "PRIMARY KEY (owner_id, contact_id))"),
    QStringLiteral("CREATE TABLE notices (id @ID@, target_id BIGINT REFERENCES users (id), text TEXT NOT NULL, "
                   "title TEXT NOT NULL, created_ms BIGINT NOT NULL)"),
    QStringLiteral("CREATE INDEX notices_by_target ON notices (target_id)"),
    QStringLiteral("CREATE TABLE notice_deliveries (notice_id BIGINT NOT NULL REFERENCES notices (id), "
                   "user_id BIGINT NOT NULL REFERENCES users (id), delivered_ms BIGINT NOT NULL, "
                   "PRIMARY KEY (user_id, notice_id))"),
    QStringLiteral("CREATE TABLE moves (id @ID@, address TEXT NOT NULL, port TEXT NOT NULL, "
                   "created_ms BIGINT NOT NULL)"),
    QStringLiteral("CREATE TABLE move_deliveries (move_id BIGINT NOT NULL REFERENCES moves (id), "
                   "user_id BIGINT NOT NULL REFERENCES users (id), delivered_ms BIGINT NOT NULL, "
                   "PRIMARY KEY (user_id, move_id))"),
};

// Version 2: contact lists come back in the order they were made without a sort per poll.
const QStringList kSchemaV2 = {
    QStringLiteral("CREATE INDEX contacts_in_order ON contacts (owner_id, added_ms, contact_id)"),
};

// Version 3: the key of the per-viewer handles, one row shared by every server on the store.
const QStringList kSchemaV3 = {
    QStringLiteral("CREATE TABLE server_secret (id INTEGER PRIMARY KEY, secret TEXT NOT NULL)"),
};

// Version 4: each list entry keeps the handle its owner is shown, in the index a poll reads
// the list from, so that polls derive none (entries from before get theirs at their next poll).
const QStringList kSchemaV4 = {
    QStringLiteral("ALTER TABLE contacts ADD COLUMN handle BIGINT"),
    QStringLiteral("DROP INDEX contacts_in_order"),
    QStringLiteral("CREATE INDEX contacts_in_order ON contacts (owner_id, added_ms, contact_id, handle)"),
};

// Version 5: each list entry keeps whether its contact lists the owner too, in the same index,
// so that a poll looks up no second entry per contact (addContact and removeContact keep it).
const QStringList kSchemaV5 = {
    QStringLiteral("ALTER TABLE contacts ADD COLUMN mutual INTEGER NOT NULL DEFAULT 0"),
    QStringLiteral("UPDATE contacts SET mutual = 1 WHERE EXISTS (SELECT 1 FROM contacts r "
                   "WHERE r.owner_id = contacts.contact_id AND r.contact_id = contacts.owner_id)"),
    QStringLiteral("DROP INDEX contacts_in_order"),
    QStringLiteral("CREATE INDEX contacts_in_order ON contacts (owner_id, added_ms, contact_id, handle, mutual)"),
};

// Version 6: registrations with the caller's address and network, counted in windows of time
// by every server of the store alike.
const QStringList kSchemaV6 = {
    QStringLiteral("CREATE TABLE registrations (at_ms BIGINT NOT NULL, address_key TEXT NOT NULL, "
                   "network_key TEXT NOT NULL)"),
    QStringLiteral("CREATE INDEX registrations_by_address ON registrations (address_key, at_ms)"),
    QStringLiteral("CREATE INDEX registrations_by_network ON registrations (network_key, at_ms)"),
    QStringLiteral("CREATE INDEX registrations_by_time ON registrations (at_ms)"),
};

// Version 7: accounts that wait for their owner to confirm their address (which stays in
// pending_email meanwhile, the e-mail column holding a stand-in that is no address), and
// invitations: stand-ins for addresses nobody has confirmed, so that lists can hold them.
const QStringList kSchemaV7 = {
    QStringLiteral("ALTER TABLE users ADD COLUMN state INTEGER NOT NULL DEFAULT 0"),
    QStringLiteral("ALTER TABLE users ADD COLUMN pending_email TEXT"),
    QStringLiteral("ALTER TABLE users ADD COLUMN confirm_hash TEXT"),
    QStringLiteral("CREATE INDEX users_by_pending_email ON users (pending_email, created_ms)"),
    QStringLiteral("CREATE UNIQUE INDEX users_by_confirm_hash ON users (confirm_hash)"),
    QStringLiteral("CREATE INDEX users_by_state ON users (state, created_ms)"),
    // The entries that list a user: taken over from an invitation, or looked for before one goes.
    QStringLiteral("CREATE INDEX contacts_by_contact ON contacts (contact_id, owner_id)"),
};

// Version 8: each user's place on a relay (its call address there), one user per port.
const QStringList kSchemaV8 = {
    QStringLiteral("CREATE TABLE relay_ports (relay TEXT NOT NULL, port INTEGER NOT NULL, "
                   "user_id BIGINT NOT NULL UNIQUE REFERENCES users (id), PRIMARY KEY (relay, port))"),
};

// Version 9: the accounts that have signed in over TLS, which the plain port then refuses, and
// the IDs users have moved their accounts away from.
const QStringList kSchemaV9 = {
    QStringLiteral("CREATE TABLE secure_accounts (user_id BIGINT PRIMARY KEY REFERENCES users (id), "
                   "since_ms BIGINT NOT NULL)"),
    QStringLiteral("CREATE TABLE replaced_ids (old_id BIGINT PRIMARY KEY, moved_ms BIGINT NOT NULL)"),
};

// Version 10: a number per user that changes with anything the user's poll shows of its list
// (its entries, and what its contacts show it), so that a server may keep the list in memory and
// read it again only when the number moved. Its own table: only the end of a transaction writes
// it, in user order, so that no two writers ever wait for each other's rows crosswise.
const QStringList kSchemaV10 = {
    QStringLiteral("CREATE TABLE list_versions (user_id BIGINT PRIMARY KEY, version BIGINT NOT NULL)"),
};

// Version 11: the contact requests each user chose to ignore.
const QStringList kSchemaV11 = {
    QStringLiteral("CREATE TABLE ignored_requests (user_id BIGINT NOT NULL, requester_id BIGINT NOT NULL, "
                   "ignored_ms BIGINT NOT NULL, PRIMARY KEY (user_id, requester_id))"),
};

// Version 12: what the limits against guessing count of each caller (refused requests, failed
// log-ins and the accounts they named, e-mail look-ups), so that every server of the store counts
// them together. `kind`: 1 a refusal, 2 a look-up, 3 a further account one failed log-in named.
const QStringList kSchemaV12 = {
    QStringLiteral("CREATE TABLE caller_events (kind INTEGER NOT NULL, at_ms BIGINT NOT NULL, "
                   "address_key TEXT NOT NULL, network_key TEXT NOT NULL, account_id BIGINT NOT NULL)"),
    QStringLiteral("CREATE INDEX caller_events_by_address ON caller_events (address_key, kind, at_ms)"),
    QStringLiteral("CREATE INDEX caller_events_by_network ON caller_events (network_key, kind, at_ms)"),
    QStringLiteral("CREATE INDEX caller_events_by_account ON caller_events (account_id, at_ms)"),
    QStringLiteral("CREATE INDEX caller_events_by_time ON caller_events (at_ms)"),
};

// Version 13 on SQLite: the list versions keyed by the table's own row number. Every poll reads
// its user's version; declared `BIGINT PRIMARY KEY` the key is a separate index, so each read
// searched that index and then the table, two pages apart in a large store. PostgreSQL keeps
// no table in the order of its key (a key is always an index beside the rows), so there the step
// does nothing.
const QStringList kSqliteSchemaV13 = {
    QStringLiteral("CREATE TABLE list_versions_keyed (user_id INTEGER PRIMARY KEY, version BIGINT NOT NULL)"),
    QStringLiteral("INSERT INTO list_versions_keyed (user_id, version) SELECT user_id, version FROM list_versions"),
    QStringLiteral("DROP TABLE list_versions"),
    QStringLiteral("ALTER TABLE list_versions_keyed RENAME TO list_versions"),
};

QList<QStringList> withIdentity(const QString& identity, const QStringList& v13) {
    QStringList v1;
    for (QString sql : kSchemaV1)
        v1.append(sql.replace(QStringLiteral("@ID@"), identity));
    return {v1,        kSchemaV2, kSchemaV3,  kSchemaV4,  kSchemaV5,  kSchemaV6, kSchemaV7,
            kSchemaV8, kSchemaV9, kSchemaV10, kSchemaV11, kSchemaV12, v13};
}

} // namespace

// ---- SQLite ------------------------------------------------------------------------------------

namespace {

// Another connection holds the write lock: another serving loop's transaction (a log-in's, a
// fraction of a millisecond), the second's last-seen times (tens of milliseconds, on the writer's
// thread), the checkpoint's moment or an operator command.
// SQLite's own wait sleeps 1, 2, 5, 10 ms and more between looks, long after such a transaction
// ended, while the loop's other callers wait too: look every 50 us for the first 10 ms, then
// every millisecond, 10 s in all.
int waitForWriter(void*, int looks) {
    constexpr int kFineLooks = 200;
    constexpr int kCoarseLooks = 9'990;
    if (looks >= kFineLooks + kCoarseLooks) return 0;
    ::usleep(looks < kFineLooks ? 50 : 1000);
    return 1;
}

} // namespace

SqliteStorage::SqliteStorage(QString path) : SqlStorage(QStringLiteral("QSQLITE")), m_path(std::move(path)) {
    // SQLite counts every allocation under one lock for the whole process, which the serving
    // thread and the store's own threads then take turns at; nothing here reads the counts. It
    // can only be switched off before the library's first use (later it refuses, harmlessly).
    static const int kNoCounts = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    Q_UNUSED(kNoCounts);
    keepSqliteReaderLocks();
}

void SqliteStorage::openConnection(QSqlDatabase& db) {
    const QFileInfo file(m_path);
    if (!QDir().mkpath(file.absolutePath()))
        throw StorageError("cannot create the data folder " + file.absolutePath().toStdString());
    // A new store is made readable by the server's own user only (e-mail and network addresses
    // are in it); SQLite gives its journal files the same mode.
    const QByteArray path = QFile::encodeName(file.absoluteFilePath());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    db.setDatabaseName(file.absoluteFilePath());
    // Writers from other processes (the operator commands) wait for each other instead of failing.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
}

void SqliteStorage::configureConnection() {
    // WAL keeps readers and the writer out of each other's way; NORMAL syncing keeps every
    // committed transaction across a crash of the process (only a power cut can cost the last
    // few), and costs no fsync per poll.
    execOnce(QStringLiteral("PRAGMA journal_mode = WAL"));
    execOnce(QStringLiteral("PRAGMA synchronous = NORMAL"));
    execOnce(QStringLiteral("PRAGMA foreign_keys = ON"));
    // Pages are read into SQLite's own cache, not through a memory mapping of the file. Every
    // commit by another connection (another serving loop's, another server's) makes this one
    // throw its cache away at its next read, and with a mapping also unmap the whole file, map
    // it again and fault each page back in, a round of TLB shootdowns on every core each time:
    // with two loops that made a registration cost half as much again, and saved a poll
    // nothing measurable.
    execOnce(QStringLiteral("PRAGMA mmap_size = 0"));
    // Between other connections' commits, the pages read stay cached.
    execOnce(QStringLiteral("PRAGMA cache_size = -32768"));
    const QByteArray file = QFile::encodeName(QFileInfo(m_path).absoluteFilePath());
    const QVariant handle = database().driver()->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        m_handle = *static_cast<sqlite3* const*>(handle.constData());
        sqlite3_busy_handler(m_handle, &waitForWriter, nullptr);
        m_checkpointer = std::make_unique<SqliteCheckpointer>(m_handle, file);
    }
    struct stat opened {};
    if (::stat(file.constData(), &opened) == 0) {
        m_device = opened.st_dev;
        m_inode = opened.st_ino;
    }
}

QString SqliteStorage::lostReason() {
    if (m_inode == 0) return {};
    const QString path = QFileInfo(m_path).absoluteFilePath();
    struct stat now {};
    if (::stat(QFile::encodeName(path).constData(), &now) != 0)
        return QStringLiteral("the store file %1 is gone (deleted or moved away)").arg(path);
    if (now.st_dev != m_device || now.st_ino != m_inode)
        return QStringLiteral("the store file %1 was replaced by another file").arg(path);
    return {};
}

SqliteStorage::~SqliteStorage() {
    closingConnection();
}

void SqliteStorage::closingConnection() {
    sqlite3_finalize(m_pollStatement); // null is fine
    m_pollStatement = nullptr;
    sqlite3_finalize(m_headStatement);
    m_headStatement = nullptr;
    sqlite3_finalize(m_seenStatement);
    m_seenStatement = nullptr;
    sqlite3_finalize(m_secureStatement);
    m_secureStatement = nullptr;
    m_checkpointer.reset();
    m_handle = nullptr;
}

namespace {

// A row of a SQLite statement, as the column readers take it.
struct StatementRow {
    sqlite3_stmt* statement;
    qint64 integer(int column) const { return sqlite3_column_int64(statement, column); }
    QString text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        return text ? QString::fromUtf8(text, sqlite3_column_bytes(statement, column)) : QString();
    }
};

// Prepares `sql` into `statement` for the life of the connection, unless it is already.
sqlite3_stmt* preparedOnce(sqlite3* handle, sqlite3_stmt*& statement, std::string_view sql) {
    if (statement) return statement;
    if (sqlite3_prepare_v3(handle, sql.data(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        statement = nullptr;
        throw StorageError(std::string("prepare: ") + sqlite3_errmsg(handle));
    }
    return statement;
}

// Both poll reads start with the user's columns and its list's version.
constexpr std::string_view kPollHead =
    "SELECT u.id, u.email, u.display_name, u.address, u.online, u.last_seen_ms, u.created_ms, u.login_peer, "
    "u.state, COALESCE((SELECT v.version FROM list_versions v WHERE v.user_id = u.id), 0)";

template <typename Row> void readPollHead(PollView& view, const Row& row) {
    view.user = readUserColumns(row, 0);
    view.listVersion = row.integer(9);
}

// Resets a statement when the scope is left, however it is left.
struct Reset {
    sqlite3_stmt* statement;
    ~Reset() { sqlite3_reset(statement); }
};

// Steps `statement`, bound with the user ID `id`, through its rows, handing each to `each`.
template <typename Each> void forEachRow(sqlite3* handle, sqlite3_stmt* statement, qint64 id, Each each) {
    const Reset reset{statement};
    sqlite3_bind_int64(statement, 1, id);
    int rc = 0;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        each(StatementRow{statement});
    if (rc != SQLITE_DONE) throw StorageError(std::string("poll: ") + sqlite3_errmsg(handle));
}

} // namespace

void SqliteStorage::writeLastSeen(qint64 id, qint64 nowMs) {
    if (!m_handle) return SqlStorage::writeLastSeen(id, nowMs);
    // Thousands of users a second on a busy server, each written on its own: this skips QtSql's
    // values and their conversions.
    static const char kSql[] = "UPDATE users SET last_seen_ms = ?1 WHERE id = ?2 AND last_seen_ms < ?1";
    sqlite3_stmt* const statement = preparedOnce(m_handle, m_seenStatement, kSql);
    const Reset reset{statement};
    sqlite3_bind_int64(statement, 1, nowMs);
    sqlite3_bind_int64(statement, 2, id);
    if (sqlite3_step(statement) != SQLITE_DONE)
        throw StorageError(std::string("last seen: ") + sqlite3_errmsg(m_handle));
}

std::optional<PollView> SqliteStorage::pollView(qint64 id) {
    ensureOpen();
    if (!m_handle) return SqlStorage::pollView(id);
    // One row per contact in list order (the index hands them out so, without a sort), the
    // user's columns on each; one row with empty contact columns when there is none.
    static const std::string kSql =
        std::string(kPollHead) +
        ", k.id, k.email, k.display_name, k.address, k.online, k.last_seen_ms, c.mutual, c.handle "
        "FROM users u LEFT JOIN contacts c ON c.owner_id = u.id LEFT JOIN users k ON k.id = c.contact_id "
        "WHERE u.id = ? ORDER BY c.added_ms, c.contact_id";
    std::optional<PollView> view;
    forEachRow(m_handle, preparedOnce(m_handle, m_pollStatement, kSql), id, [&](const StatementRow& row) {
        if (!view) readPollHead(view.emplace(), row);
        if (sqlite3_column_type(row.statement, 10) == SQLITE_NULL) return;
        UserRecord contact = readUserColumns(row, 10, Columns::Contact);
        contact.mutual = row.integer(16) != 0;
        contact.handle = row.integer(17);
        view->contacts.append(std::move(contact));
    });
    if (view) overlayPending(*view);
    return view;
}

std::optional<PollView> SqliteStorage::pollHead(qint64 id) {
    ensureOpen();
    if (!m_handle) return SqlStorage::pollHead(id);
    // The user's own row alone, for a list kept in memory, with its TLS mark.
    static const std::string kSql = std::string(kPollHead) + ", " + kSecureMark + " FROM users u WHERE u.id = ?";
    std::optional<PollView> view;
    forEachRow(m_handle, preparedOnce(m_handle, m_headStatement, kSql), id, [&](const StatementRow& row) {
        readPollHead(view.emplace(), row);
        view->signsInSecurely = row.integer(10) != 0;
    });
    if (view) overlayPending(view->user);
    return view;
}

bool SqliteStorage::signsInSecurely(qint64 id) {
    ensureOpen();
    if (!m_handle) return SqlStorage::signsInSecurely(id);
    static const char kSql[] = "SELECT 1 FROM secure_accounts WHERE user_id = ?";
    sqlite3_stmt* const statement = preparedOnce(m_handle, m_secureStatement, kSql);
    const Reset reset{statement};
    sqlite3_bind_int64(statement, 1, id);
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw StorageError(std::string("secure sign-in: ") + sqlite3_errmsg(m_handle));
    return rc == SQLITE_ROW;
}

QList<QStringList> SqliteStorage::migrations() const {
    return withIdentity(QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"), kSqliteSchemaV13);
}

// ---- PostgreSQL --------------------------------------------------------------------------------

PostgresStorage::PostgresStorage(StoreLocation location)
    : SqlStorage(QStringLiteral("QPSQL")), m_location(std::move(location)) {}

void PostgresStorage::openConnection(QSqlDatabase& db) {
    db.setHostName(m_location.host);
    db.setPort(m_location.port);
    db.setUserName(m_location.user);
    db.setPassword(m_location.password);
    db.setDatabaseName(m_location.database);
    db.setConnectOptions(QStringLiteral("connect_timeout=10;application_name=colloqchat-server"));
}

void PostgresStorage::configureConnection() {
    // "already exists, skipping" and the like are no news for a server log.
    execOnce(QStringLiteral("SET client_min_messages TO warning"));
}

QString PostgresStorage::migrationLockStatement() const {
    // Any fixed number shared by all our servers; released with the transaction.
    return QStringLiteral("SELECT pg_advisory_xact_lock(19991)");
}

QString PostgresStorage::registrationLockStatement() const {
    return QStringLiteral("SELECT pg_advisory_xact_lock(19992)");
}

QString PostgresStorage::emailLockStatement() const {
    return QStringLiteral("SELECT pg_advisory_xact_lock(19993, hashtext(?))");
}

QList<QStringList> PostgresStorage::migrations() const {
    return withIdentity(QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"), {});
}

} // namespace chatserver
