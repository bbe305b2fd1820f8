// The record of calls without a window: every call told from its start to one end, the calls
// turned away told apart, and the ends of sessions turned away kept from the call in progress.
#include "call/control/CallRecord.h"
#include "support/ScriptedRtc.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using callcontrol::CallRecord;
using Outcome = CallActivity::Outcome;
using Phase = CallActivity::Phase;

namespace {

CallActivity named(const char* name) {
    CallActivity party;
    party.name = QString::fromLatin1(name);
    party.address = QStringLiteral("10.0.0.7:5060");
    return party;
}

// How each kind of call ends once its session does.
TEST(CallRecord, EachCallEndsOnceSayingHowItEnded) {
    struct Case {
        const char* what;
        bool incoming;
        bool connected;
        bool byUser;
        bool stillRinging;
        Outcome outcome;
    };
    const Case cases[] = {
        {"answered here", true, true, false, false, Outcome::Answered},
        {"ours, answered", false, true, true, false, Outcome::Answered}, // hung up by us
        {"refused with Terminate", true, false, true, true, Outcome::Declined},
        {"the caller gave up", true, false, false, true, Outcome::Missed},
        {"lost while being answered", true, false, false, false, Outcome::Failed},
        {"ours, cancelled", false, false, true, false, Outcome::Cancelled},
        {"ours, not answered, no reason given", false, false, false, false, Outcome::NetworkError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CallRecord record;
        QSignalSpy told(&record, &CallRecord::callActivity);
        record.start(c.incoming ? Phase::Ringing : Phase::Placing, c.incoming, named("Ann"));
        if (c.connected) record.report(Phase::Connected);
        if (c.byUser) record.endedByUser();
        record.report(Phase::Ended, record.endingOutcome(c.stillRinging));
        record.report(Phase::Ended, Outcome::Missed); // a second end is told to nobody
        ASSERT_EQ(told.count(), c.connected ? 3 : 2);
        const auto last = told.last().first().value<CallActivity>();
        EXPECT_EQ(last.outcome, c.outcome);
        EXPECT_EQ(last.name, QStringLiteral("Ann"));
        EXPECT_FALSE(record.open());
    }
}

// A call overtaken by the next ends unanswered; calls turned away meanwhile are told apart,
// each under a number of its own, and their sessions' ends are recognised once.
TEST(CallRecord, OvertakenAndTurnedAwayCallsAreToldApart) {
    auto rtc = std::make_shared<testrtc::ScriptedRtc>();
    CallRecord record;
    QList<CallActivity> told;
    QObject::connect(&record, &CallRecord::callActivity, [&](const CallActivity& a) { told << a; });
    record.start(Phase::Ringing, true, named("Ann"));
    const auto stranger = rtc->incomingSession();
    record.turnAway(named("Mallory"), Outcome::Refused, stranger);
    EXPECT_TRUE(record.open());
    record.setSecurity(QStringLiteral("ZRTP"));
    record.start(Phase::Placing, false, named("Bob")); // ours, placed while Ann's rang
    record.report(Phase::Ended, Outcome::Failed);
    ASSERT_EQ(told.size(), 5);
    EXPECT_EQ(told[1].name, QStringLiteral("Mallory"));
    EXPECT_EQ(told[1].outcome, Outcome::Refused);
    EXPECT_TRUE(told[1].incoming);
    EXPECT_EQ(told[2].name, QStringLiteral("Ann"));
    EXPECT_EQ(told[2].outcome, Outcome::Missed);
    EXPECT_EQ(told[2].security, QStringLiteral("ZRTP"));
    EXPECT_EQ(told[3].name, QStringLiteral("Bob"));
    EXPECT_EQ(told[4].outcome, Outcome::Failed);
    QList<quint64> numbers;
    for (const CallActivity& a : told)
        if (!numbers.contains(a.call)) numbers << a.call;
    EXPECT_EQ(numbers.size(), 3); // a call's start and end share one
    EXPECT_TRUE(record.takeTurnedAway(stranger));
    EXPECT_FALSE(record.takeTurnedAway(stranger));
    EXPECT_FALSE(record.takeTurnedAway(rtc->incomingSession()));
}

} // namespace
