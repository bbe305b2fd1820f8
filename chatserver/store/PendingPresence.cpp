#include "chatserver/store/PendingPresence.h"

#include "chatserver/store/Storage.h"

#include <algorithm>
#include <utility>

namespace chatserver {

void PendingPresence::touch(qint64 id, qint64 nowMs) {
    const std::lock_guard lock(m_mutex);
    const auto it = m_seen.find(id);
    if (it != m_seen.end()) {
        it.value() = std::max(it.value(), nowMs);
        return;
    }
    // Written lately, the time is not written again: the store's time of a user who polls far
    // more often than a client does (a bench, a client restarted over and over, a caller who
    // has an account's e-mail address and floods) stays up to kRewriteAfterMs behind, and costs
    // a write per user and minute instead of one per poll. Presence cannot tell: a user counts
    // as gone only the presence time-out after that time, minutes later, and its next regular
    // poll writes again.
    if (const qint64 stored = writtenLocked(id); stored > 0 && nowMs - stored < kRewriteAfterMs) return;
    m_seen.insert(id, nowMs);
    m_order.push_back(id);
    m_size.store(m_seen.size(), std::memory_order_relaxed);
}

qint64 PendingPresence::writtenLocked(qint64 id) const {
    qint64 stored = 0;
    for (const QHash<qint64, qint64>* times : {&m_written, &m_writtenBefore})
        if (const auto it = times->constFind(id); it != times->constEnd()) stored = std::max(stored, it.value());
    return stored;
}

qint64 PendingPresence::latestLocked(qint64 id) const {
    return std::max(m_seen.value(id), writtenLocked(id));
}

qint64 PendingPresence::latest(qint64 id) const {
    const std::lock_guard lock(m_mutex);
    return latestLocked(id);
}

void PendingPresence::overlay(UserRecord& user) const {
    const std::lock_guard lock(m_mutex);
    user.lastSeenMs = std::max(user.lastSeenMs, latestLocked(user.id));
}

void PendingPresence::overlay(UserRecord& user, QList<UserRecord>& more) const {
    const std::lock_guard lock(m_mutex);
    user.lastSeenMs = std::max(user.lastSeenMs, latestLocked(user.id));
    for (UserRecord& record : more)
        if (const qint64 seen = latestLocked(record.id); seen > record.lastSeenMs) record.lastSeenMs = seen;
}

QList<PendingPresence::Entry> PendingPresence::beginWriting(qsizetype maxUsers) {
    std::size_t count = 0;
    {
        const std::lock_guard lock(m_mutex);
        if (m_writing || m_order.empty()) return {};
        m_writing = true;
        count = maxUsers > 0 ? std::min(m_order.size(), std::size_t(maxUsers)) : m_order.size();
    }
    // Taken from the front of the queue (a walk over the hash from its start would first pass
    // over the places emptied by every batch before, which made a backlog cost its square), a
    // slice at a time: the polls of every loop take this lock. Nothing but the writer removes
    // from the queue or the hash, so the front stays put between the slices.
    m_batch.clear();
    m_batch.reserve(qsizetype(count));
    for (std::size_t i = 0; i < count;) {
        const std::lock_guard lock(m_mutex);
        for (const std::size_t end = std::min(count, i + kSlice); i < end; ++i)
            m_batch.append({m_order[i], m_seen.value(m_order[i])});
    }
    return m_batch;
}

void PendingPresence::written(qsizetype count) {
    count = std::min(count, m_batch.size());
    // Whatever leaves the shared tables is freed after the lock is let go.
    QHash<qint64, qint64> spare = makeRoomToRemember(count);
    for (qsizetype i = 0; i < count;) {
        const std::lock_guard lock(m_mutex);
        // The batch is the front of the queue: nothing but a writer takes from there.
        for (const qsizetype end = std::min(count, i + qsizetype(kSlice)); i < end; ++i) {
            m_order.pop_front();
            const auto it = m_seen.find(m_batch[i].id);
            // A poll in another loop moved the time on while the batch was written: it waits for
            // the next one, at the back of the queue.
            if (it.value() > m_batch[i].seenMs)
                m_order.push_back(m_batch[i].id);
            else {
                m_written.insert(it.key(), it.value());
                m_seen.erase(it);
            }
        }
        m_size.store(m_seen.size(), std::memory_order_relaxed);
    }
    const std::lock_guard lock(m_mutex);
    m_writing = false;
    m_batch.clear();
}

QHash<qint64, qint64> PendingPresence::makeRoomToRemember(qsizetype count) {
    // Only the writer holding the batch changes the tables of times written, so it reads them
    // here without the lock, and builds their larger successor outside it too: the polls of every
    // loop wait for this lock, and a table of a few hundred thousand times grown in place (every
    // time it doubles) held them for milliseconds.
    constexpr auto kKeepWritten = std::chrono::minutes(6);
    if (const auto now = std::chrono::steady_clock::now(); now - m_writtenSince > kKeepWritten) {
        QHash<qint64, qint64> next;
        next.reserve(m_written.size() + count); // the next generation will be about as large
        m_writtenSince = now;
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_writtenBefore, std::exchange(m_written, std::move(next)));
    }
    if (m_written.size() + count <= m_written.capacity()) return {};
    QHash<qint64, qint64> grown;
    grown.reserve(2 * (m_written.size() + count));
    for (auto it = m_written.cbegin(); it != m_written.cend(); ++it)
        grown.insert(it.key(), it.value());
    const std::lock_guard lock(m_mutex);
    m_written.swap(grown);
    return grown;
}

} // namespace chatserver
