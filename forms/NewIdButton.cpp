#include "forms/NewIdButton.h"

#include "core/ErrorLog.h"
#include "core/TrustStore.h"
#include "core/basMain.h"
#include "platform/widgets/MsgBox.h"
#include "wire/MessageCodes.h"

using namespace basMain;

NewIdButton::NewIdButton(QWidget* parent, Host host)
    : QPushButton(QStringLiteral("New ID..."), parent), m_host(std::move(host)) {
    setObjectName(QStringLiteral("cmdNewId"));
    setToolTip(QStringLiteral("Move your account to a new ID, when someone else may know your ID"));
    connect(this, &QPushButton::clicked, this,
            [this] { trySkip(QStringLiteral("cmdNewId_Click"), [this] { cmdNewId_Click(); }); });
}

void NewIdButton::cmdNewId_Click() {
    const QString id = m_host.identity().userId;
    if (id.isEmpty()) return;
    // Whoever is on the path of a plain connection would get the new ID as well.
    if (trust::pinnedCertificate(g_strServerIP + QLatin1Char(':') + g_strServerPort).isEmpty() ||
        !g_strAltServerBase.isEmpty()) {
        m_host.refuse(QStringLiteral("Your account moves to a new ID only over an encrypted connection to the chat "
                                     "server, and there is none now."));
        return;
    }
    const int answer = vb::MsgBox(
        QStringLiteral("Your ID is the key to your account: whoever knows it with your e-mail address can sign in "
                       "as you. Move your account to a new ID?\r\n\r\nYour contacts stay with you. The old ID "
                       "works no more, on this computer or any other."),
        vb::vbQuestion | vb::vbYesNo, QStringLiteral("New ID"));
    if (answer != vb::vbYes) return;
    m_host.send(wire::request(wire::Code::NewId, {id, m_host.identity().email}));
}
