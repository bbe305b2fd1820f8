#include "app/frmMain.h"
#include "call/control/CallPathsLink.h"
#include "call/control/CallRinger.h"
#include "chatlink/ChatLink.h"
#include "chatlink/ContactsModel.h"

#include "BuildConfig.h"
#include "callui/CallButtons.h"
#include "callui/MediaControls.h"
#include "callui/VideoViewer.h"
#include "core/ErrorLog.h"
#include "core/ServerKeys.h"
#include "platform/KVOSocket.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "web/HttpGet.h"
#include "web/WebFetch.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

using basMain::trySkip;

namespace {
frmMain* s_instance = nullptr;
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

frmMain* frmMain::instance() {
    return s_instance;
}

QString frmMain::versionText() {
    return QString::number(COLLOQ_VERSION_MAJOR) + QLatin1Char('.') + QString::number(COLLOQ_VERSION_MINOR) +
           QLatin1Char('.') + QString::number(COLLOQ_VERSION_PATCH);
}

QString frmMain::versionCaption() {
    return QStringLiteral("Internet Chat - Version: ") + versionText();
}

void frmMain::setIdentity(const basMain::Identity& identity) {
    m_identity = identity;
    txtEmail->setText(identity.email);
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
