#include "forms/frmMngContacts.h"

#include "chatlink/ChatLink.h"
#include "core/Validators.h"
#include "core/basMain.h"
#include "forms/frmRegWait.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"
#include "wire/MessageCodes.h"
#include "wire/PeerText.h"
#include "wire/Protocol.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

using namespace basMain;

namespace {
const QString kContactsNotChanged =
    QStringLiteral("The chat server did not answer; your contact list was not changed. Try again in a moment.");

bool isContactChange(const QString& request) {
    return wire::isRequest(request, wire::Code::AddContact) || wire::isRequest(request, wire::Code::RemoveContact);
}

QPushButton* namedButton(const QString& caption, const char* name, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}
} // namespace

frmMngContacts::frmMngContacts(const vb::ListView& users, const QString& ownEmail, QWidget* parent)
    : QDialog(parent), m_ownEmail(ownEmail) {
    setObjectName(QStringLiteral("frmMngContacts"));
    setWindowTitle(QStringLiteral("Chat Contacts Manager"));
    SSTab1 = new QTabWidget(this);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));

    auto* addTab = new QWidget;
    Label1 = new QLabel(QStringLiteral("Please, Enter Contact Email Address:"), addTab);
    Label1->setObjectName(QStringLiteral("Label1"));
    txtEmail = new QLineEdit(addTab);
    txtEmail->setObjectName(QStringLiteral("txtEmail"));
    Label1->setBuddy(txtEmail);
    cmdAddCont = namedButton(QStringLiteral("&Add Contact"), "cmdAddCont", addTab);
    cmdAddCont->setEnabled(false);
    cmdAddCont->setDefault(true); // Enter in the address adds it
    cmdCanAddCont = namedButton(QStringLiteral("&Cancel"), "cmdCanAddCont", addTab);
    auto* addButtons = new QHBoxLayout;
    addButtons->addStretch();
    addButtons->addWidget(cmdAddCont);
    addButtons->addWidget(cmdCanAddCont);
    auto* addLayout = new QVBoxLayout(addTab);
    addLayout->addWidget(Label1);
    addLayout->addWidget(txtEmail);
    addLayout->addStretch();
    addLayout->addLayout(addButtons);
    SSTab1->addTab(addTab, QStringLiteral("Add Contacts"));

    auto* removeTab = new QWidget;
    LstContacts = new vb::ListView(removeTab);
    LstContacts->setObjectName(QStringLiteral("LstContacts"));
    cmdRemoveContact = namedButton(QStringLiteral("&Remove Contact"), "cmdRemoveContact", removeTab);
    cmdRemoveContact->setEnabled(false);
    cmdCanRemCont = namedButton(QStringLiteral("Can&cel"), "cmdCanRemCont", removeTab);
    auto* removeButtons = new QHBoxLayout;
    removeButtons->addStretch();
    removeButtons->addWidget(cmdRemoveContact);
    removeButtons->addWidget(cmdCanRemCont);
    auto* removeLayout = new QVBoxLayout(removeTab);
    removeLayout->addWidget(LstContacts);
    removeLayout->addLayout(removeButtons);
    SSTab1->addTab(removeTab, QStringLiteral("Remove Contacts"));

    lblOutcome = new QLabel(this);
    lblOutcome->setObjectName(QStringLiteral("lblOutcome"));
    lblOutcome->setTextFormat(Qt::PlainText); // the server's words are text, never markup
    lblOutcome->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(SSTab1);
    layout->addWidget(lblOutcome);
    resize(520, 320);

    connect(txtEmail, &QLineEdit::textChanged, this, &frmMngContacts::txtEmail_Change);
    connect(cmdAddCont, &QPushButton::clicked, this, &frmMngContacts::cmdAddCont_Click);
    connect(cmdCanAddCont, &QPushButton::clicked, this, &frmMngContacts::cmdCanAddCont_Click);
    connect(LstContacts, &vb::ListView::ItemClick, this, &frmMngContacts::LstContacts_ItemClick);
    connect(cmdRemoveContact, &QPushButton::clicked, this, &frmMngContacts::cmdRemoveContact_Click);
    connect(cmdCanRemCont, &QPushButton::clicked, this, &frmMngContacts::cmdCanRemCont_Click);
    // The e-mail field first in the tab chain, before the tabs: wherever the window system hands
    // the window its focus from, it lands where the user types.
    setTabOrder(txtEmail, SSTab1);
    Form_Load(users);
}

