#include "chatserver/store/SqliteCheckpointer.h"
#include "chatserver/store/SqliteReaderLocks.h"

#include <QLoggingCategory>
#include <sqlite3.h>

namespace chatserver {

namespace {
Q_LOGGING_CATEGORY(lcCheckpoint, "colloq.server.checkpoint")
} // namespace

SqliteCheckpointer::SqliteCheckpointer(sqlite3* serving, QByteArray path)
    : m_serving(serving), m_path(std::move(path)), m_thread([this] { run(); }) {
    // Replaces the automatic checkpoint, which is itself such a hook.
    sqlite3_wal_hook(m_serving, &SqliteCheckpointer::afterCommit, this);
}

SqliteCheckpointer::~SqliteCheckpointer() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
    sqlite3_wal_autocheckpoint(m_serving, kPages);
}

int SqliteCheckpointer::afterCommit(void* self, sqlite3* connection, const char* database, int pages) {
    auto* checkpointer = static_cast<SqliteCheckpointer*>(self);
    // Counted from the last checkpoint: the log keeps its length until a writer starts it over.
    const int copied = checkpointer->m_copied;
    if (pages - (pages >= copied ? copied : 0) < kPages) return SQLITE_OK;
    // Without a thread that could do them, or while commits come faster than it copies them,
    // the serving connection does them, as by default: the log must not grow without end.
    // What the hook returns is what the commit reports, and the commit is done either way.
    if (checkpointer->m_failed || pages >= kMostPages) {
        sqlite3_wal_checkpoint(connection, database);
        return SQLITE_OK;
    }
    {
        const std::lock_guard<std::mutex> lock(checkpointer->m_mutex);
        checkpointer->m_due = true;
    }
    checkpointer->m_wake.notify_one();
    return SQLITE_OK;
}

void SqliteCheckpointer::run() {
    sqlite3* connection = nullptr;
    if (sqlite3_open_v2(m_path.constData(), &connection, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        qCWarning(lcCheckpoint).noquote() << "cannot open the store for checkpoints:" << sqlite3_errmsg(connection);
        sqlite3_close(connection);
        m_failed = true;
        return;
    }
    // A connection finds the log only once it has read something.
    const auto findLog = [connection] {
        sqlite3_exec(connection, "SELECT 1 FROM sqlite_schema LIMIT 1", nullptr, nullptr, nullptr);
    };
    findLog();
    std::unique_lock<std::mutex> lock(m_mutex);
    bool behind = false; // the last checkpoint left pages of the log uncopied
    for (;;) {
        // Behind, it tries again soon: bursts of commits (the last-seen times, every second)
        // leave gaps in which it can catch up, and only a log that is all in the file is started
        // over by the next commit instead of growing on.
        const auto due = [this] { return m_due || m_stop; };
        if (!m_wake.wait_for(lock, behind ? std::chrono::milliseconds(kRetry) : kGiveBack, due) && !behind) {
            lock.unlock();
            giveBackIdleSqliteReaderLocks();
            lock.lock();
            continue;
        }
        if (m_stop) break;
        m_due = false;
        lock.unlock();
        behind = false;
        // Again while commits came in meanwhile.
        for (int round = 0; round < kRounds; ++round) {
            int pages = 0;
            int copied = 0;
            const int rc = sqlite3_wal_checkpoint_v2(connection, nullptr, SQLITE_CHECKPOINT_PASSIVE, &pages, &copied);
            if (rc == SQLITE_OK && pages < 0) { // no log found yet (the first read was refused)
                findLog();
                continue;
            }
            m_copied = copied;
            if (rc != SQLITE_OK && rc != SQLITE_BUSY)
                qCWarning(lcCheckpoint).noquote() << "checkpoint failed:" << sqlite3_errmsg(connection);
            behind = rc == SQLITE_BUSY || (rc == SQLITE_OK && copied < pages);
            if (!behind) break;
        }
        lock.lock();
    }
    lock.unlock();
    sqlite3_close(connection);
}

} // namespace chatserver
