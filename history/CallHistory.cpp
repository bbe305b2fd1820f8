#include "history/CallHistory.h"

#include "platform/PrivateFiles.h"
#include "platform/vb.h"
#include "wire/PeerText.h"

#include <QFile>
#include <sqlite3.h>

namespace history {

namespace {

using Outcome = CallActivity::Outcome;

// Stored as words, so the file reads the same whatever order the enumeration takes.
constexpr std::pair<Outcome, const char*> kOutcomeWords[] = {{Outcome::Answered, "answered"},
                                                             {Outcome::Missed, "missed"},
                                                             {Outcome::Declined, "declined"},
                                                             {Outcome::Cancelled, "cancelled"},
                                                             {Outcome::Failed, "failed"},
                                                             {Outcome::Refused, "refused"},
                                                             {Outcome::Busy, "busy"},
                                                             {Outcome::Unanswered, "unanswered"},
                                                             {Outcome::Unreachable, "unreachable"},
                                                             {Outcome::NetworkError, "network error"}};

const char* wordOf(Outcome outcome) {
    for (const auto& [value, word] : kOutcomeWords)
        if (value == outcome) return word;
    return "failed";
}

std::optional<Outcome> outcomeOf(const unsigned char* word) {
    if (!word) return std::nullopt;
    for (const auto& [value, text] : kOutcomeWords)
        if (qstrcmp(reinterpret_cast<const char*>(word), text) == 0) return value;
    return Outcome::Failed;
}

// A peer's text as one plain line of bounded length.
QString field(const QString& text) {
    return wire::cleanPeerText(text, CallHistory::kMaxFieldChars);
}

// One prepared statement, finalized when it goes out of scope.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return m_stmt != nullptr; }
    Statement& bind(int index, qint64 value) {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    Statement& bind(int index, const QString& text) {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, const char* text) {
        sqlite3_bind_text(m_stmt, index, text, -1, SQLITE_STATIC);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
    qint64 integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    bool isNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    QString text(int column) const {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column)),
                                 sqlite3_column_bytes(m_stmt, column));
    }
    const unsigned char* raw(int column) const { return sqlite3_column_text(m_stmt, column); }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

constexpr const char* kColumns =
    "id, started, connected, ended, incoming, outcome, name, email, address, seen, repeats, contact, security";

CallRecord recordAt(const Statement& row) {
    CallRecord record;
    record.id = row.integer(0);
    record.started = QDateTime::fromMSecsSinceEpoch(row.integer(1));
    if (!row.isNull(2) && !row.isNull(3)) record.seconds = qMax<qint64>(0, (row.integer(3) - row.integer(2)) / 1000);
    record.incoming = row.integer(4) != 0;
    record.outcome = outcomeOf(row.raw(5));
    record.name = row.text(6);
    record.email = row.text(7);
    record.address = row.text(8);
    record.seen = row.integer(9) != 0;
    record.repeats = int(qMax<qint64>(1, row.integer(10)));
    record.contact = row.integer(11) != 0;
    record.security = row.text(12);
    return record;
}

} // namespace

QString outcomeText(const std::optional<CallActivity::Outcome>& outcome) {
    if (!outcome) return QStringLiteral("In progress");
    switch (*outcome) {
    case Outcome::Answered:
        return QStringLiteral("Answered");
    case Outcome::Missed:
        return QStringLiteral("Missed");
    case Outcome::Declined:
        return QStringLiteral("Declined");
    case Outcome::Cancelled:
        return QStringLiteral("Cancelled");
    case Outcome::Refused:
        return QStringLiteral("Refused");
    case Outcome::Busy:
        return QStringLiteral("Busy");
    case Outcome::Unanswered:
        return QStringLiteral("No answer");
    case Outcome::Unreachable:
        return QStringLiteral("Unreachable");
    case Outcome::NetworkError:
        return QStringLiteral("Network error");
    case Outcome::Failed:
        break;
    }
    return QStringLiteral("Failed");
}

