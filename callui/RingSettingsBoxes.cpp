#include "callui/RingSettingsBoxes.h"

#include "core/ErrorLog.h"
#include "core/RingPolicy.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLayout>

using namespace basMain;

RingSettingsBoxes::RingSettingsBoxes(QGroupBox* answerBox, RingPolicy& policy)
    : QObject(answerBox), chkDoNotDisturb(new QCheckBox(QStringLiteral("Do not disturb"), answerBox)),
      chkContactsOnly(new QCheckBox(QStringLiteral("Only my contacts may ring"), answerBox)), m_policy(policy) {
    chkDoNotDisturb->setObjectName(QStringLiteral("chkDoNotDisturb"));
    chkDoNotDisturb->setToolTip(QStringLiteral("No call rings; each one is turned away and listed in the history"));
    chkContactsOnly->setObjectName(QStringLiteral("chkContactsOnly"));
    chkContactsOnly->setToolTip(QStringLiteral("Calls from anybody not in your list are turned away without a ring"));
    answerBox->layout()->addWidget(chkDoNotDisturb);
    answerBox->layout()->addWidget(chkContactsOnly);
    m_policy.settings = readRingSettings();
    chkDoNotDisturb->setChecked(m_policy.settings.doNotDisturb);
    chkContactsOnly->setChecked(m_policy.settings.contactsOnly);
    connect(chkDoNotDisturb, &QCheckBox::clicked, this, &RingSettingsBoxes::chkRingSettings_Click);
    connect(chkContactsOnly, &QCheckBox::clicked, this, &RingSettingsBoxes::chkRingSettings_Click);
}

void RingSettingsBoxes::chkRingSettings_Click() {
    try {
        m_policy.settings = {chkDoNotDisturb->isChecked(), chkContactsOnly->isChecked()};
        writeRingSettings(m_policy.settings);
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("chkRingSettings_Click"), error);
    }
}
