#include "chatserver/PresenceWriter.h"

#include "chatserver/ChatService.h"
#include "chatserver/net/Logging.h"

#include <QTimer>

namespace chatserver {

namespace {
constexpr int kFlushMs = 1000;
// Users written per transaction by the timer; the rest follow as soon as the loop is free
// again, so that no exchange waits behind a long write. Each commit also makes every other
// serving loop's store connection drop its page cache at its next read, so the batches are not
// small either: a few thousand first polls a second made hundreds of commits of 16.
constexpr qsizetype kBatch = 128;
} // namespace

PresenceWriter::PresenceWriter(Storage& storage, ChatService& service, bool first, QObject* parent)
    : QObject(parent), m_storage(storage), m_service(service), m_timer(new QTimer(this)), m_first(first) {
    m_timer->setInterval(kFlushMs);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (!storeLost() && m_first) flushBatch(kBatch);
    });
}

void PresenceWriter::start() {
    m_timer->start();
}

void PresenceWriter::flushAll() {
    if (!storeLost()) flushBatch(0);
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

void PresenceWriter::flushBatch(qsizetype maxUsers) {
    try {
        if (m_storage.flushPresence(maxUsers) > 0 && maxUsers > 0)
            QTimer::singleShot(0, this, [this] { flushBatch(kBatch); });
    } catch (const StorageError& failure) {
        qCWarning(lcServer).noquote() << "cannot write the last-seen times:" << failure.what();
    }
}

} // namespace chatserver
