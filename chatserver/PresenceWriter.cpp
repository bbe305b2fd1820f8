#include "chatserver/PresenceWriter.h"

#include "chatserver/ChatService.h"
#include "chatserver/net/Logging.h"
#include "chatserver/store/PendingPresence.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

namespace chatserver {

namespace {
constexpr int kCheckMs = 1000;

void warnUnwritten(const StorageError& failure) {
    qCWarning(lcServer).noquote() << "cannot write the last-seen times:" << failure.what();
}
} // namespace

PresenceWriter::PresenceWriter(Storage& storage, ChatService& service, bool first, QObject* parent)
    : QObject(parent), m_storage(storage), m_service(service), m_timer(new QTimer(this)), m_first(first) {
    m_timer->setInterval(kCheckMs);
    connect(m_timer, &QTimer::timeout, this, [this] { storeLost(); });
}

void PresenceWriter::start() {
    m_timer->start();
}

void PresenceWriter::flushAll() {
    if (storeLost()) return;
    try {
        m_storage.flushPresence();
    } catch (const StorageError& failure) {
        warnUnwritten(failure);
    }
}

bool PresenceWriter::storeLost() {
    if (m_lost) return true;
    const QString reason = m_storage.lostReason();
    if (reason.isEmpty()) return false;
    m_lost = true;
    m_service.setStoreLost(true);
    if (m_first)
        qCCritical(lcServer).noquote() << reason
                                       << "- nothing written from now on would survive, so every request is refused; "
                                          "put the store back (or start afresh) and restart the server";
    return true;
}

PresenceFlusher::PresenceFlusher(StoreLocation store, std::shared_ptr<PendingPresence> pending)
    : m_store(std::move(store)), m_pending(std::move(pending)), m_thread([this] { run(); }) {}

PresenceFlusher::~PresenceFlusher() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void PresenceFlusher::run() {
    // The connection is opened, used and closed on this thread, as the store's connections must be.
    // Opened at once, while the store is surely the one the server opened (opened later, a
    // deleted file would be made afresh); again at a round, when it could not be.
    std::unique_ptr<Storage> storage;
    open(storage);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const bool stopping = m_wake.wait_for(lock, kEvery, [this] { return m_stop.load(); });
        lock.unlock();
        writeRound(storage); // once more on stopping
        if (stopping) break;
        lock.lock();
    }
}

bool PresenceFlusher::open(std::unique_ptr<Storage>& storage) {
    if (storage) return true;
    try {
        storage = openStorage(m_store);
        storage->sharePendingPresence(m_pending);
        return true;
    } catch (const StorageError& failure) {
        warnUnwritten(failure);
        return false;
    }
}

void PresenceFlusher::writeRound(std::unique_ptr<Storage>& storage) {
    if (m_pending->size() == 0 || !open(storage)) return;
    try {
        // A lost file takes no more writes: the loops refuse everything and say why.
        if (!storage->lostReason().isEmpty()) return;
        // What was noted up to now, oldest first; what polls note meanwhile waits for the next
        // round rather than make a commit of its own.
        qsizetype left = m_pending->size();
        const qsizetype noted = left;
        int commits = 0;
        qint64 longestUs = 0;
        for (; left > 0 && commits < kMostCommits; ++commits) {
            const qsizetype rows = std::min(left, m_perCommit);
            QElapsedTimer took;
            took.start();
            storage->flushPresence(rows);
            const qint64 tookUs = std::max<qint64>(took.nsecsElapsed() / 1000, 1);
            longestUs = std::max(longestUs, tookUs);
            left -= rows;
            // Sized by full commits only: a small one says little about a large one's pages.
            if (rows == m_perCommit || tookUs > qint64(kCommitTarget.count()) * 1000)
                m_perCommit = std::clamp<qsizetype>(rows * qint64(kCommitTarget.count()) * 1000 / tookUs,
                                                    kLeastPerCommit, kMostPerCommit);
        }
        qCDebug(lcServer).noquote() << "wrote" << noted << "last-seen times in" << commits << "commits, the longest"
                                    << longestUs << "us, next" << m_perCommit << "a commit";
    } catch (const StorageError& failure) {
        // What was taken for the failed transaction stays pending for the next round.
        warnUnwritten(failure);
    }
}

} // namespace chatserver
