#pragma once
// Writes the last-seen times the serving loops' polls left in memory (every second a few users per
// transaction, the rest as soon as the loop is free again, and all of them on stopping), and
// looks each second whether the store's file is still where it was opened. The loops note those
// times in one place (PendingPresence.h) and only the first loop's writer writes them every
// second, so that the loops do not take turns at the store's write lock.
#include <QObject>

class QTimer;

namespace chatserver {

class ChatService;
class Storage;

class PresenceWriter : public QObject {
    Q_OBJECT
public:
    // `first`: the first loop's writer, which writes every second and tells the log when the
    // store is lost; the others write only what is left when their loop stops.
    PresenceWriter(Storage& storage, ChatService& service, bool first, QObject* parent = nullptr);
    void start();
    // Writes every time still in memory (on stopping).
    void flushAll();
    // Whether the store's file is gone or was replaced; once it is, the service refuses
    // everything. True from then on.
    bool storeLost();

private:
    void flushBatch(qsizetype maxUsers); // 0: all

    Storage& m_storage;
    ChatService& m_service;
    QTimer* m_timer;
    bool m_first;
    bool m_lost = false;
};

} // namespace chatserver
