#pragma once
// Copies what the SQLite store's write-ahead log holds back into the database file, on a thread
// and a connection of its own. SQLite's default does it in whichever commit finds the log over
// a thousand pages, so every so often one exchange waited for the copy and two fsyncs, and the
// bigger the store the more pages each second's last-seen times dirtied and the more often that
// was. A checkpoint of this kind waits for no reader and no writer, and they do not wait for it.
#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

struct sqlite3;

namespace chatserver {

class SqliteCheckpointer {
public:
    // Takes over checkpointing from the connection `serving` (which keeps running on the caller's
    // thread) of the database at `path`.
    SqliteCheckpointer(sqlite3* serving, QByteArray path);
    ~SqliteCheckpointer(); // the serving connection checkpoints by itself again
    SqliteCheckpointer(const SqliteCheckpointer&) = delete;
    SqliteCheckpointer& operator=(const SqliteCheckpointer&) = delete;

    // Pages the log may gain before a checkpoint is started, and hold before the serving
    // connection makes one itself. A few seconds of polls as fast as they come, in a store of
    // half a million users, put 16,000 pages behind the thread's copying, and the serving
    // connection's own checkpoints then held every exchange for tens of milliseconds; 64,000
    // (256 MiB of log) leave the thread time to catch up.
    static constexpr int kPages = 1000;
    static constexpr int kMostPages = 64 * kPages;
    // Checkpoints in a row while commits keep coming in, and the pause before trying again.
    static constexpr int kRounds = 8;
    static constexpr std::chrono::milliseconds kRetry{50};
    // How often the reader slots' locks no connection here uses are given back to other
    // processes (SqliteReaderLocks.h).
    static constexpr std::chrono::seconds kGiveBack{1};

private:
    static int afterCommit(void* self, sqlite3* connection, const char* database, int pages);
    void run();

    sqlite3* m_serving;
    QByteArray m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Set under m_mutex, so that no wake-up is lost between the test and the wait, and atomic as
    // well: ThreadSanitizer once took the destructor's store to m_stop for a race with the wait.
    std::atomic<bool> m_due{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_copied{0}; // pages of the log in the database file as of the last checkpoint
    std::thread m_thread;
};

} // namespace chatserver
