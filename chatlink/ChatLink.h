#pragma once
// The chat link: one short TCP exchange with the chat server per request. It owns the chat socket
// (oMySocket), the framer of the replies, the requests waiting for their turn, the timer that
// closes each exchange a moment after its reply (tmrServerCall), the one that paces the on-line
// poll (tmrUpdateUserOnLine) and the contacts the replies fill; it hands every complete reply to
// fnUseMSGReceived and switches the client to the alternate server when the chat server cannot be
// reached. The window only sends
// requests, says how a poll goes out, and listens to its signals.
#include "chatlink/ChatProtocol.h"
#include "wire/Protocol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <memory>

class KVOSocket;
class QTcpSocket;
class QTimer;
class ServerTrust;

namespace chatlink {

class ContactsModel;

class ChatLink : public QObject {
    Q_OBJECT
public:
    explicit ChatLink(QObject* parent = nullptr);
    ~ChatLink() override;

    // The socket of start-up; a socket still there is dropped first. Its connections go TLS first,
    // judged by `trust` (null: plain TCP only), which must outlive them.
    void createSocket(ServerTrust* trust);
    // Lets the socket go (later, since its own event may be running) and forgets it.
    void releaseSocket();
    bool hasSocket() const { return m_socket != nullptr; }
    // The chat socket; raises 91 once it has been released.
    KVOSocket& socket();

    // The user's contacts, as the replies to its requests leave them.
    ContactsModel& contacts() const { return *m_contacts; }

    // What the reply on the current chat connection answers.
    const basMain::Answered& answered() const { return m_answered; }

    // tmrServerCall: its interval selects the step it runs when it fires (close the connection
    // whose reply has been handled, end the sign-off wait, or nothing).
    QTimer* serverCallTimer() const { return m_serverCall; }
    // tmrUpdateUserOnLine: ticks every 5000 ms, and every 31st tick runs the poll. The poll may
    // raise; `step` is where it got to (the timer's own step numbers, 3 to 6).
    QTimer* pollTimer() const { return m_poll; }
    using Poll = std::function<void(int& step)>;
    void setPoll(Poll poll) { m_pollNow = std::move(poll); }

    // Sends a request on an exchange of its own. The link carries one exchange at a time: while
    // one is open the request waits its turn (kMaxWaitingRequests at most, the same one once), or
    // kRequestWaitMs at most for an exchange the server leaves hanging.
    void send(const QString& request);
    static constexpr int kMaxWaitingRequests = 4;
    static constexpr int kRequestWaitMs = 20000;
    // A request went out on the chat connection and its reply has not been handled yet.
    bool exchangeOpen();
    // Starts the oldest waiting request once no exchange is open; drops them all at sign-off.
    void sendWaitingRequest();
    qsizetype waitingRequests() const { return static_cast<qsizetype>(m_waiting.size()); }

    // While requests go through the alternate server: whether the chat server takes connections
    // again. serverBack() once it does; nothing while it does not.
    void probeServer(const QString& host, quint16 port);
    // Back to the chat server for every request (the user's choice once it answers again); the
    // next poll goes to it at once.
    void returnToServer();

    // Who waits on whom (request 80) is asked after the first log-in answered and after the first
    // one kAskEveryMs or more after the last asking, as long as the server answers it: the server
    // counts it against the look-ups of the user's address, so not at every poll or Refresh. A
    // server that closes on it is not asked again.
    static constexpr qint64 kAskEveryMs = qint64{10} * 60 * 1000;
    bool asksContactRequests() const { return m_asksRequests; }

    // The socket's events, as the socket component names them.
    void oMySocket_OnConnect(qint32 lngSocketHandle);
    void oMySocket_OnDataArrival(const QString& strDataReceive);
    void oMySocket_OnClose();
    void oMySocket_OnError(qint32 Number, const QString& Description);
    void tmrServerCall_Timer();
    void tmrUpdateUserOnLine_Timer();

signals:
    // Something happened on the link the status box may tell of: the box is to be seen.
    void showStatus();
    // The reply to the sign-off arrived, before it is handled.
    void signOffReplyArrived();
    // The connection of an exchange closed; a waiting request goes next.
    void exchangeClosed();
    // The chat server cannot be reached: requests go through the alternate server from now on.
    // `contactChangeLost`: an addition or removal of a contact was among the requests lost.
    void serverUnreachable(bool contactChangeLost);
    // No safe connection could be had and none other was allowed; the text says why.
    void secureLinkRefused(const QString& why);
    // A request was dropped: too many were waiting for a server slow to answer.
    void requestDropped();
    // The chat server takes connections again while the alternate server is in use.
    void serverBack();
    // What the user is to read of the last three, in red in the status box.
    void warning(const QString& text);
    // A reply was handled; `request` is the text it answered (without the client's address).
    void replyHandled(const QString& request, const QString& reply);
    // The server closed the exchange of `request` without answering it.
    void requestUnanswered(const QString& request);

private:
    void armCloseStep();
    // What follows a handled reply: the signal, and request 80 when a log-in's answer calls for it.
    void afterReply(const QString& reply);

    std::unique_ptr<KVOSocket> m_socket;
    ContactsModel* m_contacts = nullptr;
    QTimer* m_serverCall = nullptr;
    QTimer* m_poll = nullptr;
    Poll m_pollNow;
    QTimer* m_requestWait = nullptr;
    QTcpSocket* m_probe = nullptr;
    quint64 m_probeAttempt = 0;
    // The reply being collected on the chat connection.
    wire::ReplyFramer m_reply;
    // The chat connection whose reply armed the close step: a new exchange may start before that
    // step runs, and the step must not close it.
    qint32 m_closeHandle = 0;
    std::deque<QString> m_waiting;
    basMain::Answered m_answered;
    // The request on the current connection, as the window gave it.
    QString m_requestText;
    QElapsedTimer m_sinceAsked; // invalid: ask at the next log-in answered
    bool m_asksRequests = true;
};

} // namespace chatlink
