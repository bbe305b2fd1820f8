#pragma once
// The encryption of calls in the main window: the panel under the status box that follows the
// call in progress, the option "Encrypted calls only" of the Tools tab, what a new engine is told
// of both, and the engine's reports on each call's protection, which can end a call that may not
// go in the clear. The window gives the boxes the controls go into and the calls.
#include "call/rtc/Rtc.h"
#include "core/CallActivity.h"

#include <QObject>
#include <memory>

class QCheckBox;
class QGroupBox;
class CallSecurityPanel;
namespace callcontrol {
class CallController;
}

class CallSecurityControls final : public QObject {
public:
    // Adds the panel at the foot of `statusBox` and the option below the grid of `callOptions`.
    CallSecurityControls(QGroupBox* statusBox, QGroupBox* callOptions, const std::shared_ptr<rtc::IRTCClient2>& engine,
                         callcontrol::CallController& calls, QObject* parent);

    CallSecurityPanel* panel() const { return m_panel; }
    QCheckBox* encryptedOnly() const { return m_encryptedOnly; }

    // A connected call's security is to come, an ended call's verdict stays on screen until the
    // next call starts.
    void follow(const CallActivity& activity);
    // Tells a new engine where to keep its peers' secrets and whether calls must be encrypted.
    void prepare(rtc::IRTCClient2& client) const;
    // The engine's report on how a call's media are protected.
    void SecurityEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent);

private:
    const std::shared_ptr<rtc::IRTCClient2>& m_engine;
    callcontrol::CallController& m_calls;
    CallSecurityPanel* m_panel;
    QCheckBox* m_encryptedOnly;
};
