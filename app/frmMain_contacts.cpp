// The contacts manager button of the main window, the answers the manager shows, and the users
// who ask to be added back.
#include "app/ContactRequestBar.h"
#include "app/frmMain.h"
#include "chatlink/ChatLink.h"
#include "chatlink/ContactsModel.h"
#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "forms/frmMngContacts.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"
#include "wire/MessageCodes.h"
#include "wire/PeerText.h"

#include <QGroupBox>
#include <QLayout>
#include <QLineEdit>
#include <QPlainTextEdit>

using namespace basMain;

namespace {
const QString kContactsNotChanged =
    QStringLiteral("The chat server did not answer; your contact list was not changed. Try again in a moment.");
} // namespace

void frmMain::cmdManageContacts_Click() {
    g_strDialogResult.clear();
    frmMngContacts dialog(*LstUsers, m_identity.email, this);
    // The manager stays open while its request goes: what becomes of it is told there, where the
    // user is looking.
    dialog.setSender([this](const QString& answer) { sendContactChange(answer); });
    m_contactsDialog = &dialog;
    vb::ShowModal(dialog);
    m_contactsDialog = nullptr;
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
    connect(m_link, &chatlink::ChatLink::replyHandled, this, [this](const QString& request, const QString& reply) {
        const std::optional<wire::Code> asked = wire::codeOf(request.section(wire::kSep, 0, 0));
        if (!m_contactsDialog || (asked != wire::Code::AddContact && asked != wire::Code::RemoveContact)) return;
        const QStringList fields = reply.split(wire::kSep);
        const std::optional<wire::Code> code = wire::codeOf(fields.value(0));
        if (code == asked)
            m_contactsDialog->changeDone(*LstUsers, wire::cleanPeerText(fields.value(2)));
        else if (code == wire::Code::Refused)
            m_contactsDialog->changeRefused(wire::screenful(fields.value(1)));
        else
            m_contactsDialog->changeRefused(kContactsNotChanged);
    });
    connect(m_link, &chatlink::ChatLink::requestUnanswered, this, [this](const QString& request) {
        if (m_contactsDialog &&
            (wire::isRequest(request, wire::Code::AddContact) || wire::isRequest(request, wire::Code::RemoveContact)))
            m_contactsDialog->changeRefused(kContactsNotChanged);
    });
    // The chat server out of reach, or too slow to take the request: said in the manager too.
    connect(m_link, &chatlink::ChatLink::warning, this, [this](const QString& text) {
        if (m_contactsDialog) m_contactsDialog->changeRefused(text);
    });
}

bool frmMain::refuseWaitingContact(const vb::ListItem& row) {
    if (!chatlink::ContactsModel::isWaiting(row)) return false;
    vb::setForeColor(*txtStatus, vb::vbRed);
    txtStatus->setPlainText(row.SubItem(2) +
                            QStringLiteral(" has not added you to their contacts yet, so they cannot be called. Once "
                                           "they do, their row shows On or Off."));
    return true;
}
