// The contacts manager button of the main window, the changes it asks for, and the users who ask
// to be added back.
#include "app/frmMain.h"
#include "chatlink/ContactsModel.h"
#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "forms/ContactRequestBar.h"
#include "forms/frmMngContacts.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"
#include "wire/MessageCodes.h"

#include <QGroupBox>
#include <QLayout>
#include <QPlainTextEdit>

using namespace basMain;

void frmMain::cmdManageContacts_Click() {
    g_strDialogResult.clear();
    frmMngContacts dialog(*LstUsers, m_identity.email, this);
    // The manager stays open while its request goes: what becomes of it is told there, where the
    // user is looking.
    dialog.setSender([this](const QString& answer) { sendContactChange(answer); });
    dialog.followLink(*m_link, *LstUsers);
    vb::ShowModal(dialog);
}

void frmMain::sendContactChange(const QString& answer) {
    const QStringList parts = answer.split(wire::kSep);
    const QString kind = parts.value(0);
    if (kind == QStringLiteral("A"))
        addContact(parts.value(1));
    else if (kind == QStringLiteral("R"))
        sendChatRequest(wire::request(wire::Code::RemoveContact, {m_identity.userId, parts.value(1).mid(1)}));
    // Otherwise no request was composed, and nothing is sent.
}

void frmMain::addContact(const QString& email) {
    sendChatRequest(wire::request(wire::Code::AddContact, {m_identity.userId, email}));
    // The new contact's state comes with the next poll: that one goes at once.
    int step = 0;
    if (g_strAltServerBase.isEmpty()) pollUsersOnLine(step);
}

void frmMain::setUpContactRequests() {
    m_requestBar = new ContactRequestBar(fraInitaCall);
    fraInitaCall->layout()->addWidget(m_requestBar);
    m_replyTarget.onAsking = [bar = m_requestBar](const QList<wire::ContactRequestEntry>& asking) {
        bar->offer(asking);
    };
    connect(m_requestBar, &ContactRequestBar::addBackRequested, this, [this](const wire::ContactRequestEntry& entry) {
        trySkip(QStringLiteral("cmdAddBack_Click"), [&] { addContact(entry.email); });
    });
    connect(m_requestBar, &ContactRequestBar::ignoreRequested, this, [this](const wire::ContactRequestEntry& entry) {
        trySkip(QStringLiteral("cmdIgnore_Click"), [&] {
            sendChatRequest(
                wire::request(wire::Code::IgnoreRequest, {m_identity.userId, m_identity.email, entry.handle}));
        });
    });
}

bool frmMain::refuseWaitingContact(const vb::ListItem& row) {
    if (!chatlink::ContactsModel::isWaiting(row)) return false;
    vb::setForeColor(*txtStatus, vb::vbRed);
    txtStatus->setPlainText(chatlink::ContactsModel::waitingText(row));
    return true;
}
