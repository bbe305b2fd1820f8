// The window's side of the chat link: it creates the link's socket, shows what the link reports,
// paces the on-line poll and handles the clicks on the user list. The exchanges themselves are
// chatlink::ChatLink's.
#include "app/frmMain.h"
#include "call/control/CallPathsLink.h"
#include "chatlink/ChatLink.h"
#include "chatlink/ContactsModel.h"
#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "web/WebLookup.h"
#include "wire/MessageCodes.h"

#include <QGroupBox>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

using namespace basMain;

void frmMain::setUpChatQueue() {
    m_refreshPause = new QTimer(this);
    m_refreshPause->setSingleShot(true);
    m_refreshPause->setInterval(kRefreshPauseMs);
    connect(m_refreshPause, &QTimer::timeout, this, [this] { cmdRefresh->setEnabled(true); });
    connect(cmdRefresh, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdRefresh_Click"), [this] { cmdRefresh_Click(); }); });
    auto* refreshKey = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refreshKey, &QShortcut::activated, cmdRefresh, &QPushButton::click);
    cmdBackToServer = new QPushButton(QStringLiteral("Use the chat server again"), fraStatus);
    cmdBackToServer->setObjectName(QStringLiteral("cmdBackToServer"));
    cmdBackToServer->hide();
    fraStatus->layout()->addWidget(cmdBackToServer);
    fraStatus->layout()->setAlignment(cmdBackToServer, Qt::AlignLeft);
    connect(cmdBackToServer, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdBackToServer_Click"), [this] { cmdBackToServer_Click(); }); });
}

void frmMain::cmdBackToServer_Click() {
    cmdBackToServer->hide();
    m_link->returnToServer();
    // A call in progress keeps the contacts locked; its end unlocks them.
    cmdManageContacts->setEnabled(m_identity.registered() && LstUsers->isEnabled());
    vb::setForeColor(*txtStatus, vb::vbBlack);
    txtStatus->setPlainText(QStringLiteral("Back on the chat server."));
    int step = 0;
    pollUsersOnLine(step);
}

void frmMain::connectChatLink() {
    m_link->setPoll([this](int& step) { pollUsersOnLine(step); });
    connect(m_link, &chatlink::ChatLink::showStatus, txtStatus, [this] { txtStatus->setVisible(true); });
    connect(m_link, &chatlink::ChatLink::signOffReplyArrived, this, [this] {
        if (!tmrRegistration->isActive()) tmrRegistration->start();
    });
    connect(m_link, &chatlink::ChatLink::exchangeClosed, this,
            [this] { m_callPaths->exchangeClosed(m_link->answered().request); });
    connect(m_link, &chatlink::ChatLink::serverUnreachable, this, [this] { m_callPaths->exchangeFailed(); });
    connect(m_link, &chatlink::ChatLink::serverBack, this, [this] {
        if (!cmdBackToServer->isHidden()) return;
        vb::setForeColor(*txtStatus, vb::vbBlack);
        txtStatus->setPlainText(QStringLiteral("The chat server answers again."));
        cmdBackToServer->show();
    });
    connect(m_link, &chatlink::ChatLink::warning, this, [this](const QString& text) {
        vb::setForeColor(*txtStatus, vb::vbRed);
        txtStatus->setPlainText(text);
    });
}

void frmMain::pollUsersOnLine(int& step) {
    step = 3;
    if (m_callPaths->holding()) return; // the held log-in goes out in a moment instead
    const QString poll = wire::request(wire::Code::LogIn, {m_identity.userId, m_identity.email});
    if (!g_strAltServerBase.isEmpty()) {
        step = 4;
        g_strMsgToSend = poll;
        m_link->probeServer(g_strServerIP, static_cast<quint16>(vb::CLng(g_strServerPort)));
        bool answered = false;
        fnUseAlternateSRV(&answered);
        if (!answered) m_link->contacts().markAllUnknown();
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
    m_link->send(request);
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

void frmMain::showCallAddress() {
    setWindowTitle(QStringLiteral("Internet Chat - Ver: ") + versionText() + QStringLiteral(" My Internet IP: ") +
                   g_strMyWanIP);
}
