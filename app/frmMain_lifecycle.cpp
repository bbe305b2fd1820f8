// Start-up and shutdown of the main window: it makes its parts and wires them to one another.
#include "app/frmMain.h"

#include "app/StartupLoader.h"
#include "call/control/CallPathsLink.h"
#include "callui/CallButtons.h"
#include "callui/MediaControls.h"
#include "callui/VideoViewer.h"
#include "chatlink/ChatLink.h"
#include "chatlink/ContactsModel.h"
#include "core/ErrorLog.h"
#include "core/ServerKeys.h"
#include "core/basMain.h"
#include "forms/frmMngContacts.h"
#include "forms/frmRegWait.h"
#include "forms/frmRegister.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "platform/win32.h"
#include "web/HttpGet.h"
#include "web/WebFetch.h"
#include "web/WebLookup.h"
#include "wire/MessageCodes.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>

using namespace basMain;

namespace {
QString stepText(const char* procedure, int step) {
    return QString::fromLatin1(procedure) + QLatin1Char('[') + QString::number(step) + QLatin1Char(']');
}
} // namespace

frmMain::frmMain(QWidget* parent)
    : QWidget(parent), m_calls(makeCallController()), g_objSession(m_calls->session),
      g_blnCallConnected(m_calls->connected), g_intIncomingCount(m_calls->incomingCount) {
    s_instance = this;
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Internet Chat"));
    buildLayout();
    m_link = new chatlink::ChatLink(this);
    tmrServerCall = m_link->serverCallTimer();
    tmrUpdateUserOnLine = m_link->pollTimer();
    LstUsers->setRows(m_link->contacts());
    // The web socket's events complete the page fetches of the web lookups.
    auto* webFetch = new web::WebFetch(this);
    web::WebFetch::install(webFetch);
    connect(webFetch, &web::WebFetch::handlerFailed, txtStatus, [this] { txtStatus->setVisible(true); });
    tmrRegistration = new QTimer(this);
    tmrRegistration->setObjectName(QStringLiteral("tmrRegistration"));
    tmrRegistration->setInterval(60000);
    connectHandlers();
    setUpRinging();
    setUpChatQueue();
    setUpCallScreening();
    setUpDesktop();
    m_callPaths = new callcontrol::CallPathsLink(
        {[this] { return g_objRTCClient; }, [this]() -> const basMain::Identity& { return m_identity; },
         [this](const QString& request) { sendChatRequest(request); }, [this] { showCallAddress(); },
         [this] {
             int step = 0;
             pollUsersOnLine(step);
         },
         [status = txtStatus](const QString& text) {
             vb::setForeColor(*status, vb::vbBlue);
             status->setPlainText(text);
         }},
        *m_calls, this);
    connectChatLink();
    m_replyTarget = {&m_link->contacts(),
                     &m_identity,
                     [status = txtStatus](const QString& text, int colour) {
                         vb::setForeColor(*status, colour);
                         status->setPlainText(text);
                     },
                     tmrRegistration,
                     tmrServerCall,
                     [paths = m_callPaths](const QStringList& fields) { paths->onReply(fields); },
                     [this] { txtEmail->setText(m_identity.email); },
                     [](const QString& prompt, const QString& title) {
                         vb::MsgBox(prompt, vb::vbInformation | vb::vbOKOnly, title);
                     }};
    basMain::setReplyTarget(&m_replyTarget);
    setUpContactRequests();
    basMain::setStatusSink([status = txtStatus](const QString& text) {
        vb::setForeColor(*status, vb::vbRed);
        status->setPlainText(text);
    });
}

frmMain::~frmMain() {
    if (g_objRTCClient) g_objRTCClient->setEventSink({});
    web::forgetWebSocket(oMySocketWeb.get());
    if (s_instance == this) {
        s_instance = nullptr;
        basMain::setReplyTarget(nullptr);
        basMain::setStatusSink({});
    }
}

