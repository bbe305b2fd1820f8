#pragma once
// The last-seen times the serving loops' polls leave in memory (PendingPresence.h), written out
// by a thread with a store connection of its own, and each loop's look, every second, whether the
// store's file is still where it was opened.
//
// The times are written once a second in a few large transactions, off the serving loops:
// written by the first loop in many small commits, each commit made every other connection drop
// its page cache at its next read (SQLite, WAL) and kept the first loop's callers waiting in its
// accept queue while it wrote.
#include "chatserver/store/Storage.h"

#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class QTimer;

namespace chatserver {

class ChatService;
class PendingPresence;

class PresenceWriter : public QObject {
    Q_OBJECT
public:
    // `first`: the first loop's, which tells the log when the store is lost.
    PresenceWriter(Storage& storage, ChatService& service, bool first, QObject* parent = nullptr);
    void start();
    // Writes every time still in memory through this loop's connection (on stopping).
    void flushAll();
    // Whether the store's file is gone or was replaced; once it is, the service refuses
    // everything. True from then on.
    bool storeLost();

private:
    Storage& m_storage;
    ChatService& m_service;
    QTimer* m_timer;
    bool m_first;
    bool m_lost = false;
};

// The thread that writes the times out every second, and once more when it is destroyed.
class PresenceFlusher {
public:
    PresenceFlusher(StoreLocation store, std::shared_ptr<PendingPresence> pending);
    ~PresenceFlusher();
    PresenceFlusher(const PresenceFlusher&) = delete;
    PresenceFlusher& operator=(const PresenceFlusher&) = delete;

    static constexpr std::chrono::milliseconds kEvery{1000};
    // Users per transaction. The more rows a commit changes, the fewer times each page goes to
    // the log, but a registration arriving meanwhile waits for the write lock: a commit is sized
    // to take about kCommitTarget by the time the last one took, between the two bounds. At
    // 500,000 users, where each row is on a page of its own, 8,192 took 100 ms, at 50,000
    // users 30 to 90 ms.
    static constexpr qsizetype kLeastPerCommit = 512;
    static constexpr qsizetype kMostPerCommit = 8192;
    static constexpr std::chrono::milliseconds kCommitTarget{25};
    // Commits per round at most; what is still left waits for the next second (or, on stopping,
    // for the first loop's last write).
    static constexpr int kMostCommits = 64;

private:
    void run();
    // False (and a warning) when the connection is not open and cannot be opened now.
    bool open(std::unique_ptr<Storage>& storage);
    // Writes what is pending, up to kMostCommits transactions.
    void writeRound(std::unique_ptr<Storage>& storage);

    StoreLocation m_store;
    std::shared_ptr<PendingPresence> m_pending;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Set under m_mutex, and atomic as well, as SqliteCheckpointer's: ThreadSanitizer took the
    // destructor's store for a race with the wait's read.
    std::atomic<bool> m_stop{false};
    qsizetype m_perCommit = 2048; // the writer thread's own; a guess until the first full commit
    std::thread m_thread;
};

} // namespace chatserver