CallHistory::CallHistory(const QString& path, int maxRows) : m_maxRows(qMax(1, maxRows)) {
    // Who called whom is the user's business only: the file is made (or narrowed) to 0600 before
    // SQLite opens it, and SQLite gives its journals the file's own mode.
    privatefiles::prepareFile(path);
    for (const char* journal : {"-wal", "-shm"})
        privatefiles::narrowFile(path + QLatin1String(journal));
    const QByteArray file = QFile::encodeName(path);
    if (sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        fail("open");
        return;
    }
    sqlite3_busy_timeout(m_db, 1000);
    // The write-ahead log with a sync at every commit: a finished call is on disk once recorded.
    const bool ready =
        exec("PRAGMA journal_mode=WAL") && exec("PRAGMA synchronous=FULL") &&
        exec("CREATE TABLE IF NOT EXISTS calls(id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " started INTEGER NOT NULL, connected INTEGER, ended INTEGER,"
             " incoming INTEGER NOT NULL, outcome TEXT, name TEXT NOT NULL,"
             " email TEXT NOT NULL, address TEXT NOT NULL, seen INTEGER NOT NULL DEFAULT 0)") &&
        // Files of earlier versions get the columns they lack.
        (hasColumn("repeats") || exec("ALTER TABLE calls ADD COLUMN repeats INTEGER NOT NULL DEFAULT 1")) &&
        (hasColumn("contact") || exec("ALTER TABLE calls ADD COLUMN contact INTEGER NOT NULL DEFAULT 0")) &&
        (hasColumn("security") || exec("ALTER TABLE calls ADD COLUMN security TEXT")) &&
        // Calls a stopped run left open end as what they had become by then.
        exec("UPDATE calls SET outcome = CASE WHEN connected IS NOT NULL THEN 'answered'"
             " WHEN incoming THEN 'missed' ELSE 'failed' END WHERE outcome IS NULL");
    if (!ready) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

CallHistory::~CallHistory() {
    sqlite3_close(m_db);
}

bool CallHistory::hasColumn(const char* name) {
    Statement column(m_db, "SELECT COUNT(*) FROM pragma_table_info('calls') WHERE name = ?");
    return column.bind(1, name).step() == SQLITE_ROW && column.integer(0) > 0;
}

bool CallHistory::exec(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    fail(sql);
    return false;
}

void CallHistory::fail(const char* what) {
    m_error = QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "out of memory") + QStringLiteral(" (") +
              QString::fromUtf8(what).section(QLatin1Char(' '), 0, 1) + QLatin1Char(')');
}

qint64 CallHistory::insert(const CallActivity& activity, qint64 now) {
    Statement add(m_db, "INSERT INTO calls(started, incoming, name, email, address, contact) VALUES(?, ?, ?, ?, ?, ?)");
    add.bind(1, now).bind(2, activity.incoming ? 1 : 0).bind(6, activity.contact ? 1 : 0);
    add.bind(3, field(activity.name)).bind(4, field(activity.email)).bind(5, field(activity.address));
    if (add.step() != SQLITE_DONE) {
        fail("insert");
        return 0;
    }
    const qint64 id = sqlite3_last_insert_rowid(m_db);
    trim();
    return id;
}

void CallHistory::trim() {
    // Strangers' rows go first, the oldest of them; contacts' rows only make room for each other.
    for (const char* sql : {"DELETE FROM calls WHERE id IN (SELECT id FROM calls WHERE contact = 0 ORDER BY id"
                            " LIMIT max(0, (SELECT COUNT(*) FROM calls) - ?))",
                            "DELETE FROM calls WHERE id <= (SELECT id FROM calls ORDER BY id DESC LIMIT 1 OFFSET ?)"}) {
        Statement drop(m_db, sql);
        if (drop.bind(1, m_maxRows).step() != SQLITE_DONE) fail("trim");
        m_removals += quint64(sqlite3_changes(m_db));
    }
}

