// The chat request parser: when a request counts as whole, how it splits, what is refused.
#include "ServerTestSupport.h"
#include "chatserver/net/ProxyHeader.h"
#include "chatserver/net/RequestParser.h"
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

// A balancer's binary header: signature, version 2 and `command`, `family`, then `block`.
QByteArray proxyV2(int command, int family, const QByteArray& block) {
    QByteArray bytes("\r\n\r\n\0\r\nQUIT\n", 12);
    bytes += char(0x20 | command);
    bytes += char(family);
    bytes += char(block.size() >> 8);
    bytes += char(block.size() & 0xFF);
    return bytes + block;
}

TEST(ProxyHeader, BalancerHeadersAreReadOrRefused) {
    using Status = chatserver::ProxyHeader::Status;
    const QByteArray v4 = QByteArray::fromHex("c0000207"
                                              "c0000201"
                                              "d431"
                                              "4e07"); // 192.0.2.7 -> .1
    const QByteArray v6 = QByteArray::fromHex("20010db8000000000000000000000001"
                                              "20010db8000000000000000000000002"
                                              "d4314e07");
    const QByteArray tlv = QByteArray::fromHex("0400020000"); // an extension the server skips
    const QByteArray request = chatRequest({"1", "17", "a@b.org"}, "1.2.3.4");
    struct Case {
        const char* what;
        QByteArray bytes;
        Status status;
        qsizetype length = 0;
        QString address;
    } cases[] = {
        {"text TCP4, request after it", "PROXY TCP4 192.0.2.7 192.0.2.1 54321 19991\r\n" + request, Status::Complete,
         44, "192.0.2.7"},
        {"text TCP6", "PROXY TCP6 2001:db8::1 2001:db8::2 54321 19991\r\n", Status::Complete, 48, "2001:db8::1"},
        {"text TCP6, IPv4 mapped", "PROXY TCP6 ::ffff:192.0.2.8 ::1 1 2\r\n", Status::Complete, 37, "192.0.2.8"},
        {"text UNKNOWN: the balancer itself", "PROXY UNKNOWN\r\n", Status::Complete, 15, {}},
        {"binary TCP4", proxyV2(1, 0x11, v4) + request, Status::Complete, 28, "192.0.2.7"},
        {"binary TCP4 with an extension", proxyV2(1, 0x11, v4 + tlv), Status::Complete, 33, "192.0.2.7"},
        {"binary TCP6", proxyV2(1, 0x21, v6), Status::Complete, 52, "2001:db8::1"},
        {"binary LOCAL: a health check", proxyV2(0, 0x11, v4), Status::Complete, 28, {}},
        {"binary UNSPEC", proxyV2(1, 0x00, {}), Status::Complete, 16, {}},
        {"text, cut short", "PROXY TCP4 192.0.2.7 19", Status::Incomplete, 0, {}},
        {"text, first letters", "PRO", Status::Incomplete, 0, {}},
        {"binary, cut in the addresses", proxyV2(1, 0x11, v4).left(20), Status::Incomplete, 0, {}},
        {"binary, cut in the signature", proxyV2(1, 0x11, v4).left(7), Status::Incomplete, 0, {}},
        {"a chat request", request, Status::Invalid, 0, {}},
        {"an HTTP request", "GET / HTTP/1.1\r\n\r\n", Status::Invalid, 0, {}},
        {"lower case", "proxy TCP4 192.0.2.7 192.0.2.1 1 2\r\n", Status::Invalid, 0, {}},
        {"text, bad address", "PROXY TCP4 192.0.2.700 192.0.2.1 1 2\r\n", Status::Invalid, 0, {}},
        {"text, IPv6 under TCP4", "PROXY TCP4 ::1 ::1 1 2\r\n", Status::Invalid, 0, {}},
        {"text, port too big", "PROXY TCP4 192.0.2.7 192.0.2.1 65536 2\r\n", Status::Invalid, 0, {}},
        {"text, double space", "PROXY TCP4 192.0.2.7  192.0.2.1 1 2\r\n", Status::Invalid, 0, {}},
        {"text, no CR", "PROXY TCP4 192.0.2.7 192.0.2.1 1 2\n", Status::Invalid, 0, {}},
        {"text, UDP", "PROXY UDP4 192.0.2.7 192.0.2.1 1 2\r\n", Status::Invalid, 0, {}},
        {"text, endless line", "PROXY TCP4 " + QByteArray(200, '1'), Status::Invalid, 0, {}},
        {"binary, version 1", proxyV2(1, 0x11, v4).replace(12, 1, "\x11"), Status::Invalid, 0, {}},
        {"binary, unknown command", proxyV2(2, 0x11, v4), Status::Invalid, 0, {}},
        {"binary, addresses missing", proxyV2(1, 0x11, v4.left(4)), Status::Invalid, 0, {}},
        {"binary, UDP", proxyV2(1, 0x12, v4), Status::Invalid, 0, {}},
        {"binary, oversized", proxyV2(1, 0x11, v4 + QByteArray(2000, '\0')).left(40), Status::Invalid, 0, {}},
    };
    for (const Case& c : cases) {
        const chatserver::ProxyHeader header = chatserver::parseProxyHeader(c.bytes);
        EXPECT_EQ(header.status, c.status) << c.what;
        if (c.status != Status::Complete) continue;
        EXPECT_EQ(header.length, c.length) << c.what;
        EXPECT_EQ(header.address, c.address) << c.what;
        // A header arriving in pieces is read the same once whole, and waited for until then.
        for (qsizetype n = 1; n < c.length; ++n)
            EXPECT_EQ(chatserver::parseProxyHeader(c.bytes.first(n)).status, Status::Incomplete) << c.what << " " << n;
    }
}

} // namespace
