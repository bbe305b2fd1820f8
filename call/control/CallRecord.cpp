#include "call/control/CallRecord.h"

#include "call/control/CallEnding.h"

namespace callcontrol {

void CallRecord::start(CallActivity::Phase phase, bool incoming, const CallActivity& party) {
    if (m_open)
        report(CallActivity::Phase::Ended,
               m_call.incoming ? CallActivity::Outcome::Missed : CallActivity::Outcome::Failed);
    m_call = CallActivity{};
    m_call.call = ++m_lastSerial;
    m_call.incoming = incoming;
    m_call.name = party.name;
    m_call.email = party.email;
    m_call.address = party.address;
    m_call.contact = party.contact;
    m_open = true;
    m_endedByUser = false;
    report(phase);
}

void CallRecord::report(CallActivity::Phase phase, CallActivity::Outcome outcome) {
    if (!m_open) return;
    m_call.phase = phase;
    m_call.outcome = outcome;
    if (phase == CallActivity::Phase::Ended) m_open = false;
    const CallActivity activity = m_call;
    emit callActivity(activity);
}

CallActivity::Outcome CallRecord::endingOutcome(bool stillRinging, long sipCode) const {
    using Outcome = CallActivity::Outcome;
    if (m_call.phase == CallActivity::Phase::Connected) return Outcome::Answered;
    if (m_call.incoming && m_endedByUser) return Outcome::Declined;
    if (m_call.incoming && stillRinging) return Outcome::Missed;
    if (!m_call.incoming && m_endedByUser) return Outcome::Cancelled;
    if (!m_call.incoming) return unansweredOutcome(sipCode);
    return Outcome::Failed; // lost while being answered
}

void CallRecord::turnAway(const CallActivity& caller, CallActivity::Outcome outcome,
                          const std::shared_ptr<rtc::IRTCSession2>& session) {
    CallActivity away = caller;
    away.call = ++m_lastSerial;
    away.phase = CallActivity::Phase::Ended;
    away.outcome = outcome;
    away.incoming = true;
    if (session) ignoreEnd(session);
    emit callActivity(away);
}

bool CallRecord::takeTurnedAway(const std::shared_ptr<rtc::IRTCSession2>& session) {
    for (auto it = m_turnedAway.begin(); it != m_turnedAway.end();) {
        const auto away = it->lock();
        if (!away) {
            it = m_turnedAway.erase(it);
            continue;
        }
        if (away == session) {
            m_turnedAway.erase(it);
            return true;
        }
        ++it;
    }
    return false;
}

} // namespace callcontrol
