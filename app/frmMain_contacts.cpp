// The contacts manager button of the main window.
#include "app/frmMain.h"

#include "core/basMain.h"
#include "forms/frmMngContacts.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "platform/win32.h"
#include "wire/MessageCodes.h"

#include <QLineEdit>

using namespace basMain;

void frmMain::cmdManageContacts_Click() {
    vb::DoEvents();
    win32::Sleep(1);
    g_strDialogResult.clear();
    {
        frmMngContacts dialog(*LstUsers, *txtEmail, this);
        vb::ShowModal(dialog);
    }
    if (g_strDialogResult.isEmpty()) return;
    const QStringList parts = g_strDialogResult.split(wire::kSep);
    const QString kind = parts.value(0);
    if (kind == QStringLiteral("A")) {
        g_strMsgToSend = wire::request(wire::Code::AddContact, {vb::Tag(*txtEmail), parts.value(1)});
    } else if (kind == QStringLiteral("R")) {
        g_strMsgToSend = wire::request(wire::Code::RemoveContact, {vb::Tag(*txtEmail), parts.value(1).mid(1)});
    } else {
        // No request was composed: connecting now would send the previous request a second time.
        return;
    }
    chatSocket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
}
