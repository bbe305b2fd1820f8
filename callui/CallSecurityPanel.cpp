#include "callui/CallSecurityPanel.h"

#include "core/ErrorLog.h"
#include "core/TrustStore.h"
#include "platform/widgets/Controls.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

using rtc::CallSecurity;
using rtc::MediaProtection;

namespace {

// A wrapped label that keeps room for a number of lines instead of asking for its height for its
// width: the main window's minimum size cannot follow such a height, and its layout would then
// squeeze the contact list under the controls below it.
class FixedLinesLabel : public QLabel {
public:
    FixedLinesLabel(int lines, QWidget* parent) : QLabel(parent) {
        setMinimumHeight(lines * fontMetrics().lineSpacing());
    }
    bool hasHeightForWidth() const override { return false; }
};

} // namespace

CallSecurityPanel::CallSecurityPanel(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("panelSecurity"));
    lblCallSecurity = new FixedLinesLabel(3, this); // the longest text, a changed key, has three
    lblCallSecurity->setObjectName(QStringLiteral("lblCallSecurity"));
    // Names come from peers: they are shown as the plain text they are.
    lblCallSecurity->setTextFormat(Qt::PlainText);
    lblCallSecurity->setWordWrap(true);
    lblCallSecurity->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblSas = new QLabel(this);
    lblSas->setObjectName(QStringLiteral("lblSas"));
    lblSas->setTextFormat(Qt::PlainText);
    lblSas->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont big = lblSas->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setStyleHint(QFont::Monospace);
    big.setFamily(QStringLiteral("DejaVu Sans Mono"));
    lblSas->setFont(big);
    lblSas->hide();
    cmdSasVerified = new QPushButton(QStringLiteral("The codes &match"), this);
    cmdSasVerified->setObjectName(QStringLiteral("cmdSasVerified"));
    cmdSasVerified->setToolTip(QStringLiteral("Press once the other side has read you the same code: later calls "
                                              "with the same key are then verified without reading it again"));
    cmdSasVerified->hide();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lblCallSecurity, 1);
    layout->addWidget(lblSas);
    layout->addWidget(cmdSasVerified);
    connect(cmdSasVerified, &QPushButton::clicked, this, [this] {
        try {
            markVerified();
        } catch (const std::exception& error) {
            basMain::logCaught(QStringLiteral("cmdSasVerified_Click"), error);
        }
    });
}

CallSecurityPanel::Verdict CallSecurityPanel::verdictFor(const CallSecurity& security, const QString& name,
                                                         bool verifiedBefore) {
    const QString who = name.isEmpty() ? QStringLiteral("the other side") : name;
    switch (security.protection) {
    case MediaProtection::Unknown:
        return {QStringLiteral("Encrypting the call..."), false, false};
    case MediaProtection::None:
        return {QStringLiteral("Not encrypted: anyone on the network between you and ") + who +
                    QStringLiteral(" can listen to this call."),
                true, false};
    case MediaProtection::Srtp:
        return {QStringLiteral("Encrypted (SRTP). Its keys travelled with the call set-up, which is not "
                               "encrypted: whoever saw that could listen."),
                false, false};
    case MediaProtection::Dtls:
        return {QStringLiteral("Encrypted (DTLS-SRTP)."), false, false};
    case MediaProtection::Zrtp:
        break;
    }
    const QString code = QStringLiteral("\"") + security.sas + QStringLiteral("\"");
    if (security.sasVerified)
        return {QStringLiteral("Encrypted (ZRTP). ") + who + QStringLiteral("'s key is the one you verified."), false,
                false};
    if (verifiedBefore)
        return {QStringLiteral("Warning: ") + who +
                    QStringLiteral("'s key is not the one you verified in an earlier call (a new address, ColloqChat "
                                   "set up again, or someone listening in). Compare the code ") +
                    code + QStringLiteral(" aloud before you say anything private; if it differs, hang up."),
                true, true};
    return {QStringLiteral("Encrypted (ZRTP). Read this code aloud to ") + who + QStringLiteral(" and compare: ") +
                code + QStringLiteral(". If ") + who +
                QStringLiteral(" reads another code, someone is listening in: hang up."),
            false, true};
}

void CallSecurityPanel::showVerdict(const Verdict& verdict) {
    lblCallSecurity->setText(verdict.text);
    vb::setForeColor(*lblCallSecurity, verdict.warning ? vb::vbRed : vb::vbBlack);
    lblSas->setText(verdict.askToCompare ? m_security.sas : QString());
    lblSas->setVisible(verdict.askToCompare);
    cmdSasVerified->setVisible(verdict.askToCompare);
}

void CallSecurityPanel::callStarting() {
    m_session.reset();
    m_security = {};
    m_refused = false;
    lblCallSecurity->clear();
    lblSas->hide();
    cmdSasVerified->hide();
}

void CallSecurityPanel::callConnected(const std::shared_ptr<rtc::IRTCSession2>& session, const QString& name,
                                      const QString& email) {
    m_session = session;
    m_name = name;
    m_email = email;
    m_security = {};
    m_refused = false;
    // An engine that cannot tell (none that encrypts) leaves nothing to show.
    if (!std::dynamic_pointer_cast<rtc::IRTCSessionSecurity>(session)) {
        callStarting();
        return;
    }
    showVerdict(verdictFor(m_security, m_name, false));
}

bool CallSecurityPanel::securityChanged(const std::shared_ptr<rtc::IRTCSession2>& session,
                                        const CallSecurity& security) {
    if (!session || session != m_session.lock() || m_refused) return false;
    m_security = security;
    const bool verifiedBefore = trust::isContactVerified(m_email);
    // The engine knows the key as verified, and so does the contact's mark now.
    if (security.protection == MediaProtection::Zrtp && security.sasVerified && !verifiedBefore)
        basMain::trySkip(QStringLiteral("CallSecurityPanel_Mark"),
                         [this] { trust::setContactVerified(m_email, true); });
    showVerdict(verdictFor(security, m_name, verifiedBefore));
    return true;
}

void CallSecurityPanel::refusedUnencrypted() {
    m_refused = true;
    showVerdict({QStringLiteral("Refused: the call with ") +
                     (m_name.isEmpty() ? QStringLiteral("the other side") : m_name) +
                     QStringLiteral(" could not be encrypted, and you take encrypted calls only (Tools tab)."),
                 true, false});
}

void CallSecurityPanel::callEnded() {
    m_session.reset();
    lblSas->hide();
    cmdSasVerified->hide();
}

void CallSecurityPanel::markVerified() {
    const auto session = std::dynamic_pointer_cast<rtc::IRTCSessionSecurity>(m_session.lock());
    if (!session || m_security.protection != MediaProtection::Zrtp) return;
    session->put_SasVerified(true);
    trust::setContactVerified(m_email, true);
    m_security.sasVerified = true;
    showVerdict(verdictFor(m_security, m_name, true));
}

QString CallSecurityPanel::historyText() const {
    QString text = rtc::protectionName(m_security.protection);
    if (m_security.protection == MediaProtection::Zrtp && m_security.sasVerified) text += QStringLiteral(", verified");
    if (m_refused) text += QStringLiteral(", refused");
    return text;
}

bool CallSecurityPanel::verifiedAs(const QString& email) const {
    return !m_session.expired() && m_security.protection == MediaProtection::Zrtp && m_security.sasVerified &&
           email.compare(m_email, Qt::CaseInsensitive) == 0 && trust::isContactVerified(email);
}
