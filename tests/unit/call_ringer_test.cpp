// The ringing of an incoming call without a window: what stops it and an engine that cannot ring.
// How each ringing call ends (answered by hand or by Auto, refused, given up, or nobody answering)
// is call_states_test's, through the call controller.
#include "call/control/CallRinger.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using callcontrol::CallRinger;
using testrtc::ScriptedRtc;
using testrtc::ScriptedSession;

namespace {

class Ringing : public ::testing::Test {
protected:
    testenv::TestEnv env;
    std::shared_ptr<ScriptedRtc> rtc = std::make_shared<ScriptedRtc>();
    CallRinger ringer{[this] { return std::static_pointer_cast<rtc::IRTCClient2>(rtc); }};
    QSignalSpy answered{&ringer, &CallRinger::answered};
    QSignalSpy timedOut{&ringer, &CallRinger::timedOut};
    QSignalSpy ended{&ringer, &CallRinger::ended};

    void SetUp() override {
        env.makeLogsFolder();
        CallRinger::setCheckMsForTesting(0);
    }
    void TearDown() override { CallRinger::setCheckMsForTesting(-1); }
};

// The end of another session (a caller turned away meanwhile) leaves the ringing alone; the window
// going stops it without a word.
TEST_F(Ringing, OnlyItsOwnSessionsEndOrTheWindowGoingStopsARing) {
    const auto session = rtc->incomingSession();
    ringer.start(session);
    ringer.sessionEnded(rtc->incomingSession());
    EXPECT_TRUE(ringer.ringing());
    ringer.stop();
    EXPECT_FALSE(testenv::waitFor([this] { return !timedOut.isEmpty() || !ended.isEmpty(); }, 200));
}

// An engine that cannot ring (gone, or failing) ends the ringing with a line in the log.
TEST_F(Ringing, AnEngineThatCannotRingEndsTheRingingInTheLog) {
    rtc->failOn(QStringLiteral("PlayRing"));
    ringer.start(rtc->incomingSession());
    EXPECT_FALSE(ringer.ringing());
    CallRinger gone{[] { return std::shared_ptr<rtc::IRTCClient2>(); }};
    gone.start(rtc->incomingSession());
    EXPECT_FALSE(gone.ringing());
    ASSERT_EQ(env.logLines().size(), 2);
    for (const QString& line : env.logLines())
        EXPECT_TRUE(line.contains(QStringLiteral("SessionStateEvent[8]"))) << line.toStdString();
    EXPECT_EQ(answered.count() + timedOut.count() + ended.count(), 0);
}

} // namespace
