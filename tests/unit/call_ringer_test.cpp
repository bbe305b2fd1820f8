// The ringing of an incoming call without a window: the scripted engine rings, the test plays the
// user (Auto, Manual, Terminate) and the caller (hanging up) at the moments that matter.
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
    int rings() const { return rtc->count(QStringLiteral("PlayRing(0, 1)")); }
    bool over() {
        return testenv::waitFor([this] { return !ringer.ringing(); });
    }
};

// Whatever happens while it rings, the ringing ends once, in one of three ways.
TEST_F(Ringing, EndsOnceAnsweredRefusedOrGivenUp) {
    enum class End { Answered, TimedOut, GaveUp, Declined };
    struct Case {
        const char* what;
        std::function<void(const std::shared_ptr<ScriptedSession>&)> meanwhile; // at the first chance
        End end;
    };
    const Case cases[] = {
        {"nobody answers", {}, End::TimedOut},
        {"Manual", [this](auto) { ringer.answer(); }, End::Answered},
        {"Auto ticked while it rings", [this](auto) { ringer.setAutoAnswer(true); }, End::Answered},
        {"the caller hangs up", [](auto s) { s->state = rtc::RTCSS_DISCONNECTED; }, End::GaveUp},
        {"Manual as the caller hangs up",
         [this](auto s) {
             ringer.answer();
             s->state = rtc::RTCSS_DISCONNECTED;
         },
         End::GaveUp},
        {"refused", [this](auto) { ringer.decline(); }, End::Declined},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ringer.setAutoAnswer(false);
        for (QSignalSpy* spy : {&answered, &timedOut, &ended})
            spy->clear();
        const auto session = rtc->incomingSession();
        session->state = rtc::RTCSS_INCOMING;
        ringer.start(session);
        EXPECT_TRUE(ringer.ringing());
        EXPECT_EQ(ringer.session(), session);
        if (c.meanwhile) c.meanwhile(session);
        ASSERT_TRUE(over());
        EXPECT_EQ(answered.count(), c.end == End::Answered ? 1 : 0);
        EXPECT_EQ(timedOut.count(), c.end == End::TimedOut ? 1 : 0);
        ASSERT_EQ(ended.count(), c.end == End::GaveUp || c.end == End::Declined ? 1 : 0);
        if (!ended.isEmpty()) {
            EXPECT_EQ(ended.first().first().toBool(), c.end == End::Declined);
        }
        if (!answered.isEmpty()) {
            EXPECT_EQ(answered.first().first().value<std::shared_ptr<rtc::IRTCSession2>>(), session);
        }
    }
    EXPECT_TRUE(env.logLines().isEmpty());
}

// A call nobody answers rings at once and then every so often, to the last check.
TEST_F(Ringing, RingsAtOnceAndEverySoOftenUntilNobodyAnswered) {
    const auto session = rtc->incomingSession();
    ringer.start(session);
    EXPECT_EQ(rings(), 1);
    ASSERT_TRUE(over());
    EXPECT_EQ(rings(), 1 + CallRinger::kRingChecks / CallRinger::kRingEvery);
    EXPECT_EQ(timedOut.count(), 1);
}

// With Auto on the call is picked up before start() returns; a second call replaces a first
// that still rings without a word about the first; the end of the ringing session ends it at once.
TEST_F(Ringing, AutoPicksUpAtOnceAndANewRingTakesThePlaceOfTheOld) {
    ringer.setAutoAnswer(true);
    ringer.start(rtc->incomingSession());
    EXPECT_EQ(answered.count(), 1);
    EXPECT_FALSE(ringer.ringing());
    ringer.setAutoAnswer(false);
    const auto first = rtc->incomingSession();
    const auto second = rtc->incomingSession();
    ringer.start(first);
    ringer.start(second);
    EXPECT_EQ(ringer.session(), second);
    ringer.sessionEnded(first); // the end of a call that no longer rings changes nothing
    EXPECT_TRUE(ringer.ringing());
    ringer.sessionEnded(second); // its caller hung up: over at once, not at the next check
    EXPECT_FALSE(ringer.ringing());
    ASSERT_EQ(ended.count(), 1);
    EXPECT_FALSE(ended.first().first().toBool());
    ended.clear();
    ringer.start(first);
    ringer.stop(); // the window goes
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
