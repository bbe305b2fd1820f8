#include "callui/CallSecurityControls.h"

#include "call/control/CallController.h"
#include "call/control/CallSteps.h"
#include "callui/CallSecurityPanel.h"
#include "core/ErrorLog.h"
#include "core/TrustStore.h"
#include "platform/vb.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>

using namespace basMain;

CallSecurityControls::CallSecurityControls(QGroupBox* statusBox, QGroupBox* callOptions,
                                           const std::shared_ptr<rtc::IRTCClient2>& engine,
                                           callcontrol::CallController& calls, QObject* parent)
    : QObject(parent), m_engine(engine), m_calls(calls), m_panel(new CallSecurityPanel(statusBox)),
      m_encryptedOnly(new QCheckBox(QStringLiteral("Encrypted calls only"), callOptions)) {
    statusBox->layout()->addWidget(m_panel);
    m_encryptedOnly->setObjectName(QStringLiteral("chkEncryptedOnly"));
    m_encryptedOnly->setToolTip(QStringLiteral("Refuse calls whose voice and video cannot be encrypted"));
    m_encryptedOnly->setChecked(trust::encryptedCallsOnly());
    if (auto* grid = qobject_cast<QGridLayout*>(callOptions->layout()))
        grid->addWidget(m_encryptedOnly, grid->rowCount(), 0, 1, grid->columnCount());
    connect(m_encryptedOnly, &QCheckBox::toggled, this, [this](bool only) {
        trySkip(QStringLiteral("chkEncryptedOnly_Click"), [only] { trust::setEncryptedCallsOnly(only); });
        trySkip(QStringLiteral("chkEncryptedOnly_Click"), [this, only] {
            if (auto security = std::dynamic_pointer_cast<rtc::IRTCClientSecurity>(m_engine))
                security->put_EncryptedOnly(only);
        });
    });
}

void CallSecurityControls::follow(const CallActivity& activity) {
    switch (activity.phase) {
    case CallActivity::Phase::Ringing:
    case CallActivity::Phase::Placing:
        m_panel->callStarting();
        break;
    case CallActivity::Phase::Connected:
        m_panel->callConnected(m_calls.session, activity.name, activity.email);
        break;
    case CallActivity::Phase::Ended:
        m_panel->callEnded();
        break;
    }
}

void CallSecurityControls::prepare(rtc::IRTCClient2& client) const {
    auto* security = dynamic_cast<rtc::IRTCClientSecurity*>(&client);
    if (!security) return;
    security->put_SecretsFile(vb::AppPath() + QStringLiteral("/ZrtpSecrets.sqlite"));
    security->put_EncryptedOnly(m_encryptedOnly->isChecked());
}

void CallSecurityControls::SecurityEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    try {
        const auto event = callengine::eventAs<rtc::IRTCSecurityEvent>(pEvent);
        const auto session = event->get_Session();
        const rtc::CallSecurity security = event->get_Security();
        if (!m_panel->securityChanged(session, security)) return;
        if (security.protection == rtc::MediaProtection::None && m_encryptedOnly->isChecked()) {
            // Nothing went out in the clear (the engine holds media back until they are
            // encrypted); the call goes, and the panel says why.
            m_panel->refusedUnencrypted();
            callengine::required(session)->Terminate(rtc::RTCTR_NORMAL);
        }
        m_calls.record().setSecurity(m_panel->historyText());
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("SecurityEvent"), error);
    }
}