void frmMngContacts::Form_Load(const vb::ListView& users) {
    LstContacts->addColumn(QStringLiteral("Status"), 0);
    LstContacts->addColumn(QStringLiteral("Display Name"), 0);
    LstContacts->addColumn(QStringLiteral("Email"), 0);
    // The list sits on a tab that is not shown yet, so its width is known only once it shows:
    // the widths are set then (eventFilter).
    LstContacts->header()->setStretchLastSection(false);
    LstContacts->installEventFilter(this);
    fillContacts(users);
}

void frmMngContacts::fillContacts(const vb::ListView& users) {
    LstContacts->clearItems();
    cmdRemoveContact->setEnabled(false);
    for (int index = 0; index < users.count(); ++index) {
        const vb::ListItem* user = users.itemAt(index);
        vb::ListItem* row = LstContacts->add(user->Text());
        row->setSubItem(1, user->SubItem(1));
        row->setSubItem(2, user->SubItem(2));
        if (!user->Key().isEmpty()) LstContacts->setKey(row, user->Key());
        // A contact not on line, whether off or not listing the user back, is told apart as in
        // the user list.
        row->setForeColor(row->Text() == QStringLiteral("On")    ? vb::vbBlack
                          : row->Text() == QStringLiteral("Off") ? vb::vbRed
                                                                 : user->ForeColor());
    }
}

void frmMngContacts::answer(const QString& result, const QString& doing) {
    g_strDialogResult = result;
    if (!m_sender) {
        m_answered = true;
        accept();
        return;
    }
    m_pending = true;
    cmdAddCont->setEnabled(false);
    cmdRemoveContact->setEnabled(false);
    showOutcome(doing, vb::vbBlack);
    m_sender(result);
}

void frmMngContacts::showOutcome(const QString& text, int colour) {
    lblOutcome->setText(text);
    vb::setForeColor(*lblOutcome, colour);
}

void frmMngContacts::changeDone(const vb::ListView& users, const QString& addedName) {
    if (!m_pending) return;
    m_pending = false;
    const QStringList parts = g_strDialogResult.split(wire::kSep);
    QString text;
    if (parts.value(0) == QStringLiteral("A")) {
        text = addedName.isEmpty() ? parts.value(1) + QStringLiteral(" was added to your contacts. It shows \"waiting "
                                                                     "for them to add you\" until they add you too.")
                                   : addedName + QStringLiteral(" was added to your contacts.");
        txtEmail->clear();
        txtEmail->setFocus();
    } else if (const vb::ListItem* removed = LstContacts->find(parts.value(1))) {
        // A row with no name of the contact's own (not listed back) goes by its address.
        const bool named = removed->Text() != QStringLiteral("Waiting") && !removed->SubItem(1).isEmpty();
        text = (named ? removed->SubItem(1) : removed->SubItem(2)) + QStringLiteral(" was removed from your contacts.");
    }
    fillContacts(users);
    cmdAddCont->setEnabled(!txtEmail->text().isEmpty());
    showOutcome(text, vb::vbBlack);
}

void frmMngContacts::changeRefused(const QString& why) {
    if (!m_pending) return;
    m_pending = false;
    cmdAddCont->setEnabled(true);
    cmdRemoveContact->setEnabled(LstContacts->selectedItem() != nullptr);
    showOutcome(why, vb::vbRed);
    if (SSTab1->currentIndex() == 0) {
        txtEmail->setFocus();
        txtEmail->selectAll();
    }
}

