// Chat link of the main window: one TCP exchange per request on oMySocket, the framing of the
// replies, the two timers that pace the link, and the clicks on the user list.
#include "BuildConfig.h"
#include "app/CallPathsLink.h"
#include "app/frmMain.h"
#include "chatlink/ChatProtocol.h"
#include "core/ErrorLog.h"
#include "core/basEncrypt_Decrypt.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "web/WebLookup.h"
#include "wire/MessageCodes.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <limits>

using namespace basMain;

namespace {

// tmrServerCall's interval tells its tick which step it runs.
constexpr int kCloseStep = 21;       // close the connection whose reply has been handled
constexpr int kEndLogOffStep = 2000; // end the sign-off wait
constexpr int kIdleStep = 25000;     // nothing left to do

// Every 31st tick of tmrUpdateUserOnLine polls the server.
constexpr qint16 kTicksPerPoll = 30;

QString stepText(const char* procedure, int step) {
    return QString::fromLatin1(procedure) + QLatin1Char('[') + QString::number(step) + QLatin1Char(']');
}

} // namespace

void frmMain::setUpChatQueue() {
    m_requestWait = new QTimer(this);
    m_requestWait->setSingleShot(true);
    m_requestWait->setInterval(kRequestWaitMs);
    connect(m_requestWait, &QTimer::timeout, this, [this] {
        // The server left the open exchange hanging: the waiting request takes its connection.
        if (g_blnLogOffPending || m_waitingRequests.empty()) return;
        trySkip(QStringLiteral("sendWaitingRequest"), [this] {
            chatSocket().CloseSocket(chatSocket().currentHandle());
            g_lngChatSocketHandle = 0;
            sendWaitingRequest();
        });
    });
    m_refreshPause = new QTimer(this);
    m_refreshPause->setSingleShot(true);
    m_refreshPause->setInterval(kRefreshPauseMs);
    connect(m_refreshPause, &QTimer::timeout, this, [this] { cmdRefresh->setEnabled(true); });
    connect(cmdRefresh, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdRefresh_Click"), [this] { cmdRefresh_Click(); }); });
    auto* refreshKey = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refreshKey, &QShortcut::activated, cmdRefresh, &QPushButton::click);
}

void frmMain::createSocketsForTesting() {
    if (!oMySocket) oMySocket = std::make_unique<KVOSocket>();
    if (!oMySocketWeb) oMySocketWeb = std::make_unique<KVOSocket>();
    attachSockets();
}

void frmMain::oMySocket_OnConnect(qint32 lngSocketHandle) {
    int step = 1;
    try {
        g_lngChatSocketHandle = lngSocketHandle;
        m_chatReply.reset();
        g_strAnsweredRequest.clear();
        g_blnAnsweredSecurely = chatSocket().isSecure(lngSocketHandle);
        g_strMsgReceived.clear();
        step = 2;
        // The web socket is a connection of its own: whatever it is waiting for, a chat request
        // always carries the client's address and always goes out scrambled.
        const QString pending = g_strMsgToSend;
        QString request = pending + wire::kSep + g_strMyWanIP;
        step = 3;
        basEncrypt_Decrypt::EncryptText(request);
        // Scrambling lets events run; a request queued meanwhile by another handler is kept.
        if (g_strMsgToSend == pending) g_strMsgToSend = request;
        step = 4;
        // Another exchange started meanwhile and took this connection's place: its request goes
        // instead, and the chat server has not failed, so no error may switch the client over
        // to the alternate server.
        if (g_strMsgToSend != request && chatSocket().currentHandle() != lngSocketHandle) return;
        g_strAnsweredRequest = pending.section(wire::kSep, 0, 0);
        chatSocket().SendData(request, lngSocketHandle);
    } catch (const std::exception& error) {
        logCaught(stepText("oMySocket_OnConnect", step), error);
        trySkip({}, [this] { txtStatus->setVisible(true); });
    }
}

