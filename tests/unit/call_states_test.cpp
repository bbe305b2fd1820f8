// The call controller placing, answering, refusing and ending calls where the moment of each
// event matters: the scripted engine fires the session states exactly when the scene needs them,
// and no window is built; what the window would show is read from the controller's signals.
#include "call/control/CallController.h"
#include "call/rtc/RtcEvents.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

using callcontrol::CallController;
using callcontrol::CallRinger;
using callcontrol::CallTarget;
using testrtc::ScriptedRtc;
using testrtc::ScriptedSession;
using Outcome = CallActivity::Outcome;

namespace {

class CallStates : public ::testing::Test {
protected:
    testenv::TestEnv env;
    std::shared_ptr<ScriptedRtc> rtc = std::make_shared<ScriptedRtc>();
    QList<basMain::ContactEntry> contacts{
        {QStringLiteral("Ann"), QStringLiteral("ann@x.org"), QStringLiteral("127.0.0.2:5060")}};
    CallController calls{[this] { return std::static_pointer_cast<rtc::IRTCClient2>(rtc); },
                         [this] { return contacts; }};
    const CallTarget ann{QStringLiteral("Ann"), QStringLiteral("ann@x.org"), QStringLiteral("127.0.0.2:5060")};
    QStringList shown;              // what the window is told: captions, then "ringing", "ready", "released"
    std::vector<CallActivity> seen; // every report of a call

    void SetUp() override {
        env.makeLogsFolder();
        CallRinger::setCheckMsForTesting(kCheckMs);
        rtc->put_EventFilter(1L << rtc::RTCE_SESSION_STATE_CHANGE);
        rtc->setEventSink([this](long, std::shared_ptr<rtc::IRTCEvent> event) { calls.sessionStateChanged(event); });
        QObject::connect(&calls, &CallController::stateShown, &calls,
                         [this](long, const QString& caption) { shown << caption; });
        QObject::connect(&calls, &CallController::ringing, &calls, [this] { shown << QStringLiteral("ringing"); });
        QObject::connect(&calls, &CallController::ready, &calls, [this] { shown << QStringLiteral("ready"); });
        QObject::connect(&calls, &CallController::released, &calls, [this] { shown << QStringLiteral("released"); });
        QObject::connect(&calls.record(), &callcontrol::CallRecord::callActivity, &calls,
                         [this](const CallActivity& activity) { seen.push_back(activity); });
    }
    void TearDown() override { CallRinger::setCheckMsForTesting(-1); }

    // The ringer looks at a ringing call this often: what the test does meanwhile comes first. A
    // ring nobody answers times out with the check shortened to nothing.
    static constexpr int kCheckMs = 50;

    bool idle() const { return !calls.session && !calls.connected && calls.incomingCount == 0 && !calls.busy(); }
    int terminated(const std::shared_ptr<ScriptedSession>& session, long reason) const {
        return rtc->count(session->name() + QStringLiteral(".Terminate(%1)").arg(reason));
    }
    // An incoming call rings; `meanwhile` runs while it rings, before its first check (none: nobody
    // answers).
    void ring(const std::shared_ptr<ScriptedSession>& session, const std::function<void()>& meanwhile = {}) {
        const int rung = rtc->count(QStringLiteral("PlayRing(0, 1)"));
        if (!meanwhile) CallRinger::setCheckMsForTesting(0);
        rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
        EXPECT_TRUE(calls.busy());
        if (meanwhile) {
            ASSERT_TRUE(testenv::waitFor([this] { return calls.ringer().ringing(); }));
            meanwhile();
        }
        EXPECT_TRUE(testenv::waitFor(
            [&] { return rtc->count(QStringLiteral("PlayRing(0, 1)")) > rung && !calls.ringer().ringing(); }));
        CallRinger::setCheckMsForTesting(kCheckMs);
    }
    std::shared_ptr<ScriptedSession> placed(bool connects) {
        EXPECT_EQ(calls.place(ann).failure, CallController::PlaceFailure::None);
        const auto session = rtc->sessions.last();
        rtc->fireSessionState(session, rtc::RTCSS_INPROGRESS);
        if (connects) rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
        return session;
    }
    std::vector<Outcome> ends() const {
        std::vector<Outcome> outcomes;
        for (const CallActivity& a : seen)
            if (a.phase == CallActivity::Phase::Ended) outcomes.push_back(a.outcome);
        return outcomes;
    }
};

} // namespace

