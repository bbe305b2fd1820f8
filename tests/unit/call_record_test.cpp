// The record of calls without a window: the calls turned away told apart (how each call ends, and
// that a turned-away session's end leaves the call in progress alone, is call_states_test's).
#include "call/control/CallRecord.h"

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

// A call overtaken by the next ends unanswered; calls turned away meanwhile are told apart, each
// under a number of its own.
TEST(CallRecord, OvertakenAndTurnedAwayCallsAreToldApart) {
    CallRecord record;
    QList<CallActivity> told;
    QObject::connect(&record, &CallRecord::callActivity, [&](const CallActivity& a) { told << a; });
    record.start(Phase::Ringing, true, named("Ann"));
    record.turnAway(named("Mallory"), Outcome::Refused, nullptr);
    record.start(Phase::Placing, false, named("Bob")); // ours, placed while Ann's rang
    record.report(Phase::Ended, Outcome::Failed);
    ASSERT_EQ(told.size(), 5);
    EXPECT_EQ(told[1].name, QStringLiteral("Mallory"));
    EXPECT_EQ(told[1].outcome, Outcome::Refused);
    EXPECT_EQ(told[2].name, QStringLiteral("Ann"));
    EXPECT_EQ(told[2].outcome, Outcome::Missed);
    EXPECT_EQ(told[4].outcome, Outcome::Failed);
    QList<quint64> numbers;
    for (const CallActivity& a : told)
        if (!numbers.contains(a.call)) numbers << a.call;
    EXPECT_EQ(numbers.size(), 3); // a call's start and end share one
}

} // namespace