void frmMain::oMySocket_OnDataArrival(qint32 /*bytesTotal*/, const QString& strDataReceive,
                                      const QString& /*lngSocketHandle*/) {
    int step = 1;
    try {
        // The framer reads the length prefix once, however the reply is split, and completes the
        // reply as soon as the announced number of characters is in.
        const wire::ReplyFramer::Result received = m_chatReply.feed(strDataReceive);
        if (received.status == wire::ReplyFramer::Status::Malformed) {
            step = 2;
            vb::raise(vb::kErrTypeMismatch);
        }
        if (received.status == wire::ReplyFramer::Status::TooLong) {
            // Nothing of it is read: the connection goes, and the next exchange starts afresh.
            step = 7;
            chatSocket().CloseSocket(chatSocket().currentHandle());
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
                armChatCloseStep();
                if (g_strAltServerBase.isEmpty()) {
                    if (!tmrRegistration->isActive()) tmrRegistration->start();
                    fnUseMSGReceived();
                    g_strAnsweredRequest.clear();
                } else {
                    tmrServerCall->start();
                }
                return;
            }
            fnUseMSGReceived();
            g_strAnsweredRequest.clear(); // one request, one answer
            step = 5;
            armChatCloseStep();
            tmrServerCall->start();
        }
        step = 6;
        txtStatus->setVisible(true);
    } catch (const std::exception& error) {
        logCaught(stepText("oMySocket_OnDataArrival", step), error);
        trySkip({}, [this] { txtStatus->setVisible(true); });
    }
}

// The step that closes the connection a reply came on, set up but not started: the close comes a
// moment after the reply has been handled.
void frmMain::armChatCloseStep() {
    tmrServerCall->stop();
    tmrServerCall->setInterval(kCloseStep);
    m_chatCloseHandle = g_lngChatSocketHandle;
}

void frmMain::oMySocket_OnClose() {
    g_lngChatSocketHandle = 0;
    txtStatus->setVisible(true);
    m_callPaths->exchangeClosed();
    trySkip(QStringLiteral("sendWaitingRequest"), [this] { sendWaitingRequest(); });
}

void frmMain::oMySocket_OnError(qint32 Number, const QString& Description) {
    if (refusedInsecureLink(Number, Description)) return;
    // The chat server cannot be reached: from now on requests go through the alternate server,
    // and the next poll goes out two ticks later.
    g_lngChatSocketHandle = 0;
    g_blnLogOffPending = false;
    txtStatus->setVisible(true);
    g_strAltServerBase = QStringLiteral(COLLOQ_DEFAULT_ALT_SERVER_BASE);
    g_strMsgReceived.clear();
    m_callPaths->exchangeFailed();
    g_intOnLineTicks = kTicksPerPoll;
    // The user learns of it: a change to the contacts is lost, the user list goes on another way.
    // Requests still waiting for the link go with it: polls go to the alternate server from now on.
    const auto changesContacts = [](const QString& request) {
        return wire::isRequest(request, wire::Code::AddContact) || wire::isRequest(request, wire::Code::RemoveContact);
    };
    const bool contactChange = changesContacts(g_strMsgToSend) ||
                               std::any_of(m_waitingRequests.begin(), m_waitingRequests.end(), changesContacts);
    m_waitingRequests.clear();
    m_requestWait->stop();
    vb::setForeColor(*txtStatus, vb::vbRed);
    txtStatus->setPlainText(contactChange
                                ? QStringLiteral("The chat server cannot be reached; the contact list was not "
                                                 "changed. Try again when the chat server is back.")
                                : QStringLiteral("The chat server cannot be reached; the user list now comes "
                                                 "from the alternate server. Restart ColloqChat when the chat "
                                                 "server is back to manage contacts again."));
}

