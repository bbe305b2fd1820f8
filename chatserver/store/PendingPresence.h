#pragma once
// The last-seen times polls moved and the store has not been told yet (see Storage::touch), for
// every store connection of one server: its serving loops note them here, their reads see them
// at once, and one connection at a time writes them out (the server's writer thread every second,
// the loops when they stop), so that the loops' connections never write them while serving.
#include <QHash>
#include <QList>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>

namespace chatserver {

struct UserRecord;

class PendingPresence {
public:
    void touch(qint64 id, qint64 nowMs);
    // Moves the record's last-seen time up to the one noted, if later.
    void overlay(UserRecord& user) const;
    void overlay(UserRecord& user, QList<UserRecord>& more) const;
    // The latest time known for `id`, or 0.
    qint64 latest(qint64 id) const;
    qsizetype size() const { return m_size.load(std::memory_order_relaxed); }

    // One writer at a time: the batch it is to write (up to `maxUsers`, 0: all), oldest first,
    // taken out only by written(), so that a failed write keeps them for the next try. Empty
    // while another writer is at it.
    struct Entry {
        qint64 id;
        qint64 seenMs;
    };
    QList<Entry> beginWriting(qsizetype maxUsers);
    // The batch is in the store (`count` entries), or not (0); either way the next writer may go.
    void written(qsizetype count);

    // How long after the time last written for a user a later one is written again. Well under
    // the presence time-out less a client's poll period (340 s and about 155 s), so that a user
    // who keeps polling never looks gone to another server on the same store.
    static constexpr qint64 kRewriteAfterMs = 60'000;

private:
    // How many entries the writer moves while holding the lock, so that a poll waits for it only
    // microseconds however large the batch.
    static constexpr std::size_t kSlice = 256;

    // Before a batch of `count` is moved to the times written: a new generation every few
    // minutes, or a larger table; gives back what the shared tables let go.
    QHash<qint64, qint64> makeRoomToRemember(qsizetype count);
    qint64 latestLocked(qint64 id) const;
    qint64 writtenLocked(qint64 id) const; // the latest time this server wrote for `id`, or 0

    mutable std::mutex m_mutex;
    QHash<qint64, qint64> m_seen; // user ID -> last-seen time not written yet
    // Times written lately, still known here: a list kept in memory overlays them rather than
    // read the store again to learn that a contact polled this server a minute ago. Two
    // generations, the older dropped as a whole every few minutes. Changed by the writer alone.
    QHash<qint64, qint64> m_written;
    QHash<qint64, qint64> m_writtenBefore;
    std::chrono::steady_clock::time_point m_writtenSince = std::chrono::steady_clock::now();
    std::deque<qint64> m_order; // the same IDs, in the order they came
    std::atomic<qsizetype> m_size{0};
    bool m_writing = false;
    QList<Entry> m_batch; // what the writer took; no one else touches it
};

} // namespace chatserver