void frmMain::connectHandlers() {
    connect(cmdConnect, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdConnect_Click"), [this] { cmdConnect_Click(); }); });
    connect(cmdAnswer, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdAnswer_Click"), [this] { cmdAnswer_Click(); }); });
    connect(cmdTerminate, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdTerminate_Click"), [this] { cmdTerminate_Click(); }); });
    connect(cmdManageContacts, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdManageContacts_Click"), [this] { cmdManageContacts_Click(); }); });
    m_media = new MediaControls(
        {chkOptions, sldMike, sldSpiker, chkMuteMike, chkMuteSpiker, cmdWizard, chkStayOnTop, picVideoS, picVideoR,
         captionsVideo},
        {g_objRTCClient, g_objVideoPreview, g_objVideoReceive},
        [status = txtStatus](const QString& text) { status->setPlainText(text); }, this);
    m_buttons = new CallButtons({cmdConnect, cmdAnswer, cmdTerminate, cmdWizard, cmdManageContacts, chkOptions[5],
                                 fraSend, fraReceive, LstUsers, tmrServerCall, tmrRegistration},
                                this);
    connect(LstUsers, &vb::ListView::ColumnClick, this, [this](int column) {
        trySkip(QStringLiteral("LstUsers_ColumnClick"), [this, column] { LstUsers_ColumnClick(column); });
    });
    connect(LstUsers, &vb::ListView::ItemClick, this, [this](vb::ListItem* item) {
        trySkip(QStringLiteral("LstUsers_ItemClick"), [this, item] { LstUsers_ItemClick(item); });
    });
    // Connect calls the selected row: once no row is selected (the list was refilled, the row
    // removed) there is nobody to call; a row chosen with the arrow keys is one to call, unless
    // a call holds the list.
    connect(LstUsers, &vb::ListView::itemSelectionChanged, this,
            [this] { cmdConnect->setEnabled(LstUsers->selectedItem() != nullptr && LstUsers->isEnabled()); });
    // Enter or a double-click on a row calls it, as Connect does.
    connect(LstUsers, &vb::ListView::ItemActivated, this, [this] {
        if (cmdConnect->isEnabled()) cmdConnect->click();
    });
    connect(tmrRegistration, &QTimer::timeout, this,
            [this] { trySkip(QStringLiteral("tmrRegistration_Timer"), [this] { tmrRegistration_Timer(); }); });
    // A double-click on a picture box shows its video big, with Terminate and the microphone's
    // Mute at hand.
    const VideoViewer::Controls controls{cmdTerminate, chkMuteMike};
    VideoViewer::watch(
        picVideoS, QStringLiteral("ColloqChat - Video sent"), [this] { return g_objVideoPreview; }, controls);
    VideoViewer::watch(
        picVideoR, QStringLiteral("ColloqChat - Video received"), [this] { return g_objVideoReceive; }, controls);
}

void frmMain::attachSockets() {
    // Created at start-up (fnInitForm steps 4 and 6); from then on their events reach the handlers.
    web::setWebSocket(oMySocketWeb.get());
    secureChatLink();
}

void frmMain::createSocketsForTesting() {
    if (!m_link->hasSocket()) m_link->createSocket(nullptr);
    if (!oMySocketWeb) oMySocketWeb = std::make_unique<KVOSocket>();
    attachSockets();
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (hidesToTray(event)) return;
    if (runUnload()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void frmMain::unloadForm() {
    if (runUnload()) hide();
}

bool frmMain::runUnload() {
    if (m_unloaded) return true;
    int cancel = 0;
    if (m_inUnload) {
        // A close request while the first one still waits for the sign-off: it starts nothing
        // and must not tear down what the first wait depends on.
        Form_QueryUnload(cancel, 0);
        return false;
    }
    m_inUnload = true;
    Form_QueryUnload(cancel, 0);
    Form_Unload(cancel);
    m_inUnload = false;
    m_unloaded = true;
    return true;
}

void frmMain::Form_Load() {
    resetSiteTable(g_arrRedirectSites);
    resetSiteTable(g_arrWanIPSites);
    resetSiteTable(g_arrAltServerSites);
    g_strMyWanIP.clear();
    g_blnQuitNoLogOff = false;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
    }
    g_blnRegistrationDone = false;
}

void frmMain::fnInitForm() {
    int step = 0;
    try {
        g_blnCallConnected = false;
        g_intIncomingCount = 0;
        g_strMsgToSend.clear();
        g_strServerIP.clear();
        g_strServerPort.clear();
        addUserListColumns();
        LstUsers->setSortOrder(vb::ListView::Descending);
        LstUsers->setSortKey(0);
        LstUsers->setSorted(true);
        g_lngChatSocketHandle = 0;

        step = 4;
        m_link->createSocket(nullptr);
        step = 6;
        oMySocketWeb = std::make_unique<KVOSocket>();
        attachSockets();
        g_strMyWanIP.clear();

        if (!fnFillcall()) {
            step = 8;
            // A user who closed the registration form asked to quit: nothing failed.
            if (!g_blnRegistrationCancelled)
                vb::MsgBox(QStringLiteral("Error loading ColloqChat"), vb::vbCritical | vb::vbOKOnly,
                           QStringLiteral("ERROR"));
            g_blnQuitNoLogOff = true;
            unloadForm();
            return;
        }

        step = 10;
        if (!m_identity.registered()) {
            // No identity (the server refused the registration): there is no call engine and no
            // account to act for, so nothing that calls, answers or asks the server is offered.
            for (QPushButton* button : {cmdManageContacts, cmdConnect, cmdAnswer, cmdTerminate, cmdRefresh, cmdWizard})
                button->setEnabled(false);
        } else {
            step = 11;
            fnInitRTCClient(step);

            step = 180;
            vb::setForeColor(*txtStatus, vb::vbBlack);
            txtStatus->setPlainText(QStringLiteral("RTCClient is initialized and ready to make/receive calls."));
            cmdTerminate->setEnabled(false);
            cmdAnswer->setEnabled(false);
            showCallAddress();

            step = 182;
            if (!g_blnRegistrationDone) {
                step = 183;
                if (!g_strAltServerBase.isEmpty()) {
                    step = 200;
                    fnUseAlternateSRV();
                } else {
                    step = 190;
                    fnUseAlternateSRV();
                    step = 195;
                    // The log-in goes out once the call paths have settled the call address.
                    m_callPaths->startWithLogIn(g_strMsgToSend);
                }
            } else if (g_strAltServerBase.isEmpty()) {
                // Just registered: the registration carried the address the client had before
                // it knew any better, so it logs in at once with the one it has now (which the
                // chat server then checks) instead of leaving the first at the server until the
                // first poll.
                step = 196;
                m_callPaths->startWithLogIn(wire::request(wire::Code::LogIn, {m_identity.userId, m_identity.email}));
            }
            step = 284;
            if (!g_strAltServerBase.isEmpty()) cmdManageContacts->setEnabled(false);
        }
    } catch (const std::exception& error) {
        logCaught(stepText("fnInitForm", step), error);
    }

    // Step 5555: reached on every path that goes on; each statement is skipped silently on failure.
    trySkip({}, [] { frmRegWait::unload(); });
    g_intOnLineTicks = 1;
    // Polling also starts after an accepted registration: without polls a newly registered user
    // would never see a contact come on line, and would drop off line at the server until the
    // next start. A refused registration leaves no user ID to poll with.
    if (!g_blnRegistrationDone || m_identity.registered()) {
        trySkip({}, [this] { tmrUpdateUserOnLine->start(); });
    }
    trySkip({}, [this] { show(); });
    trySkip({}, [this] { txtStatus->setVisible(true); });
    trySkip({}, [this] { showLinkNotice(); });
}

void frmMain::Form_QueryUnload(int& /*Cancel*/, int /*UnloadMode*/) {
    // Every failing statement is skipped; a close is never refused.
    if (g_blnLogOffPending) return;
    trySkip({}, [this] { SSTab1->setEnabled(false); });
    trySkip({}, [this] { vb::setValue(*chkStayOnTop, vb::vbUnchecked); });
    trySkip({}, [this] { chkStayOnTop->setEnabled(false); });
    if (g_blnQuitNoLogOff) return;

    trySkip({}, [this] {
        txtStatus->setPlainText(QStringLiteral("ColloqChat is ShoutDown.. Please Wait"));
        setWindowTitle(QStringLiteral("ColloqChat is ShoutDown.. Please Wait [Max 1 Minute]"));
    });
    tmrServerCall->stop();

    const QString userId = m_identity.userId;
    if (!g_strAltServerBase.isEmpty()) {
        g_blnLogOffPending = true;
        g_strMsgToSend = wire::request(wire::Code::SignOff, {userId});
        trySkip({}, [] { fnUseAlternateSRV(); });
        return;
    }
    g_blnLogOffPending = true;
    g_strMsgToSend = wire::request(wire::Code::SignOff, {userId});
    trySkip({}, [] { fnUseAlternateSRV(); });
    if (userId.isEmpty()) return;
    g_strMsgToSend = wire::request(wire::Code::SignOffWithSettings, {userId});
    trySkip({}, [this] { chatSocket().Connect(g_strServerIP, vb::CLng(g_strServerPort)); });
    tmrRegistration->start();
    // The chat link clears the flag once the reply is handled or the connection fails, and the
    // registration timer at the latest after a minute. The wait stays in place: the window is
    // closing, and nothing may go on (or be torn down) before the server has had its sign-off.
    while (g_blnLogOffPending) {
        win32::Sleep(7);
        vb::DoEvents();
    }
}

void frmMain::Form_Unload(int& /*Cancel*/) {
    int step = 1;
    auto statement = [&step](int number, auto&& body) {
        step = number;
        trySkip(stepText("Form_Unload", step), body);
    };
    statement(1, [this] { tmrUpdateUserOnLine->stop(); });
    std::shared_ptr<rtc::IRTCCollection> participants;
    statement(2, [this, &participants] {
        if (!g_objSession) return;
        participants = g_objSession->get_Participants();
        if (!participants) return;
        // Removing shifts the collection, so always take the first remaining participant.
        for (long count = participants->get_Count(); count >= 1; --count) {
            const auto session = g_objSession; // a handler run by DoEvents may clear it
            if (!session) break;
            session->RemoveParticipant(participants->get_Item(1));
            vb::DoEvents(); // the engine hears of each removal before the next
        }
    });
    statement(3, [this] {
        if (g_objSession) g_objSession->Terminate(rtc::RTCTR_SHUTDOWN);
    });
    statement(4, [this] {
        if (!g_objRTCClient) return;
        g_objRTCClient->PrepareForShutdown();
        g_objRTCClient->Shutdown();
    });
    statement(5, [&participants] { participants.reset(); });
    statement(5, [this] { g_objVideoPreview.reset(); });
    statement(5, [this] { g_objVideoReceive.reset(); });
    statement(5, [this] { g_objSession.reset(); });
    statement(5, [this] {
        if (g_objRTCClient && g_objRTCClientWithEvents) g_objRTCClient->setEventSink({});
        g_objRTCClientWithEvents = false;
    });
    statement(5, [this] { g_objRTCClient.reset(); });
    statement(5, [this] { m_link->releaseSocket(); });
    statement(5, [this] { releaseSocket(oMySocketWeb); });
    statement(6, [] {
        g_arrRedirectSites.clear();
        g_arrWanIPSites.clear();
        g_arrAltServerSites.clear();
    });
    statement(7, [this] {
        frmRegWait::unload();
        // The registration form and the contacts manager live only while shown: one still open
        // goes with the window.
        for (frmRegister* form : findChildren<frmRegister*>())
            form->reject();
        for (frmMngContacts* form : findChildren<frmMngContacts*>())
            form->reject();
    });
}

void frmMain::releaseSocket(std::unique_ptr<KVOSocket>& socket) {
    if (!socket) return;
    web::forgetWebSocket(socket.get());
    socket->disconnect(this);
    socket->setServerTrust(nullptr); // the window's, which may go before the socket does
    // The socket may be the sender of the event whose handler is running: release it later.
    socket.release()->deleteLater();
}

KVOSocket& frmMain::chatSocket() {
    return m_link->socket();
}
