#include "forms/frmRegister.h"

#include "core/Validators.h"
#include "core/basMain.h"
#include "forms/frmRegWait.h"
#include "platform/vb.h"
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
    txtDisplayNM->setFocus();
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
        vb::MsgBox(QStringLiteral("Please, enter your display name?"), vb::vbInformation | vb::vbOKOnly,
                   QStringLiteral("Chat Display Name"));
        return;
    }
    QString message;
    if (!fnCheckDisplayName(displayName, message)) {
        vb::MsgBox(message, vb::vbInformation | vb::vbOKOnly, QStringLiteral("Chat Display Name"));
        return;
    }
    const QStringList fields{QString(), QString(), QStringLiteral("1"), email};
    if (!fnCheckIpOrEmailFormat(fields, false, message)) {
        vb::MsgBox(message, vb::vbInformation | vb::vbOKOnly, QStringLiteral("Check Email"));
        return;
    }
    g_strDialogResult = displayName + wire::kSep + email.toLower();
    m_registered = true;
    accept();
}

void frmRegister::cmdCancel_Click() {
    g_strDialogResult.clear();
    g_blnQuitNoLogOff = true;
    QDialog::reject();
}

void frmRegister::reject() {
    // Closing the window by its frame (or Escape) is a cancel: a half-checked address left in
    // the answer would otherwise be registered as a display name with an empty e-mail.
    if (!m_registered) g_strDialogResult.clear();
    QDialog::reject();
}
