// Encryption in the main window: the call's (callui/CallSecurityControls), the move to a new ID,
// and the chat link's TLS, with the servers' keys the client trusts.
#include "app/frmMain.h"
#include "callui/CallSecurityControls.h"
#include "chatlink/ChatLink.h"
#include "core/ServerKeys.h"
#include "core/basMain.h"
#include "forms/NewIdButton.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"

#include <QBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace basMain;

void frmMain::addSecurityControls() {
    m_security = new CallSecurityControls(fraStatus, fraCallOptions, g_objRTCClient, *m_calls, this);
    panelSecurity = m_security->panel();
    chkEncryptedOnly = m_security->encryptedOnly();
    cmdNewId = new NewIdButton(cmdManageContacts->parentWidget(),
                               {[this]() -> const Identity& { return m_identity; },
                                [this](const QString& request) { sendChatRequest(request); },
                                [status = txtStatus](const QString& text) {
                                    vb::setForeColor(*status, vb::vbRed);
                                    status->setPlainText(text);
                                }});
    if (auto* tools = qobject_cast<QBoxLayout*>(cmdManageContacts->parentWidget()->layout()))
        tools->insertWidget(tools->indexOf(cmdManageContacts) + 1, cmdNewId);
    connect(this, &frmMain::callActivity, m_security, &CallSecurityControls::follow);
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