void frmMngContacts::followLink(const chatlink::ChatLink& link, const vb::ListView& users) {
    connect(&link, &chatlink::ChatLink::replyHandled, this,
            [this, &users](const QString& request, const QString& reply) {
                const std::optional<wire::Code> asked = wire::codeOf(request.section(wire::kSep, 0, 0));
                if (asked != wire::Code::AddContact && asked != wire::Code::RemoveContact) return;
                const QStringList fields = reply.split(wire::kSep);
                const std::optional<wire::Code> code = wire::codeOf(fields.value(0));
                if (code == asked)
                    changeDone(users, wire::cleanPeerText(fields.value(2)));
                else if (code == wire::Code::Refused)
                    changeRefused(wire::screenful(fields.value(1)));
                else
                    changeRefused(kContactsNotChanged);
            });
    connect(&link, &chatlink::ChatLink::requestUnanswered, this, [this](const QString& request) {
        if (isContactChange(request)) changeRefused(kContactsNotChanged);
    });
    // The chat server out of reach, or too slow to take the request: said here too.
    connect(&link, &chatlink::ChatLink::warning, this, &frmMngContacts::changeRefused);
}

void frmMngContacts::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    centreOnScreen(*this);
    // Adding a contact is what the manager is opened for most: the user types at once.
    if (SSTab1->currentIndex() == 0) txtEmail->setFocus();
}

void frmMngContacts::refuseAddress(const QString& message, const QString& title) {
    vb::MsgBox(message, vb::vbInformation | vb::vbOKOnly, title);
    // Back to the address, ready to be typed over.
    txtEmail->setFocus();
    txtEmail->selectAll();
}

bool frmMngContacts::eventFilter(QObject* watched, QEvent* event) {
    if (watched == LstContacts && event->type() == QEvent::Show && !m_columnsSized) {
        m_columnsSized = true;
        const int width = LstContacts->width();
        for (int column = 0; column < 3; ++column)
            LstContacts->setColumnWidth(column, width * kColumnShares[column] / 24);
    }
    return QDialog::eventFilter(watched, event);
}

void frmMngContacts::txtEmail_Change() {
    cmdAddCont->setEnabled(true);
}

void frmMngContacts::cmdAddCont_Click() {
    const QString address = vb::Trim(txtEmail->text()).toLower();
    g_strDialogResult = address;
    QString message;
    if (!fnCheckIpOrEmailFormat({QString(), QString(), QStringLiteral("1"), address}, false, message)) {
        refuseAddress(message, QStringLiteral("Check Email"));
        return;
    }
    for (int index = 0; index < LstContacts->count(); ++index) {
        if (LstContacts->itemAt(index)->SubItem(2) == address) {
            refuseAddress(QStringLiteral("Contact Email: ") + address, QStringLiteral("Contact already in your list"));
            return;
        }
    }
    // The user's own address is no contact.
    if (address == m_ownEmail) {
        refuseAddress(QStringLiteral("Contact Email: ") + address, QStringLiteral("It Is Your Email???"));
        return;
    }
    answer(QStringLiteral("A") + wire::kSep + address, QStringLiteral("Adding ") + address + QStringLiteral("…"));
}

void frmMngContacts::cmdCanAddCont_Click() {
    g_strDialogResult.clear();
    QDialog::reject();
}

void frmMngContacts::LstContacts_ItemClick(vb::ListItem* Item) {
    if (!Item) return;
    LstContacts->setCurrentItem(Item);
    Item->setSelected(true);
    cmdRemoveContact->setEnabled(true);
}

void frmMngContacts::cmdRemoveContact_Click() {
    const vb::ListItem* selected = LstContacts->selectedItem();
    if (!selected) return;
    const QString prompt = QStringLiteral("Delete Contact:\r\n") + selected->SubItem(1) + QStringLiteral(" [") +
                           selected->SubItem(2) + QStringLiteral("]");
    if (vb::MsgBox(prompt, vb::vbYesNo, QStringLiteral("Remove Contact")) != vb::vbYes) return;
    answer(QStringLiteral("R") + wire::kSep + selected->Key(),
           QStringLiteral("Removing ") + selected->SubItem(2) + QStringLiteral("…"));
}

void frmMngContacts::cmdCanRemCont_Click() {
    cmdCanAddCont_Click();
}

void frmMngContacts::reject() {
    // Closing by the frame is a cancel; a half-checked address must not look like an answer.
    if (!m_answered) g_strDialogResult.clear();
    QDialog::reject();
}