TEST_F(CallStates, ASecondCallIsRefusedWhileOneIsUnderWayWhichCanStillBeEnded) {
    for (const bool connected : {true, false}) {
        SCOPED_TRACE(connected ? "connected" : "being placed");
        shown.clear();
        const auto first = placed(connected);
        auto second = rtc->incomingSession();
        rtc->fireSessionState(second, rtc::RTCSS_INCOMING);
        // Refused while connected; busy while ours is on its way.
        EXPECT_EQ(terminated(second, connected ? rtc::RTCTR_REJECT : rtc::RTCTR_BUSY), 1);
        rtc->fireSessionState(second, rtc::RTCSS_DISCONNECTED);
        // The refused call's end changes nothing of the call in progress, nor what the window shows.
        EXPECT_EQ(calls.session, first);
        EXPECT_EQ(shown.size(), connected ? 2 : 1);
        calls.hangUp();
        EXPECT_EQ(terminated(first, rtc::RTCTR_NORMAL), 1);
        rtc->fireSessionState(first, rtc::RTCSS_DISCONNECTED);
        EXPECT_TRUE(idle());
    }
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(CallStates, EveryCallIsReportedFromItsStartToOneEndSayingHowItEnded) {
    const auto ringThen = [&](std::function<void(const std::shared_ptr<ScriptedSession>&)> action) {
        auto session = rtc->incomingSession();
        ring(session, [&] { action(session); });
        rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
    };
    // `code`: the final SIP status the other side or the way there ended our call with.
    const auto place = [&](bool connects, bool cancel, long code = 0) {
        const auto session = placed(connects);
        if (cancel) calls.hangUp();
        rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED, code);
    };
    struct Case {
        const char* what;
        std::function<void()> run;
        std::vector<Outcome> ends; // one per call, in order
    };
    const Case cases[] = {
        {"the caller gives up, even as Manual is clicked",
         [&] {
             shown.clear();
             auto session = rtc->incomingSession();
             ring(session, [&] {
                 calls.answer();
                 rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
             });
             // The dead session is neither answered nor refused, and the window is told so.
             EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".")), 0);
             EXPECT_EQ(shown, QStringList({"Status: INCOMING User: Ann    ann@x.org", "ringing", "Status: DISCONNECTED",
                                           "ready", "released"}));
         },
         {Outcome::Missed}},
        {"nobody answers",
         [&] {
             auto session = rtc->incomingSession();
             ring(session);
             // The caller is told nobody answered, not that the call was declined.
             EXPECT_EQ(terminated(session, rtc::RTCTR_TIMEOUT), 1);
             rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
         },
         {Outcome::Missed}},
        {"the caller gives up before it rings",
         [&] {
             auto session = rtc->incomingSession();
             rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
             rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
             EXPECT_TRUE(testenv::waitFor([&] { return !calls.busy(); }));
             EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".")), 0);
         },
         {Outcome::Missed}},
        {"refused with Terminate", [&] { ringThen([&](auto) { calls.hangUp(); }); }, {Outcome::Declined}},
        {"answered by hand, a second caller turned away meanwhile",
         [&] {
             auto session = rtc->incomingSession();
             ring(session, [&] { calls.answer(); });
             EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".Answer")), 1);
             rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
             auto second = rtc->incomingSession();
             rtc->fireSessionState(second, rtc::RTCSS_INCOMING);
             rtc->fireSessionState(second, rtc::RTCSS_DISCONNECTED);
             rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
         },
         {Outcome::Missed, Outcome::Answered}},
        {"Auto ticked while it rings",
         [&] {
             auto session = rtc->incomingSession();
             ring(session, [&] { calls.ringer().setAutoAnswer(true); });
             calls.ringer().setAutoAnswer(false);
             EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".Answer")), 1);
             rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
             rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
         },
         {Outcome::Answered}},
        {"lost while being answered",
         [&] {
             auto session = rtc->incomingSession();
             ring(session, [&] { calls.answer(); });
             rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
         },
         {Outcome::Failed}},
        {"ours, answered", [&] { place(true, false); }, {Outcome::Answered}},
        {"ours, answered, hung up here", [&] { place(true, true); }, {Outcome::Answered}},
        {"ours, cancelled", [&] { place(false, true); }, {Outcome::Cancelled}},
        {"ours, declined there", [&] { place(false, false, 603); }, {Outcome::Declined}},
        {"ours, busy there", [&] { place(false, false, 486); }, {Outcome::Busy}},
        {"ours, rang there unanswered", [&] { place(false, false, 480); }, {Outcome::Unanswered}},
        {"ours, nothing answers at the address", [&] { place(false, false, 408); }, {Outcome::Unreachable}},
        {"ours, lost on the way", [&] { place(false, false); }, {Outcome::NetworkError}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen.clear();
        c.run();
        EXPECT_EQ(ends(), c.ends);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().phase, CallActivity::Phase::Ended);
        EXPECT_TRUE(idle());
    }
}
