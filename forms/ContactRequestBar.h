#pragma once
// The strip under the user list that tells of users who have added this one and are not added
// back: one at a time, "<name> (<e-mail>) wants to add you as a contact", with Add back and
// Ignore. Each request is told once in a session, however often the server repeats it.
#include "wire/ContactRequests.h"

#include <QFrame>
#include <QSet>
#include <deque>

class QLabel;
class QPushButton;

class ContactRequestBar : public QFrame {
    Q_OBJECT
public:
    explicit ContactRequestBar(QWidget* parent = nullptr);

    // The requests the server lists now (names and addresses already fit to be shown): those not
    // told yet join the queue, and queued ones it no longer lists leave it.
    void offer(const QList<wire::ContactRequestEntry>& asking);
    // A session keeps no more than these waiting to be told, and remembers no more than
    // kMaxRemembered as told; a server that lists more is not followed further.
    static constexpr qsizetype kMaxQueued = 20;
    static constexpr qsizetype kMaxRemembered = 2000;

    QLabel* lblRequest = nullptr;
    QPushButton* cmdAddBack = nullptr;
    QPushButton* cmdIgnore = nullptr;

signals:
    void addBackRequested(const wire::ContactRequestEntry& entry);
    void ignoreRequested(const wire::ContactRequestEntry& entry);

private:
    // The one shown is answered: the next one, or the strip hides.
    void answered(bool addBack);
    void showFirst();

    std::deque<wire::ContactRequestEntry> m_queue;
    QSet<QString> m_told;
};