void frmMain::tmrServerCall_Timer() {
    int step = 1;
    try {
        tmrServerCall->stop();
        switch (tmrServerCall->interval()) {
        case kEndLogOffStep:
            step = 2;
            g_blnLogOffPending = false;
            break;
        case kCloseStep:
            step = 3;
            // Only the connection whose reply armed this step: an exchange started since then
            // keeps its connection (a stale handle is ignored by the socket).
            chatSocket().CloseSocket(m_chatCloseHandle);
            tmrServerCall->setInterval(g_blnLogOffPending ? kEndLogOffStep : kIdleStep);
            if (g_lngChatSocketHandle == m_chatCloseHandle) g_lngChatSocketHandle = 0;
            m_chatCloseHandle = 0;
            tmrServerCall->start();
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

void frmMain::tmrUpdateUserOnLine_Timer() {
    int step = 1;
    try {
        tmrUpdateUserOnLine->stop();
        step = 2;
        if (g_intOnLineTicks <= kTicksPerPoll || g_blnLogOffPending) {
            // Counting stops short of the 16-bit limit; a sign-off never re-arms the timer anyway.
            if (g_intOnLineTicks < std::numeric_limits<qint16>::max()) ++g_intOnLineTicks;
        } else {
            pollUsersOnLine(step);
        }
        step = 7;
        if (!g_blnLogOffPending) tmrUpdateUserOnLine->start();
    } catch (const std::exception& error) {
        logCaught(stepText("tmrUpdateUserOnLine_Timer", step), error);
        if (!g_blnLogOffPending) trySkip({}, [this] { tmrUpdateUserOnLine->start(); });
    }
}

void frmMain::pollUsersOnLine(int& step) {
    step = 3;
    if (m_callPaths->holding()) return; // the held log-in goes out in a moment instead
    const QString poll = wire::request(wire::Code::LogIn, {m_identity.userId, m_identity.email});
    if (!g_strAltServerBase.isEmpty()) {
        step = 4;
        g_strMsgToSend = poll;
        fnUseAlternateSRV();
    } else {
        step = 5;
        sendChatRequest(poll);
    }
    step = 6;
    g_intOnLineTicks = 1;
}

void frmMain::cmdRefresh_Click() {
    // Nobody to ask about before the user has an ID, nor once signing off has begun.
    if (!m_identity.registered() || g_blnLogOffPending) return;
    // The button rests a while: the chat server is not to be asked over and over.
    cmdRefresh->setEnabled(false);
    m_refreshPause->start();
    int step = 0;
    pollUsersOnLine(step);
}

void frmMain::sendChatRequest(const QString& request) {
    if (!chatExchangeOpen()) {
        g_strMsgToSend = request;
        chatSocket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
        return;
    }
    // The same request waiting twice would bring the same answer twice.
    if (std::find(m_waitingRequests.begin(), m_waitingRequests.end(), request) != m_waitingRequests.end()) return;
    if (m_waitingRequests.size() >= kMaxWaitingRequests) {
        vb::setForeColor(*txtStatus, vb::vbRed);
        txtStatus->setPlainText(QStringLiteral("The chat server is slow to answer; the request was not sent. "
                                               "Try again in a moment."));
        return;
    }
    m_waitingRequests.push_back(request);
    if (!m_requestWait->isActive()) m_requestWait->start();
}

bool frmMain::chatExchangeOpen() {
    const qint32 handle = chatSocket().currentHandle();
    return handle != 0 && handle != m_chatCloseHandle;
}

void frmMain::sendWaitingRequest() {
    if (g_blnLogOffPending) m_waitingRequests.clear(); // nothing goes after the sign-off
    if (m_waitingRequests.empty() || chatExchangeOpen()) return;
    m_requestWait->stop();
    const QString request = m_waitingRequests.front();
    m_waitingRequests.pop_front();
    if (!m_waitingRequests.empty()) m_requestWait->start();
    g_strMsgToSend = request;
    chatSocket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
}

void frmMain::LstUsers_ColumnClick(int ColumnHeaderIndex) {
    const auto order =
        LstUsers->sortOrder() == vb::ListView::Ascending ? vb::ListView::Descending : vb::ListView::Ascending;
    LstUsers->setSortOrder(order);
    LstUsers->setSortKey(ColumnHeaderIndex - 1);
    LstUsers->setSorted(true);
}

void frmMain::LstUsers_ItemClick(vb::ListItem* Item) {
    if (Item) Item->setSelected(true);
    cmdConnect->setEnabled(true);
    cmdTerminate->setEnabled(false);
    fraSend->setEnabled(true);
    fraReceive->setEnabled(true);
    if (!tmrServerCall->isActive()) tmrServerCall->start();
}
