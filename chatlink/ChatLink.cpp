#include "chatlink/ChatLink.h"

#include "BuildConfig.h"
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "core/ErrorLog.h"
#include "core/basEncrypt_Decrypt.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "wire/MessageCodes.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <limits>

using namespace basMain;

namespace chatlink {

namespace {

// tmrServerCall's interval tells its tick which step it runs.
constexpr int kDesignStep = 25;
constexpr int kCloseStep = 21;       // close the connection whose reply has been handled
constexpr int kEndLogOffStep = 2000; // end the sign-off wait
constexpr int kIdleStep = 25000;     // nothing left to do

// Every 31st tick of tmrUpdateUserOnLine polls the server: after a switch to the alternate
// server the next poll goes out two ticks later.
constexpr qint16 kTicksPerPoll = 30;
constexpr int kPollTickMs = 5000;
// A probe of the chat server that has not connected by then has failed.
constexpr int kProbeWaitMs = 10000;

QString stepText(const char* procedure, int step) {
    return QString::fromLatin1(procedure) + QLatin1Char('[') + QString::number(step) + QLatin1Char(']');
}

bool changesContacts(const QString& request) {
    return wire::isRequest(request, wire::Code::AddContact) || wire::isRequest(request, wire::Code::RemoveContact);
}

} // namespace

ChatLink::ChatLink(QObject* parent) : QObject(parent), m_contacts(new ContactsModel(this)) {
    m_serverCall = new QTimer(this);
    m_serverCall->setObjectName(QStringLiteral("tmrServerCall"));
    m_serverCall->setInterval(kDesignStep);
    connect(m_serverCall, &QTimer::timeout, this,
            [this] { trySkip(QStringLiteral("tmrServerCall_Timer"), [this] { tmrServerCall_Timer(); }); });
    m_poll = new QTimer(this);
    m_poll->setObjectName(QStringLiteral("tmrUpdateUserOnLine"));
    m_poll->setInterval(kPollTickMs);
    connect(m_poll, &QTimer::timeout, this,
            [this] { trySkip(QStringLiteral("tmrUpdateUserOnLine_Timer"), [this] { tmrUpdateUserOnLine_Timer(); }); });
    m_requestWait = new QTimer(this);
    m_requestWait->setSingleShot(true);
    m_requestWait->setInterval(kRequestWaitMs);
    connect(m_requestWait, &QTimer::timeout, this, [this] {
        // The server left the open exchange hanging: the waiting request takes its connection.
        if (g_blnLogOffPending || m_waiting.empty()) return;
        trySkip(QStringLiteral("sendWaitingRequest"), [this] {
            socket().CloseSocket(socket().currentHandle());
            g_lngChatSocketHandle = 0;
            sendWaitingRequest();
        });
    });
}

void ChatLink::probeServer(const QString& host, quint16 port) {
    if (!m_probe) {
        m_probe = new QTcpSocket(this);
        // Only that it answers counts: the poll that follows the user's click says the rest.
        connect(m_probe, &QTcpSocket::connected, this, [this] {
            m_probe->abort();
            if (!g_strAltServerBase.isEmpty()) emit serverBack();
        });
        connect(m_probe, &QTcpSocket::errorOccurred, m_probe, &QTcpSocket::abort);
    }
    m_probe->abort();
    m_probe->connectToHost(host, port);
    const quint64 attempt = ++m_probeAttempt;
    QTimer::singleShot(kProbeWaitMs, m_probe, [this, attempt] {
        if (attempt == m_probeAttempt) m_probe->abort();
    });
}

void ChatLink::returnToServer() {
    g_strAltServerBase.clear();
    g_intOnLineTicks = kTicksPerPoll;
    // The outage left every row "unknown": the first log-in answered tells again who waits.
    m_sinceAsked.invalidate();
}

ChatLink::~ChatLink() {
    releaseSocket();
}

void ChatLink::createSocket(ServerTrust* trust) {
    releaseSocket();
    m_socket = std::make_unique<KVOSocket>();
    m_socket->setServerTrust(trust);
    KVOSocket* socket = m_socket.get();
    connect(socket, &KVOSocket::OnConnect, this, [this](qint32 handle) {
        trySkip(QStringLiteral("oMySocket_OnConnect"), [&] { oMySocket_OnConnect(handle); });
    });
    connect(socket, &KVOSocket::OnDataArrival, this, [this](qint32, const QString& chunk, const QString&) {
        trySkip(QStringLiteral("oMySocket_OnDataArrival"), [&] { oMySocket_OnDataArrival(chunk); });
    });
    connect(socket, &KVOSocket::OnClose, this,
            [this] { trySkip(QStringLiteral("oMySocket_OnClose"), [this] { oMySocket_OnClose(); }); });
    connect(socket, &KVOSocket::OnError, this, [this](qint32 number, const QString& description) {
        trySkip(QStringLiteral("oMySocket_OnError"), [&] { oMySocket_OnError(number, description); });
    });
}

void ChatLink::releaseSocket() {
    if (!m_socket) return;
    m_socket->disconnect(this);
    m_socket->setServerTrust(nullptr); // the window's, which may go before the socket does
    // The socket may be the sender of the event whose handler is running: release it later.
    m_socket.release()->deleteLater();
}

KVOSocket& ChatLink::socket() {
    if (!m_socket) vb::raise(vb::kErrObjectNotSet);
    return *m_socket;
}

void ChatLink::oMySocket_OnConnect(qint32 lngSocketHandle) {
    int step = 1;
    try {
        g_lngChatSocketHandle = lngSocketHandle;
        m_reply.reset();
        m_answered.request.clear();
        m_answered.securely = socket().isSecure(lngSocketHandle);
        g_strMsgReceived.clear();
        step = 2;
        // The web socket is a connection of its own: whatever it is waiting for, a chat request
        // always carries the client's address and always goes out scrambled.
        const QString pending = g_strMsgToSend;
        QString request = pending + wire::kSep + g_strMyWanIP;
        step = 3;
        basEncrypt_Decrypt::EncryptText(request);
        // Scrambling runs no events now, but should a handler ever queue a request meanwhile, it is kept.
        if (g_strMsgToSend == pending) g_strMsgToSend = request;
        step = 4;
        // Another exchange started meanwhile and took this connection's place: its request goes
        // instead, and the chat server has not failed, so no error may switch the client over
        // to the alternate server.
        if (g_strMsgToSend != request && socket().currentHandle() != lngSocketHandle) return;
        m_answered.request = pending.section(wire::kSep, 0, 0);
        m_requestText = pending;
        socket().SendData(request, lngSocketHandle);
    } catch (const std::exception& error) {
        logCaught(stepText("oMySocket_OnConnect", step), error);
        emit showStatus();
    }
}

void ChatLink::oMySocket_OnDataArrival(const QString& strDataReceive) {
    int step = 1;
    try {
        // The framer reads the length prefix once, however the reply is split, and completes the
        // reply as soon as the announced number of characters is in.
        const wire::ReplyFramer::Result received = m_reply.feed(strDataReceive);
        if (received.status == wire::ReplyFramer::Status::Malformed) {
            step = 2;
            vb::raise(vb::kErrTypeMismatch);
        }
        if (received.status == wire::ReplyFramer::Status::TooLong) {
            // Nothing of it is read: the connection goes, and the next exchange starts afresh.
            step = 7;
            socket().CloseSocket(socket().currentHandle());
            g_lngChatSocketHandle = 0;
            vb::raise(vb::kErrOverflow, QStringLiteral("Reply longer than ") +
                                            QString::number(wire::ReplyFramer::kMaxReplyChars) +
                                            QStringLiteral(" characters"));
        }
        if (received.status == wire::ReplyFramer::Status::Complete) {
            step = 3;
            g_strMsgReceived = received.payload;
            step = 4;
            if (g_blnLogOffPending) {
                armCloseStep();
                if (g_strAltServerBase.isEmpty()) {
                    emit signOffReplyArrived();
                    fnUseMSGReceived(m_answered);
                    m_answered.request.clear();
                } else {
                    m_serverCall->start();
                }
                return;
            }
            fnUseMSGReceived(m_answered);
            m_answered.request.clear(); // one request, one answer
            step = 5;
            armCloseStep();
            m_serverCall->start();
            afterReply(received.payload);
        }
        step = 6;
        emit showStatus();
    } catch (const std::exception& error) {
        logCaught(stepText("oMySocket_OnDataArrival", step), error);
        emit showStatus();
    }
}

// The step that closes the connection a reply came on, set up but not started: the close comes a
// moment after the reply has been handled.
void ChatLink::armCloseStep() {
    m_serverCall->stop();
    m_serverCall->setInterval(kCloseStep);
    m_closeHandle = g_lngChatSocketHandle;
}

void ChatLink::afterReply(const QString& reply) {
    emit replyHandled(m_requestText, reply);
    if (!wire::isRequest(m_requestText, wire::Code::LogIn) || !m_asksRequests) return;
    if (wire::codeOf(reply.section(wire::kSep, 0, 0)) != wire::Code::LogIn) return;
    if (m_sinceAsked.isValid() && m_sinceAsked.elapsed() < kAskEveryMs) return;
    m_sinceAsked.start();
    // The same proof as the log-in's; it goes once this connection has taken its close step.
    QString ask = m_requestText;
    ask.replace(0, ask.indexOf(wire::kSep), wire::codeText(wire::Code::ContactRequests));
    if (m_waiting.size() < kMaxWaitingRequests && std::find(m_waiting.begin(), m_waiting.end(), ask) == m_waiting.end())
        m_waiting.push_back(ask);
}

void ChatLink::oMySocket_OnClose() {
    if (!m_answered.request.isEmpty()) {
        // Closed with no answer: a server from before the request does that.
        if (wire::codeOf(m_answered.request) == wire::Code::ContactRequests) m_asksRequests = false;
        emit requestUnanswered(m_requestText);
    }
    g_lngChatSocketHandle = 0;
    emit showStatus();
    emit exchangeClosed();
    trySkip(QStringLiteral("sendWaitingRequest"), [this] { sendWaitingRequest(); });
}

void ChatLink::oMySocket_OnError(qint32 Number, const QString& Description) {
    g_lngChatSocketHandle = 0;
    g_blnLogOffPending = false;
    if (Number == KVOSocket::kErrSecureLinkRefused) {
        // The server is not down: someone may be in its way. Nothing goes to the alternate
        // server's pages either (a poll there would carry the ID in the clear); the next poll
        // tries again.
        m_waiting.clear();
        m_requestWait->stop();
        g_strMsgReceived.clear();
        emit showStatus();
        emit secureLinkRefused(Description);
        emit warning(Description);
        return;
    }
    // The chat server cannot be reached: from now on requests go through the alternate server,
    // and the next poll goes out two ticks later.
    emit showStatus();
    g_strAltServerBase = QStringLiteral(COLLOQ_DEFAULT_ALT_SERVER_BASE);
    g_strMsgReceived.clear();
    g_intOnLineTicks = kTicksPerPoll;
    // Requests still waiting for the link go with it: polls go to the alternate server from now on.
    const bool contactChange =
        changesContacts(g_strMsgToSend) || std::any_of(m_waiting.begin(), m_waiting.end(), changesContacts);
    m_waiting.clear();
    m_requestWait->stop();
    emit serverUnreachable(contactChange);
    // The user learns of it: a change to the contacts is lost, the user list goes on another way.
    emit warning(contactChange ? QStringLiteral("The chat server cannot be reached; the contact list was not "
                                                "changed. Try again when the chat server is back.")
                               : QStringLiteral("The chat server cannot be reached; the user list now comes from "
                                                "the alternate server. You will be told when the chat server is "
                                                "back."));
}

void ChatLink::tmrServerCall_Timer() {
    int step = 1;
    try {
        m_serverCall->stop();
        switch (m_serverCall->interval()) {
        case kEndLogOffStep:
            step = 2;
            g_blnLogOffPending = false;
            break;
        case kCloseStep:
            step = 3;
            // Only the connection whose reply armed this step: an exchange started since then
            // keeps its connection (a stale handle is ignored by the socket).
            socket().CloseSocket(m_closeHandle);
            m_serverCall->setInterval(g_blnLogOffPending ? kEndLogOffStep : kIdleStep);
            if (g_lngChatSocketHandle == m_closeHandle) g_lngChatSocketHandle = 0;
            m_closeHandle = 0;
            m_serverCall->start();
            step = 4;
            sendWaitingRequest();
            break;
        default:
            break;
        }
    } catch (const std::exception& error) {
        logCaught(stepText("tmrServerCall_Timer", step), error);
    }
}

void ChatLink::tmrUpdateUserOnLine_Timer() {
    int step = 1;
    try {
        m_poll->stop();
        step = 2;
        if (g_intOnLineTicks <= kTicksPerPoll || g_blnLogOffPending) {
            // Counting stops short of the 16-bit limit; a sign-off never re-arms the timer anyway.
            if (g_intOnLineTicks < std::numeric_limits<qint16>::max()) ++g_intOnLineTicks;
        } else if (m_pollNow) {
            m_pollNow(step);
        }
        step = 7;
        if (!g_blnLogOffPending) m_poll->start();
    } catch (const std::exception& error) {
        logCaught(stepText("tmrUpdateUserOnLine_Timer", step), error);
        if (!g_blnLogOffPending) trySkip({}, [this] { m_poll->start(); });
    }
}

void ChatLink::send(const QString& request) {
    if (!exchangeOpen()) {
        g_strMsgToSend = request;
        socket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
        return;
    }
    // The same request waiting twice would bring the same answer twice.
    if (std::find(m_waiting.begin(), m_waiting.end(), request) != m_waiting.end()) return;
    if (m_waiting.size() >= kMaxWaitingRequests) {
        emit requestDropped();
        emit warning(QStringLiteral("The chat server is slow to answer; the request was not sent. "
                                    "Try again in a moment."));
        return;
    }
    m_waiting.push_back(request);
    if (!m_requestWait->isActive()) m_requestWait->start();
}

bool ChatLink::exchangeOpen() {
    const qint32 handle = socket().currentHandle();
    return handle != 0 && handle != m_closeHandle;
}

void ChatLink::sendWaitingRequest() {
    if (g_blnLogOffPending) m_waiting.clear(); // nothing goes after the sign-off
    if (m_waiting.empty() || exchangeOpen()) return;
    m_requestWait->stop();
    const QString request = m_waiting.front();
    m_waiting.pop_front();
    if (!m_waiting.empty()) m_requestWait->start();
    g_strMsgToSend = request;
    socket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
}

} // namespace chatlink
