#include "forms/frmRegister.h"

#include "core/Validators.h"
#include "core/basMain.h"
#include "forms/frmRegWait.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "wire/Protocol.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace basMain;

frmRegister::frmRegister(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmRegister"));
    setWindowTitle(QStringLiteral("Registration Form"));
    txtMessage = new QPlainTextEdit(this);
    txtMessage->setObjectName(QStringLiteral("txtMessage"));
    txtMessage->setReadOnly(true);
    txtMessage->setFocusPolicy(Qt::NoFocus);
    txtMessage->setPlainText(QStringLiteral("Welcome to Video and Audio CHAT.\r\n\r\n"
                                            "To be able to use ColloqChat you have to REGISTER.\r\n\r\n"
                                            "After registration you have to add one or more Call CONTACT (s) \r\n\r\n"
                                            "[Click on: Manage Contacts button]\r\n"));
    txtMessage->setMinimumHeight(150);

    Label1[0] = new QLabel(QStringLiteral("Chat Disply Name:"), this);
    Label1[1] = new QLabel(QStringLiteral("Your Email:"), this);
    Label1[0]->setObjectName(QStringLiteral("Label1_0"));
    Label1[1]->setObjectName(QStringLiteral("Label1_1"));
    txtDisplayNM = new QLineEdit(this);
    txtDisplayNM->setObjectName(QStringLiteral("txtDisplayNM"));
    txtDisplayNM->setMaxLength(wire::kMaxDisplayNameChars);
    m_firstFocus = txtDisplayNM;
    txtEmail = new QLineEdit(this);
    txtEmail->setObjectName(QStringLiteral("txtEmail"));
    Label1[0]->setBuddy(txtDisplayNM);
    Label1[1]->setBuddy(txtEmail);

    cmdRegister = new QPushButton(QStringLiteral("&Register"), this);
    cmdRegister->setObjectName(QStringLiteral("cmdRegister"));
    cmdRegister->setEnabled(false);
    cmdRegister->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));

    auto* fields = new QGridLayout;
    fields->addWidget(Label1[0], 0, 0);
    fields->addWidget(txtDisplayNM, 0, 1);
    fields->addWidget(Label1[1], 1, 0);
    fields->addWidget(txtEmail, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdRegister);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(txtMessage);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    setTabOrder(txtDisplayNM, txtEmail);
    setTabOrder(txtEmail, cmdRegister);
    setTabOrder(cmdRegister, cmdCancel);
    resize(440, 330);

    connect(txtDisplayNM, &QLineEdit::textChanged, this, &frmRegister::txtDisplayNM_Change);
    connect(txtEmail, &QLineEdit::textChanged, this, &frmRegister::txtEmail_Change);
    connect(cmdRegister, &QPushButton::clicked, this, &frmRegister::cmdRegister_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmRegister::cmdCancel_Click);
}

void frmRegister::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    centreOnScreen(*this);
    m_firstFocus->setFocus();
}

void frmRegister::showRefusal(const QString& displayName, const QString& email, const QString& serverText) {
    txtDisplayNM->setText(displayName);
    txtEmail->setText(email);
    txtMessage->setPlainText(QStringLiteral("The chat server did not register you:\r\n\r\n") + serverText +
                             QStringLiteral("\r\n\r\nPlease change what it names and press Register again."));
    vb::setForeColor(*txtMessage, vb::vbRed);
    // What a server refuses is the address (taken, or mailed too often today).
    m_firstFocus = txtEmail;
    txtEmail->selectAll();
}

void frmRegister::refuseField(QLineEdit* field, const QString& message, const QString& title) {
    vb::MsgBox(message, vb::vbInformation | vb::vbOKOnly, title);
    // The user fixes the field the message is about, not whichever one had the focus.
    field->setFocus();
    field->selectAll();
}

void frmRegister::txtDisplayNM_Change() {
    // Untrimmed lengths: blanks enable the button, and pressing it explains what is missing.
    cmdRegister->setEnabled(!txtDisplayNM->text().isEmpty() && !txtEmail->text().isEmpty());
}

void frmRegister::txtEmail_Change() {
    txtDisplayNM_Change();
}

void frmRegister::cmdRegister_Click() {
    const QString email = vb::Trim(txtEmail->text());
    // An accent typed as a mark of its own is sent as the one accented letter the wire can carry.
    const QString displayName = vb::Trim(txtDisplayNM->text()).normalized(QString::NormalizationForm_C);
    g_strDialogResult = email;
    if (displayName.isEmpty()) {
        refuseField(txtDisplayNM, QStringLiteral("Please, enter your display name?"),
                    QStringLiteral("Chat Display Name"));
        return;
    }
    QString message;
    if (!fnCheckDisplayName(displayName, message)) {
        refuseField(txtDisplayNM, message, QStringLiteral("Chat Display Name"));
        return;
    }
    const QStringList fields{QString(), QString(), QStringLiteral("1"), email};
    if (!fnCheckIpOrEmailFormat(fields, false, message)) {
        refuseField(txtEmail, message, QStringLiteral("Check Email"));
        return;
    }
    g_strDialogResult = displayName + wire::kSep + email.toLower();
    m_registered = true;
    accept();
}

void frmRegister::cmdCancel_Click() {
    reject();
}

void frmRegister::reject() {
    // Closing the window by its frame or with Escape is a Cancel: the user does not want to
    // register, and a half-checked address must not be taken for an answer.
    if (m_registered) return;
    g_strDialogResult.clear();
    g_blnQuitNoLogOff = true;
    QDialog::reject();
}
