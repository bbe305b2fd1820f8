#pragma once
// The calls as they are told to whoever shows or keeps them (the desktop, the history, the
// security panel): each call the window takes on from its first ring or its placing to one end,
// under one serial number, with how it ended; and the calls turned away, each reported on its own.
// It also remembers the sessions turned away, whose ends concern nobody.
#include "call/rtc/Rtc.h"
#include "core/CallActivity.h"

#include <QObject>
#include <memory>
#include <vector>

namespace callcontrol {

class CallRecord : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // A call begins (ringing here or being placed), with the other party as `party` names it. A
    // call still open was overtaken (ours placed while another rang): it ends unanswered first.
    void start(CallActivity::Phase phase, bool incoming, const CallActivity& party);
    // The open call moves on, or ends with `outcome`; nothing when no call is open.
    void report(CallActivity::Phase phase, CallActivity::Outcome outcome = CallActivity::Outcome::Answered);
    // How the open call ends when its session does: answered once connected; else declined or
    // cancelled when the user ended it, missed when the caller gave up while it rang; ours, not
    // answered, as the final SIP status `sipCode` says why.
    CallActivity::Outcome endingOutcome(bool stillRinging, long sipCode = 0) const;

    // Terminate refused or cancelled the open call before it connected.
    void endedByUser() { m_endedByUser = true; }
    bool isEndedByUser() const { return m_endedByUser; }
    bool open() const { return m_open; }
    // How the open call's media are protected, once known.
    void setSecurity(const QString& security) {
        if (m_open) m_call.security = security;
    }

    // A call turned away, reported as ended with `outcome`, apart from the open one. With a
    // session, its end is expected and ignored (see takeTurnedAway).
    void turnAway(const CallActivity& caller, CallActivity::Outcome outcome,
                  const std::shared_ptr<rtc::IRTCSession2>& session = {});
    // `session` was turned away without a report of its own (a call of ours was placed meanwhile).
    void ignoreEnd(const std::shared_ptr<rtc::IRTCSession2>& session) { m_turnedAway.push_back(session); }
    // Whether `session` is one turned away (then forgotten): its end touches nothing else.
    bool takeTurnedAway(const std::shared_ptr<rtc::IRTCSession2>& session);

signals:
    void callActivity(const CallActivity& activity);

private:
    CallActivity m_call;
    bool m_open = false;
    bool m_endedByUser = false;
    quint64 m_lastSerial = 0;
    std::vector<std::weak_ptr<rtc::IRTCSession2>> m_turnedAway;
};

} // namespace callcontrol
