// Encryption in the main window: the panel under the status box, the "Encrypted calls only"
// option of the Tools tab and what the engine reports of each call's protection; and the chat
// link's TLS, with the servers' keys the client trusts.
#include "app/CallHelpers.h"
#include "app/frmMain.h"
#include "call/control/CallRecord.h"
#include "callui/CallSecurityPanel.h"
#include "chatlink/ChatLink.h"
#include "core/ErrorLog.h"
#include "core/ServerKeys.h"
#include "core/TrustStore.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "wire/MessageCodes.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

using namespace basMain;
using callengine::eventAs;
using callengine::required;

void frmMain::addSecurityControls() {
    panelSecurity = new CallSecurityPanel(fraStatus);
    fraStatus->layout()->addWidget(panelSecurity);

    chkEncryptedOnly = new QCheckBox(QStringLiteral("Encrypted calls only"), fraCallOptions);
    chkEncryptedOnly->setObjectName(QStringLiteral("chkEncryptedOnly"));
    chkEncryptedOnly->setToolTip(QStringLiteral("Refuse calls whose voice and video cannot be encrypted"));
    chkEncryptedOnly->setChecked(trust::encryptedCallsOnly());
    if (auto* grid = qobject_cast<QGridLayout*>(fraCallOptions->layout()))
        grid->addWidget(chkEncryptedOnly, grid->rowCount(), 0, 1, grid->columnCount());
    connect(chkEncryptedOnly, &QCheckBox::toggled, this, [this](bool only) {
        trySkip(QStringLiteral("chkEncryptedOnly_Click"), [only] { trust::setEncryptedCallsOnly(only); });
        trySkip(QStringLiteral("chkEncryptedOnly_Click"), [this, only] {
            if (auto security = std::dynamic_pointer_cast<rtc::IRTCClientSecurity>(g_objRTCClient))
                security->put_EncryptedOnly(only);
        });
    });
    cmdNewId = new QPushButton(QStringLiteral("New ID..."), cmdManageContacts->parentWidget());
    cmdNewId->setObjectName(QStringLiteral("cmdNewId"));
    cmdNewId->setToolTip(QStringLiteral("Move your account to a new ID, when someone else may know your ID"));
    if (auto* tools = qobject_cast<QBoxLayout*>(cmdManageContacts->parentWidget()->layout()))
        tools->insertWidget(tools->indexOf(cmdManageContacts) + 1, cmdNewId);
    connect(cmdNewId, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdNewId_Click"), [this] { cmdNewId_Click(); }); });

    // The panel follows the call the window reports: a connected call's security is to come, an
    // ended call's verdict stays on screen until the next call starts.
    connect(this, &frmMain::callActivity, panelSecurity, [this](const CallActivity& activity) {
        switch (activity.phase) {
        case CallActivity::Phase::Ringing:
        case CallActivity::Phase::Placing:
            panelSecurity->callStarting();
            break;
        case CallActivity::Phase::Connected:
            panelSecurity->callConnected(g_objSession, activity.name, activity.email);
            break;
        case CallActivity::Phase::Ended:
            panelSecurity->callEnded();
            break;
        }
    });
}

void frmMain::secureChatLink() {
    if (!m_serverKeys)
        m_serverKeys = std::make_unique<PinnedServers>([this](const QString& text) {
            m_linkNotice = text;
            showLinkNotice();
        });
    if (m_link->hasSocket()) m_link->socket().setServerTrust(m_serverKeys.get());
    if (!m_webKeys) m_webKeys = std::make_unique<PinnedWebHosts>();
    if (oMySocketWeb) oMySocketWeb->setServerTrust(m_webKeys.get());
}

void frmMain::showLinkNotice() {
    if (m_linkNotice.isEmpty()) return;
    vb::setForeColor(*txtStatus, vb::vbRed);
    txtStatus->setPlainText(m_linkNotice);
}

void frmMain::cmdNewId_Click() {
    const QString id = m_identity.userId;
    if (id.isEmpty()) return;
    // Whoever is on the path of a plain connection would get the new ID as well.
    if (trust::pinnedCertificate(g_strServerIP + QLatin1Char(':') + g_strServerPort).isEmpty() ||
        !g_strAltServerBase.isEmpty()) {
        vb::setForeColor(*txtStatus, vb::vbRed);
        txtStatus->setPlainText(QStringLiteral("Your account moves to a new ID only over an encrypted connection "
                                               "to the chat server, and there is none now."));
        return;
    }
    const int answer = vb::MsgBox(
        QStringLiteral("Your ID is the key to your account: whoever knows it with your e-mail address can sign in "
                       "as you. Move your account to a new ID?\r\n\r\nYour contacts stay with you. The old ID "
                       "works no more, on this computer or any other."),
        vb::vbQuestion | vb::vbYesNo, QStringLiteral("New ID"));
    if (answer != vb::vbYes) return;
    sendChatRequest(wire::request(wire::Code::NewId, {id, m_identity.email}));
}

void frmMain::prepareCallSecurity(rtc::IRTCClient2& client) {
    auto* security = dynamic_cast<rtc::IRTCClientSecurity*>(&client);
    if (!security) return;
    security->put_SecretsFile(vb::AppPath() + QStringLiteral("/ZrtpSecrets.sqlite"));
    security->put_EncryptedOnly(chkEncryptedOnly->isChecked());
}

void frmMain::SecurityEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    try {
        const auto event = eventAs<rtc::IRTCSecurityEvent>(pEvent);
        const auto session = event->get_Session();
        const rtc::CallSecurity security = event->get_Security();
        if (!panelSecurity->securityChanged(session, security)) return;
        if (security.protection == rtc::MediaProtection::None && chkEncryptedOnly->isChecked()) {
            // Nothing went out in the clear (the engine holds media back until they are
            // encrypted); the call goes, and the panel says why.
            panelSecurity->refusedUnencrypted();
            required(session)->Terminate(rtc::RTCTR_NORMAL);
        }
        m_calls->record().setSecurity(panelSecurity->historyText());
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("SecurityEvent"), error);
    }
}
