#pragma once
// The user's two ring settings as boxes at the foot of the Answer box, "Do not disturb" and "Only
// my contacts may ring": they start as the settings file has them, and each click is kept in the
// file and in the ring policy the calls are screened by.
#include <QObject>

class QCheckBox;
class QGroupBox;
namespace basMain {
class RingPolicy;
}

class RingSettingsBoxes final : public QObject {
public:
    RingSettingsBoxes(QGroupBox* answerBox, basMain::RingPolicy& policy);

    QCheckBox* chkDoNotDisturb;
    QCheckBox* chkContactsOnly;

private:
    void chkRingSettings_Click();

    basMain::RingPolicy& m_policy;
};