void CallHistory::fold(qint64 id, const CallActivity& activity, qint64 now) {
    if (!activity.incoming || activity.outcome == Outcome::Answered || activity.address.isEmpty()) return;
    Statement earlier(m_db, "SELECT id FROM calls WHERE id <> ? AND incoming = 1 AND contact = ? AND address = ?"
                            " AND outcome IN ('missed', 'declined', 'refused') AND started >= ?"
                            " ORDER BY id DESC LIMIT 1");
    earlier.bind(1, id).bind(2, activity.contact ? 1 : 0).bind(3, field(activity.address)).bind(4, now - kFoldMs);
    if (earlier.step() != SQLITE_ROW) return;
    // The latest call's row stays, on top, and counts the calls of the row it takes in.
    const qint64 from = earlier.integer(0);
    Statement count(m_db, "UPDATE calls SET repeats = repeats + (SELECT repeats FROM calls WHERE id = ?) WHERE id = ?");
    Statement drop(m_db, "DELETE FROM calls WHERE id = ?");
    if (count.bind(1, from).bind(2, id).step() != SQLITE_DONE || drop.bind(1, from).step() != SQLITE_DONE) {
        fail("fold");
        return;
    }
    ++m_removals;
}

std::optional<CallRecord> CallHistory::record(const CallActivity& activity) {
    if (!m_db) return std::nullopt;
    m_error.clear();
    // One transaction, one sync to disk, for all a report changes.
    if (!exec("BEGIN IMMEDIATE")) return std::nullopt;
    const std::optional<CallRecord> written = write(activity);
    if (m_error.isEmpty() && exec("COMMIT")) return written;
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    // The row of a call that could not start is made when the call ends.
    if (activity.phase == CallActivity::Phase::Ringing || activity.phase == CallActivity::Phase::Placing)
        m_open.remove(activity.call);
    return std::nullopt;
}

std::optional<CallRecord> CallHistory::write(const CallActivity& activity) {
    const qint64 now = vb::Now().toMSecsSinceEpoch();
    qint64 id = m_open.value(activity.call);
    switch (activity.phase) {
    case CallActivity::Phase::Ringing:
    case CallActivity::Phase::Placing:
        if (id == 0) id = insert(activity, now);
        if (id != 0) m_open.insert(activity.call, id);
        break;
    case CallActivity::Phase::Connected: {
        if (id == 0) return std::nullopt;
        Statement update(m_db, "UPDATE calls SET connected = ? WHERE id = ?");
        if (update.bind(1, now).bind(2, id).step() != SQLITE_DONE) fail("update");
        writeSecurity(activity, id);
        break;
    }
    case CallActivity::Phase::Ended: {
        m_open.remove(activity.call);
        // A call turned away at once has no row yet, nor has one whose start could not be written.
        if (id == 0) id = insert(activity, now);
        if (id == 0) return std::nullopt;
        fold(id, activity, now);
        Statement update(m_db, "UPDATE calls SET ended = ?, outcome = ? WHERE id = ?");
        if (update.bind(1, now).bind(2, wordOf(activity.outcome)).bind(3, id).step() != SQLITE_DONE) fail("update");
        writeSecurity(activity, id);
        break;
    }
    }
    return id == 0 ? std::nullopt : fetch(id);
}

void CallHistory::writeSecurity(const CallActivity& activity, qint64 id) {
    if (activity.security.isEmpty()) return;
    Statement update(m_db, "UPDATE calls SET security = ? WHERE id = ?");
    if (update.bind(1, field(activity.security)).bind(2, id).step() != SQLITE_DONE) fail("update");
}

std::optional<CallRecord> CallHistory::fetch(qint64 id) const {
    Statement row(m_db, (QByteArray("SELECT ") + kColumns + " FROM calls WHERE id = ?").constData());
    if (row.bind(1, id).step() != SQLITE_ROW) return std::nullopt;
    return recordAt(row);
}

std::vector<CallRecord> CallHistory::records() const {
    std::vector<CallRecord> all;
    if (!m_db) return all;
    Statement rows(m_db, (QByteArray("SELECT ") + kColumns + " FROM calls ORDER BY id DESC LIMIT ?").constData());
    rows.bind(1, m_maxRows);
    while (rows.step() == SQLITE_ROW)
        all.push_back(recordAt(rows));
    return all;
}

int CallHistory::unseenMissed() const {
    if (!m_db) return 0;
    Statement count(m_db, "SELECT COUNT(*) FROM calls WHERE outcome = 'missed' AND seen = 0");
    return count.step() == SQLITE_ROW ? int(count.integer(0)) : 0;
}

void CallHistory::markAllSeen() {
    if (m_db) exec("UPDATE calls SET seen = 1 WHERE seen = 0 AND outcome = 'missed'");
}

} // namespace history
