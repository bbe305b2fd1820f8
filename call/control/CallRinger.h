#pragma once
// The ringing of an incoming call, on timers: the phone rings at once and every few seconds, the
// call is picked up when "Auto" is on or once "Manual" was clicked, refused when nobody answers in
// time, and given up when the caller hangs up or the user refuses it. Nothing waits in place:
// the handler that starts the ringing returns, and the ringer reports how the ringing ended.
#include "call/rtc/Rtc.h"

#include <QObject>
#include <functional>
#include <memory>

class QTimer;

namespace callcontrol {

class CallRinger : public QObject {
    Q_OBJECT
public:
    using Engine = std::function<std::shared_ptr<rtc::IRTCClient2>()>;
    // `engine` gives the call engine that plays the ring (none: error 91 at the first ring).
    explicit CallRinger(Engine engine, QObject* parent = nullptr);

    // Rings for `session`. The first ring comes at once and, with "Auto" on, the answer too
    // (answered() before this returns); a ringing already going on is dropped without a word.
    void start(const std::shared_ptr<rtc::IRTCSession2>& session);
    // "Auto": a ringing call is picked up at its next check.
    void setAutoAnswer(bool on) { m_autoAnswer = on; }
    // "Manual": the ringing call is picked up at its next check, unless its caller has hung up.
    void answer() { m_manualAnswer = true; }
    bool answerClicked() const { return m_manualAnswer; }
    // The user refused the call: the ringing ends at its next check, as declined.
    void decline();
    // The session's end came: when it is the one ringing, the ringing ends now (ended() before
    // this returns) rather than at the next check, so that nothing sees it ringing after its end.
    void sessionEnded(const std::shared_ptr<rtc::IRTCSession2>& session);
    // Stops at once, reporting nothing (the window goes).
    void stop();

    bool ringing() const { return m_session != nullptr; }
    // The session that rings now; null when none does.
    std::shared_ptr<rtc::IRTCSession2> session() const { return m_session; }

    // A check every this many milliseconds (10); the phone rings every kRingEvery checks and the
    // call is refused at the kRingChecks-th. Tests shorten the check (0: as often as events run).
    static void setCheckMsForTesting(int milliseconds);
    static constexpr int kRingChecks = 4000;
    static constexpr int kRingEvery = 400;

signals:
    // Picked up: the session is to be answered.
    void answered(const std::shared_ptr<rtc::IRTCSession2>& session);
    // Nobody answered in time: the session is to be refused.
    void timedOut(const std::shared_ptr<rtc::IRTCSession2>& session);
    // The caller hung up (`declined` false) or the user refused the call (true).
    void ended(bool declined);

private:
    void check();
    void ring();
    void finish();

    Engine m_engine;
    QTimer* m_check;
    std::shared_ptr<rtc::IRTCSession2> m_session;
    int m_checks = 0;
    bool m_autoAnswer = false;
    bool m_manualAnswer = false;
    bool m_declined = false;
};

} // namespace callcontrol
