// The contacts manager button of the main window.
#include "app/frmMain.h"

#include "core/basMain.h"
#include "forms/frmMngContacts.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "wire/MessageCodes.h"

#include <QLineEdit>

using namespace basMain;

void frmMain::cmdManageContacts_Click() {
    g_strDialogResult.clear();
    {
        frmMngContacts dialog(*LstUsers, m_identity.email, this);
        vb::ShowModal(dialog);
    }
    if (g_strDialogResult.isEmpty()) return;
    const QStringList parts = g_strDialogResult.split(wire::kSep);
    const QString kind = parts.value(0);
    if (kind == QStringLiteral("A")) {
        sendChatRequest(wire::request(wire::Code::AddContact, {m_identity.userId, parts.value(1)}));
        // The new contact's state comes with the next poll: that one goes at once.
        int step = 0;
        if (g_strAltServerBase.isEmpty()) pollUsersOnLine(step);
    } else if (kind == QStringLiteral("R")) {
        sendChatRequest(wire::request(wire::Code::RemoveContact, {m_identity.userId, parts.value(1).mid(1)}));
    }
    // Otherwise no request was composed, and nothing is sent.
}
