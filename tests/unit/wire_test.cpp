// Wire pieces: the scrambling arithmetic (key positions, wrap-around; round trips are tested through
// EncryptText and DecryptText in scramble_test) and the reply framer (split anywhere, prefix
// included; long replies; surplus; malformed prefixes).
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <gtest/gtest.h>

namespace {

const QString kKey = QString::fromLatin1(wire::kScrambleKey.data(), qsizetype(wire::kScrambleKey.size()));

// ---- Scrambling -----------------------------------------------------------------------------

TEST(Scramble, KeyPositionsFollowTextPositionModulo23) {
    // Text position 1 takes key character 2, 22 the last, 23 the first, 24 the second again.
    struct Case {
        qsizetype position;
        int keyIndex; // 0-based
    } cases[] = {{1, 1}, {2, 2}, {22, 22}, {23, 0}, {24, 1}, {46, 0}, {47, 1}, {70000, 70000 % 23}};
    for (const Case& c : cases)
        EXPECT_EQ(wire::keyCodeAt(c.position), static_cast<unsigned char>(kKey[c.keyIndex].unicode()))
            << "position " << c.position;
}

TEST(Scramble, SumsWrapToTheLowEnd) {
    struct Case {
        unsigned char code;
        qsizetype position;
        unsigned char expected;
    } cases[] = {
        {0xFF, 1, static_cast<unsigned char>((0xFF + 'x') & 0xFF)}, // 0x177 -> 0x77
        {0xD4, 23, static_cast<unsigned char>((0xD4 + 'Q') & 0xFF)},
        {0x88, 22, static_cast<unsigned char>((0x88 + 'e') & 0xFF)},
        {0x00, 5, '7'},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wire::scrambleCode(c.code, c.position), c.expected);
        EXPECT_EQ(wire::unscrambleCode(c.expected, c.position), c.code);
    }
    // A difference below zero wraps to the high end.
    EXPECT_EQ(wire::unscrambleCode('\x01', 1), static_cast<unsigned char>(1 - 'x' + 256));
}

TEST(Scramble, CharactersOutsideTheCodePageEnterAsQuestionMark) {
    const QString text = QStringLiteral("a\u03A9b"); // Greek omega has no Windows-1252 code
    EXPECT_EQ(wire::unscrambled(wire::scrambled(text)), QStringLiteral("a?b"));
}

// ---- Reply framing --------------------------------------------------------------------------

const QString kSep(wire::kSep);

// Feeds the chunks in order and returns the payload of the first Complete result.
std::optional<QString> feedAll(wire::ReplyFramer& framer, const QStringList& chunks, int* completions = nullptr) {
    std::optional<QString> payload;
    int complete = 0;
    for (const QString& chunk : chunks) {
        const wire::ReplyFramer::Result result = framer.feed(chunk);
        EXPECT_NE(result.status, wire::ReplyFramer::Status::Malformed) << chunk.toStdString();
        if (result.status == wire::ReplyFramer::Status::Complete) {
            ++complete;
            if (!payload) payload = result.payload;
        }
    }
    if (completions) *completions = complete;
    return payload;
}

TEST(ReplyFramer, AnySplitGivesTheSameReply) {
    const QString payload = QStringLiteral("77\u00D4"
                                           "12\u00D4Ann\u00D4ann@x.org\u00D4"
                                           "10.0.0.1:5060\u00D4"
                                           "1\u00D4"
                                           "12/05/2026 06:30:00");
    const QString wireText = wire::frameReply(payload);
    ASSERT_TRUE(wireText.startsWith(QString::number(payload.size()) + kSep));
    for (qsizetype i = 0; i <= wireText.size(); ++i) {
        for (qsizetype j = i; j <= wireText.size(); ++j) {
            wire::ReplyFramer framer;
            int completions = 0;
            const auto got = feedAll(framer, {wireText.left(i), wireText.mid(i, j - i), wireText.mid(j)}, &completions);
            ASSERT_TRUE(got.has_value()) << "split at " << i << "," << j;
            EXPECT_EQ(*got, payload) << "split at " << i << "," << j;
            EXPECT_EQ(completions, 1);
        }
    }
}

TEST(ReplyFramer, LongReplyInManyPieces) {
    // A reply far larger than one socket read, with separators at chunk starts.
    QString big;
    for (int i = 0; i < 20000; ++i)
        big += kSep + QString::number(i);
    const QString wireText = wire::frameReply(big);
    QStringList pieces;
    for (qsizetype at = 0; at < wireText.size(); at += 1000)
        pieces.append(wireText.mid(at, 1000));
    wire::ReplyFramer bigFramer;
    EXPECT_EQ(feedAll(bigFramer, pieces), big);
}

TEST(ReplyFramer, SurplusIsDroppedUntilReset) {
    wire::ReplyFramer framer;
    int completions = 0;
    EXPECT_EQ(feedAll(framer, {QStringLiteral("3\u00D4ab"), QStringLiteral("cdef"), QStringLiteral("5\u00D4hello")},
                      &completions),
              QStringLiteral("abc"));
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(framer.inProgress());

    framer.reset();
    EXPECT_EQ(framer.feed(QStringLiteral("2\u00D4xyz")).payload, QStringLiteral("xy"));
    framer.reset();
    const auto empty = framer.feed(QStringLiteral("0\u00D4"));
    EXPECT_EQ(empty.status, wire::ReplyFramer::Status::Complete);
    EXPECT_TRUE(empty.payload.isEmpty());
}

TEST(ReplyFramer, MalformedPrefixes) {
    const QStringList bad[] = {
        {QStringLiteral("\u00D4abc")},               // empty prefix
        {QStringLiteral("x3\u00D4abc")},             // not a number
        {QStringLiteral("-3\u00D4abc")},             // no sign allowed
        {QStringLiteral("1"), QStringLiteral("2a")}, // non-digit before the separator arrives
        {QStringLiteral("1234567890")},              // longer than any prefix can be
        {QStringLiteral("12345"), QStringLiteral("67890\u00D4")},
    };
    for (const QStringList& chunks : bad) {
        wire::ReplyFramer framer;
        wire::ReplyFramer::Status last = wire::ReplyFramer::Status::Incomplete;
        for (const QString& chunk : chunks)
            last = framer.feed(chunk).status;
        EXPECT_EQ(last, wire::ReplyFramer::Status::Malformed) << chunks.join(QLatin1Char('|')).toStdString();
        // The rest of that connection is ignored; a new reply after reset() is read normally.
        EXPECT_EQ(framer.feed(QStringLiteral("3\u00D4abc")).status, wire::ReplyFramer::Status::Incomplete);
        framer.reset();
        EXPECT_EQ(framer.feed(QStringLiteral("3\u00D4abc")).payload, QStringLiteral("abc"));
    }

    // A reply may announce 1 MiB and no more: a longer one is refused before anything is kept.
    wire::ReplyFramer framer;
    EXPECT_EQ(framer.feed(QStringLiteral("1048576\u00D4x")).status, wire::ReplyFramer::Status::Incomplete);
    framer.reset();
    EXPECT_EQ(framer.feed(QStringLiteral("10485")).status, wire::ReplyFramer::Status::Incomplete);
    EXPECT_EQ(framer.feed(QStringLiteral("77\u00D4x")).status, wire::ReplyFramer::Status::TooLong);
    EXPECT_EQ(framer.feed(QStringLiteral("x")).status, wire::ReplyFramer::Status::Incomplete);
}

} // namespace
