// The chat request parser: when a request counts as whole, how it splits, what is refused.
#include "ServerTestSupport.h"
#include "chatserver/RequestParser.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <gtest/gtest.h>

using chatserver::ChatParse;
using chatserver::parseChatRequest;
using servertest::chatRequest;

namespace {

constexpr qsizetype kCap = 8192;
const QString S = QString(wire::kSep);

QByteArray plainBytes(const QString& text) {
    return wire::toCp1252(text);
}

// The request as a connection sees it when the sender dribbles it out one byte at a time.
ChatParse fedByteByByte(const QByteArray& bytes) {
    chatserver::ChatRequestReader reader(kCap);
    ChatParse parse;
    for (const char byte : bytes)
        parse = reader.feed(QByteArrayView(&byte, 1));
    return parse;
}

// Whole or a byte at a time, a request is read the same.
ChatParse parsedBothWays(const QByteArray& bytes) {
    const ChatParse whole = parseChatRequest(bytes, kCap);
    const ChatParse dribbled = fedByteByByte(bytes);
    EXPECT_EQ(dribbled.status, whole.status);
    EXPECT_EQ(dribbled.settled, whole.settled);
    EXPECT_EQ(dribbled.knownCode, whole.knownCode);
    EXPECT_EQ(dribbled.request.code, whole.request.code);
    EXPECT_EQ(dribbled.request.args, whole.request.args);
    EXPECT_EQ(dribbled.request.callAddress, whole.request.callAddress);
    return whole;
}

TEST(ChatRequestParser, WholeRequestsSplitIntoCodeArgumentsAndAddress) {
    struct Case {
        QStringList fields;
        QString address;
        QStringList args;
    } cases[] = {
        {{"1", "17", "ann@example.org"}, "127.0.0.2:5060", {"17", "ann@example.org"}},
        {{"3", "ann", "PC-1", "ann@example.org", "Ann Lee"}, "10.0.0.1", {"ann", "PC-1", "ann@example.org", "Ann Lee"}},
        {{"4", "17", "bob@example.org"}, "127.0.0.2:5060", {"17", "bob@example.org"}},
        {{"5", "17", "18"}, "127.0.0.2:5060", {"17", "18"}},
        {{"2005", "17"}, "127.0.0.2:5060", {"17"}},
        {{"2", "17"}, "127.0.0.2:5060", {"17"}},
        // The start-up poll by ID: the client's clock and its internet address (possibly empty).
        {{"77", "17", "01/15/2007 10:11:12", "203.0.113.9"},
         "127.0.0.2:5060",
         {"17", "01/15/2007 10:11:12", "203.0.113.9"}},
        {{"77", "17", "01/15/2007 10:11:12", ""}, "127.0.0.2:5060", {"17", "01/15/2007 10:11:12", ""}},
        // Characters above 127 survive the code page: "é" is one byte on the wire.
        {{"3", "jos\u00e9", "PC", "jose@example.org", "Jos\u00e9 \u20ac"},
         "1.2.3.4",
         {"jos\u00e9", "PC", "jose@example.org", "Jos\u00e9 \u20ac"}},
    };
    for (const Case& c : cases) {
        const ChatParse parse = parsedBothWays(chatRequest(c.fields, c.address));
        ASSERT_EQ(parse.status, ChatParse::Status::Complete) << c.fields.join(u',').toStdString();
        EXPECT_TRUE(parse.settled);
        EXPECT_EQ(parse.request.code, c.fields[0]);
        EXPECT_EQ(parse.request.args, c.args);
        EXPECT_EQ(parse.request.callAddress, c.address);
        EXPECT_TRUE(parse.request.scrambled);
        EXPECT_TRUE(parse.request.hasAddress);
    }
}

TEST(ChatRequestParser, EveryPrefixBeforeTheLastSeparatorIsIncomplete) {
    const QByteArray whole = chatRequest({"3", "ann", "PC-1", "ann@example.org", "Ann Lee"}, "127.0.0.2:5060");
    const qsizetype lastSep = wire::unscrambled(wire::fromCp1252(whole)).lastIndexOf(wire::kSep);
    chatserver::ChatRequestReader reader(kCap);
    for (qsizetype n = 0; n < lastSep; ++n)
        EXPECT_EQ(reader.feed(whole.sliced(n, 1)).status, ChatParse::Status::Incomplete) << n + 1 << " bytes";
    // From the last separator on the field count is there; an address still growing ends in a
    // digit only by chance, and a cut after a dot or colon is not taken as settled.
    EXPECT_EQ(parseChatRequest(whole.left(lastSep + 1), kCap).status, ChatParse::Status::Complete);
    EXPECT_FALSE(parseChatRequest(whole.left(lastSep + 1), kCap).settled);
    EXPECT_FALSE(parseChatRequest(whole.left(lastSep + 5), kCap).settled); // "127."
}

TEST(ChatRequestParser, EmptyOrNameLikeAddressIsCompleteButNotSettled) {
    // A first registration comes before the client knows its address: the last field is empty.
    for (const QString& address : {QString(), QStringLiteral("host.example")}) {
        const ChatParse parse = parsedBothWays(chatRequest({"3", "ann", "PC", "a@b.org", "Ann"}, address));
        EXPECT_EQ(parse.status, ChatParse::Status::Complete);
        EXPECT_FALSE(parse.settled);
        EXPECT_EQ(parse.request.callAddress, address);
    }
}

TEST(ChatRequestParser, PlainRequestsAreReadWithoutAnAddress) {
    // While the client waits for a web page it sends its request unscrambled and without address.
    const ChatParse poll = parsedBothWays(plainBytes("1" + S + "17" + S + "ann@example.org"));
    ASSERT_EQ(poll.status, ChatParse::Status::Complete);
    EXPECT_FALSE(poll.request.scrambled);
    EXPECT_FALSE(poll.request.hasAddress);
    EXPECT_EQ(poll.request.args, (QStringList{"17", "ann@example.org"}));
    EXPECT_FALSE(poll.settled); // an e-mail address may still be growing

    const ChatParse signOff = parseChatRequest(plainBytes("2005" + S + "17"), kCap);
    ASSERT_EQ(signOff.status, ChatParse::Status::Complete);
    EXPECT_TRUE(signOff.settled);
    EXPECT_EQ(parseChatRequest(plainBytes("200"), kCap).status, ChatParse::Status::Incomplete);
}

TEST(ChatRequestParser, RefusesWhatIsNoRequest) {
    struct Case {
        const char* what;
        QByteArray bytes;
        QString knownCode;
    } cases[] = {
        {"unknown code", chatRequest({"9", "17"}, "1.2.3.4"), {}},
        {"a poll by ID with one field too many", chatRequest({"77", "17", "d", "w", "x"}, "1.2.3.4"), "77"},
        {"code too long", wire::toCp1252(wire::scrambled("20051")), {}},
        {"code prefix of nothing", wire::toCp1252(wire::scrambled("6")), {}},
        {"not a digit first", QByteArray("\x01\x02\x03", 3), {}},
        {"plain text that is no code", plainBytes("GET / HTTP/1.1\r\n"), {}},
        {"too many fields", chatRequest({"1", "17", "a@b.org", "extra"}, "1.2.3.4"), "1"},
        {"a separator inside a registration field", chatRequest({"3", "u", "pc", "a@b.org", "Ann", "Lee"}, "1.2.3.4"),
         "3"},
    };
    for (const Case& c : cases) {
        const ChatParse parse = parsedBothWays(c.bytes);
        EXPECT_EQ(parse.status, ChatParse::Status::Malformed) << c.what;
        EXPECT_EQ(parse.knownCode, c.knownCode) << c.what;
        EXPECT_FALSE(parse.reason.isEmpty()) << c.what;
    }
}

TEST(ChatRequestParser, SizeCapAppliesToWhateverHasArrived) {
    const QByteArray big = chatRequest({"3", "u", "pc", "a@b.org", QString(9000, QLatin1Char('x'))}, "1.2.3.4");
    EXPECT_EQ(parseChatRequest(big, kCap).status, ChatParse::Status::Malformed);
    // A growing request that never reaches its field count is cut off at the cap too.
    const QByteArray endless = wire::toCp1252(wire::scrambled("1" + S + QString(kCap, QLatin1Char('7'))));
    EXPECT_EQ(parseChatRequest(endless.left(kCap), kCap).status, ChatParse::Status::Incomplete);
    EXPECT_EQ(parsedBothWays(endless).status, ChatParse::Status::Malformed);
}

} // namespace
