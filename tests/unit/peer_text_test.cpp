// What callers send, as the program shows and keeps it: one clean line of their text, a name
// only the facts of the call can make a contact's, the refusal of a stranger who keeps calling,
// and a history that folds a caller's repeated calls and keeps the
// contacts' rows whatever strangers do.
#include "core/CallerIdentity.h"
#include "core/RingPolicy.h"
#include "history/CallHistory.h"
#include "platform/vb.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"
#include "wire/PeerText.h"
#include "wire/Protocol.h"

#include <gtest/gtest.h>

namespace {

using basMain::RingPolicy;
using Decision = RingPolicy::Decision;

// A reply framed straight into bytes is what the code page makes of the framed text; a character
// the code page writes otherwise, wherever it stands, leaves the reply to the code page.
TEST(ReplyBytes, AreTheCodePagesBytesOrNothingWhereverTheOddCharacterStands) {
    for (const QChar odd : {QChar(0x20AC), QChar(0x0085), QChar(0x0100)})
        for (int size = 0; size <= 40; ++size) {
            QString payload(size, QLatin1Char('a'));
            for (int i = 0; i < size; i += 3)
                payload[i] = QChar(0xE9);
            EXPECT_EQ(wire::frameReplyLatin1(payload).value_or("none"), wire::toCp1252(wire::frameReply(payload)));
            for (int at = 0; at < size; ++at) {
                QString spoilt = payload;
                spoilt[at] = odd;
                EXPECT_FALSE(wire::frameReplyLatin1(spoilt)) << size << " " << at;
            }
        }
}

// Whatever a caller sends, the window and the desktop show one line of printable text, cut short.
TEST(PeerText, EveryTextBecomesOneBoundedLineThatShowsAsItReads) {
    const QString ellipsis(QChar(0x2026));
    const struct {
        const char* what;
        QString text;
        qsizetype max;
        QString shown;
    } cases[] = {
        {"line breaks", QStringLiteral("Ann\nWalker\r\n"), 80, QStringLiteral("Ann Walker")},
        {"an override, a line separator and a bell", QStringLiteral("Ann \u202Erellac\u2028 x\u0007"), 80,
         QStringLiteral("Ann rellac x")},
        {"cut at the desktop's bound", QString(200, QLatin1Char('b')), 80, QString(79, QLatin1Char('b')) + ellipsis},
        {"a cut never splits a character in two",
         QString(78, QLatin1Char('a')) + QStringLiteral("\U0001F600\U0001F600"), 80,
         QString(78, QLatin1Char('a')) + ellipsis},
        {"runs of space, ends trimmed", QStringLiteral("  Ann    Lee  "), 80, QStringLiteral("Ann Lee")},
        {"isolates, marks and joiners", QStringLiteral("A\u2066B\u200FC\u200DD\u2069"), 80, QStringLiteral("A B C D")},
        {"markup stays text", QStringLiteral("<a href=\"x\">Ann</a> & <u>"), 80,
         QStringLiteral("<a href=\"x\">Ann</a> & <u>")},
        {"a lone surrogate and a private character", QStringLiteral("A") + QChar(0xD800) + QStringLiteral("B\uE000"),
         80, QStringLiteral("A\uFFFDB\uFFFD")},
        {"marks piled on one letter", QStringLiteral("Z\u0301\u0302\u0303\u0304\u0305!"), 80,
         QStringLiteral("Z\u0301\u0302!")},
        {"a mark with nothing to sit on", QStringLiteral("\u0301 A"), 80, QStringLiteral("A")},
        {"cut, no space before the ellipsis", QStringLiteral("abcdefgh jk"), 10, QStringLiteral("abcdefgh") + ellipsis},
        {"nothing", QString(), 80, QString()},
        {"only invisibles", QStringLiteral("\u202E\u200B\n"), 80, QString()},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(wire::cleanPeerText(test.text, test.max), test.shown);
    }
    // A page of text costs no more than what is shown needs.
    const QString page = QString(1 << 20, QLatin1Char('a'));
    EXPECT_EQ(wire::cleanPeerText(page).size(), wire::kMaxPeerTextChars);
}

TEST(CallerIdentity, OnlyTheCallsOwnAddressesOrAVerifiedKeyMakeACallerAContact) {
    const QList<basMain::ContactEntry> contacts{
        {QStringLiteral("Ann"), QStringLiteral("ann@x.org"), QStringLiteral("10.0.0.1:5060")},
        {QStringLiteral("Bob\u202E"), QStringLiteral("bob@x.org"), QStringLiteral("Host.Example:5062")}};
    // The facts of each call, and the caller as shown: a contact's entry, or a stranger.
    const std::pair<basMain::CallerFacts, const char*> cases[] = {
        // Host names in any case.
        {{"", "", "host.example:5062", "HOST.example:5062", {}}, "contact Bob | bob@x.org | Host.Example:5062"},
        // From Ann's address, another Contact; Ann's port at another host.
        {{"Ann", "", "10.0.0.1:5060", "10.0.0.9:5060", {}}, "Unknown caller: Ann | sip:10.0.0.1:5060 | 10.0.0.1:5060"},
        {{"", "", "10.0.0.2:5060", "10.0.0.2:5060", {}}, "Unknown caller | sip:10.0.0.2:5060 | 10.0.0.2:5060"},
        // A key verified as Ann's, from a relay.
        {{"", "", "198.51.100.7:5060", "198.51.100.7:5060", "ANN@x.org"}, "contact Ann | ann@x.org | 10.0.0.1:5060"},
        // A name that would reorder the line; nothing known.
        {{"\u202Eecila", "", "10.0.0.9:1", "", {}}, "Unknown caller: ecila | sip:10.0.0.9:1 | 10.0.0.9:1"},
        {{}, "Unknown caller |  | "},
    };
    for (const auto& [facts, shown] : cases) {
        const basMain::CallerIdentity caller = basMain::identifyCaller(facts, contacts);
        EXPECT_EQ(QString(caller.contact ? "contact " : "") +
                      QStringList({caller.name, caller.email, caller.callAddress}).join(" | "),
                  QString::fromUtf8(shown));
    }
}

// The window's side of both (a stranger refused after a few rings, the settings kept across a
// restart) is played through the engine in sip_attack_test; here, what only the clock shows.
TEST(RingPolicy, AStrangerWhoGoesOnCallingStaysRefusedUntilQuietForLong) {
    RingPolicy policy;
    const QString mallory = QStringLiteral("10.0.0.9");
    qint64 now = qint64{1000} * 60 * 1000;
    for (int call = 0; call < RingPolicy::kUnansweredTries; ++call, now += qint64{60} * 1000)
        policy.noteUnanswered(false, mallory, now);
    EXPECT_EQ(policy.decide(true, mallory, now), Decision::Ring); // a contact there rings
    EXPECT_EQ(policy.decide(false, QStringLiteral("10.0.0.8"), now), Decision::Ring);
    // Each refused call counts from its own time: one who goes on stays refused.
    for (int call = 0; call < 20; ++call, now += qint64{41} * 1000) {
        EXPECT_EQ(policy.decide(false, mallory, now), Decision::RepeatCaller) << call;
        policy.noteUnanswered(false, mallory, now);
    }
    now += RingPolicy::kQuietMs;
    EXPECT_EQ(policy.decide(false, mallory, now), Decision::Ring);
    policy.noteUnanswered(false, mallory, now);
    EXPECT_EQ(policy.decide(false, mallory, now), Decision::Ring); // counting starts again
}

TEST(CallHistoryFolding, AStrangersRepeatedCallsFoldIntoOneRowAndNeverPushOutTheContacts) {
    testenv::TestEnv env;
    using Outcome = CallActivity::Outcome;
    using Phase = CallActivity::Phase;
    QDateTime now(QDate(2026, 3, 1), QTime(9, 0));
    vb::setClockForTesting([&] { return now; });
    history::CallHistory store(env.path(QStringLiteral("CallHistory.sqlite")), 4);
    quint64 serial = 0;
    const auto ended = [&](const QString& address, bool contact, Outcome outcome) {
        const QString name = contact ? QStringLiteral("Ann") : QStringLiteral("Unknown caller");
        store.record({++serial, Phase::Ended, outcome, true, name, {}, address, contact, {}});
        now = now.addSecs(60);
    };
    ended(QStringLiteral("10.0.0.1:5060"), true, Outcome::Missed);
    ended(QStringLiteral("10.0.0.1:5060"), true, Outcome::Answered);
    for (int call = 0; call < 50; ++call)
        ended(QStringLiteral("10.0.0.9:5060"), false, call % 2 ? Outcome::Refused : Outcome::Missed);
    auto rows = store.records();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].repeats, 50);
    EXPECT_EQ(rows[1].outcome, Outcome::Answered); // an answered call never folds
    EXPECT_TRUE(rows[2].contact);

    // Strangers from many addresses fill the history: they push each other out, not Ann.
    for (int stranger = 0; stranger < 20; ++stranger)
        ended(QStringLiteral("10.0.2.%1:5060").arg(stranger), false, Outcome::Missed);
    rows = store.records();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].address, QStringLiteral("10.0.2.19:5060"));
    EXPECT_TRUE(rows[2].contact && rows[3].contact);
    // Contacts' rows make room for each other.
    for (int call = 0; call < 5; ++call)
        ended(QStringLiteral("10.0.0.1:5060"), true, Outcome::Answered);
    rows = store.records();
    ASSERT_EQ(rows.size(), 4u);
    for (const auto& row : rows)
        EXPECT_TRUE(row.contact);
}

} // namespace
