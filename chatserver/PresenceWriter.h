#pragma once
// Writes the last-seen times a serving loop's polls left in memory (every second a few users per
// transaction, the rest as soon as the loop is free again, and all of them on stopping), and
// looks each second whether the store's file is still where it was opened.
#include <QObject>

class QTimer;

namespace chatserver {

class ChatService;
class Storage;

class PresenceWriter : public QObject {
    Q_OBJECT
public:
    // `speaks`: this loop's writer is the one that tells the log when the store is lost.
    PresenceWriter(Storage& storage, ChatService& service, bool speaks, QObject* parent = nullptr);
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
    bool m_speaks;
    bool m_lost = false;
};

} // namespace chatserver
