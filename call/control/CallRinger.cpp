#include "call/control/CallRinger.h"

#include "core/ErrorLog.h"
#include "platform/vb.h"

#include <QTimer>

namespace callcontrol {

namespace {

int s_checkMs = 10;

bool hasEnded(const std::shared_ptr<rtc::IRTCSession2>& session) {
    try {
        return session->get_State() == rtc::RTCSS_DISCONNECTED;
    } catch (const std::exception&) {
        return false; // a session that cannot tell is taken as still ringing
    }
}

// A ring that cannot be played ends the ringing, logged as the handler of the session's state
// names its ringing step.
const QString kRingStep = QStringLiteral("SessionStateEvent[8]");

} // namespace

void CallRinger::setCheckMsForTesting(int milliseconds) {
    s_checkMs = milliseconds < 0 ? 10 : milliseconds;
}

CallRinger::CallRinger(Engine engine, QObject* parent) : QObject(parent), m_engine(std::move(engine)) {
    m_check = new QTimer(this);
    connect(m_check, &QTimer::timeout, this, [this] { basMain::trySkip(kRingStep, [this] { check(); }); });
}

void CallRinger::start(const std::shared_ptr<rtc::IRTCSession2>& session) {
    finish();
    m_session = session;
    m_manualAnswer = false;
    m_declined = false;
    m_checks = 1;
    m_check->setInterval(s_checkMs);
    try {
        ring();
    } catch (const std::exception& error) {
        finish();
        basMain::logCaught(kRingStep, error);
        return;
    }
    if (m_autoAnswer) {
        const auto picked = m_session;
        finish();
        emit answered(picked);
        return;
    }
    m_check->start();
}

void CallRinger::decline() {
    if (m_session) m_declined = true;
}

void CallRinger::sessionEnded(const std::shared_ptr<rtc::IRTCSession2>& session) {
    if (!session || session != m_session) return;
    const bool declined = m_declined;
    finish();
    emit ended(declined);
}

void CallRinger::stop() {
    finish();
}

void CallRinger::ring() {
    const auto engine = m_engine ? m_engine() : nullptr;
    if (!engine) vb::raise(vb::kErrObjectNotSet);
    engine->PlayRing(rtc::RTCRT_PHONE, true);
}

void CallRinger::finish() {
    m_check->stop();
    m_session.reset();
}

// One check of a ringing call, in the order a person sees them: nobody answered in time, then
// "Manual", then the caller or the user ending it, then the next ring and "Auto".
void CallRinger::check() {
    const auto session = m_session;
    if (!session) return;
    if (m_checks >= kRingChecks) {
        finish();
        emit timedOut(session);
        return;
    }
    if (!m_manualAnswer && !hasEnded(session) && !m_declined) {
        ++m_checks;
        if (m_checks % kRingEvery == 0) {
            try {
                ring();
            } catch (...) {
                finish();
                throw;
            }
        }
        if (!m_autoAnswer) return;
    }
    finish();
    // "Manual" clicked in the same moment as the caller hung up: nothing is left to answer.
    if ((m_manualAnswer || m_autoAnswer) && !hasEnded(session) && !m_declined) {
        emit answered(session);
        return;
    }
    emit ended(m_declined);
}

} // namespace callcontrol
