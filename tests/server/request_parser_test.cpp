// What the doors refuse before the service sees anything: chat requests that are none, hostile
// PROXY headers, and the key limits count an IPv6 caller under. How requests split and arrive in
// pieces is tested over sockets (loopback_test.cpp) and by the fuzz targets.
#include "chatserver/net/ProxyHeader.h"
#include "chatserver/net/RateLimits.h"
#include "chatserver/net/RequestParser.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <gtest/gtest.h>

using chatserver::ChatParse;
using chatserver::parseChatRequest;

namespace {

constexpr qsizetype kCap = 8192;
const QString S = QString(wire::kSep);

QByteArray scrambledRequest(const QStringList& fields, const QString& address) {
    return wire::toCp1252(wire::scrambled(fields.join(wire::kSep) + wire::kSep + address));
}

TEST(ChatRequestParser, RefusesWhatIsNoRequest) {
    struct Case {
        const char* what;
        QByteArray bytes;
        QString knownCode; // the code a refusal in words can answer, if any
    } cases[] = {
        {"unknown code", scrambledRequest({"9", "17"}, "1.2.3.4"), {}},
        {"code too long", wire::toCp1252(wire::scrambled("20051")), {}},
        {"binary", QByteArray("\x01\x02\x03", 3), {}},
        {"an HTTP request", "GET / HTTP/1.1\r\n", {}},
        {"too many fields", scrambledRequest({"1", "17", "a@b.org", "extra"}, "1.2.3.4"), "1"},
        {"a separator inside a registration field", scrambledRequest({"3", "u", "pc", "a@b.org", "A", "L"}, "1.2.3.4"),
         "3"},
        {"over the size cap", scrambledRequest({"3", "u", "pc", "a@b.org", QString(9000, 'x')}, "1.2.3.4"), {}},
        {"a field that never ends", wire::toCp1252(wire::scrambled("1" + S + QString(kCap + 1, '7'))), {}},
    };
    for (const Case& c : cases) {
        const ChatParse parse = parseChatRequest(c.bytes, kCap);
        EXPECT_EQ(parse.status, ChatParse::Status::Malformed) << c.what;
        EXPECT_EQ(parse.knownCode, c.knownCode) << c.what;
    }
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
    const QByteArray v4 = QByteArray::fromHex("c0000207c0000201d4314e07"); // 192.0.2.7 -> .1
    const QByteArray v6 = QByteArray::fromHex("20010db80000000000000000000000012001"
                                              "0db8000000000000000000000002d4314e07");
    struct Case {
        const char* what;
        QByteArray bytes;
        Status status;
        qsizetype length = 0;
        QString address;
    } cases[] = {
        {"text TCP4, request after it", "PROXY TCP4 192.0.2.7 192.0.2.1 54321 19991\r\nxyz", Status::Complete, 44,
         "192.0.2.7"},
        {"text TCP6, IPv4 mapped", "PROXY TCP6 ::ffff:192.0.2.8 ::1 1 2\r\n", Status::Complete, 37, "192.0.2.8"},
        {"binary TCP4 with an extension", proxyV2(1, 0x11, v4 + QByteArray::fromHex("0400020000")), Status::Complete,
         33, "192.0.2.7"},
        {"binary TCP6", proxyV2(1, 0x21, v6), Status::Complete, 52, "2001:db8::1"},
        {"binary LOCAL: a health check", proxyV2(0, 0x11, v4), Status::Complete, 28, {}},
        {"lower case", "proxy TCP4 192.0.2.7 192.0.2.1 1 2\r\n", Status::Invalid, 0, {}},
        {"text, bad address", "PROXY TCP4 192.0.2.700 192.0.2.1 1 2\r\n", Status::Invalid, 0, {}},
        {"text, port too big", "PROXY TCP4 192.0.2.7 192.0.2.1 65536 2\r\n", Status::Invalid, 0, {}},
        {"text, endless line", "PROXY TCP4 " + QByteArray(200, '1'), Status::Invalid, 0, {}},
        {"binary, addresses missing", proxyV2(1, 0x11, v4.left(4)), Status::Invalid, 0, {}},
        {"binary, oversized", proxyV2(1, 0x11, v4 + QByteArray(2000, '\0')).left(40), Status::Invalid, 0, {}},
    };
    for (const Case& c : cases) {
        const chatserver::ProxyHeader header = chatserver::parseProxyHeader(c.bytes);
        EXPECT_EQ(header.status, c.status) << c.what;
        EXPECT_EQ(header.length, c.length) << c.what;
        EXPECT_EQ(header.address, c.address) << c.what;
    }
}

TEST(RateLimits, AnIpv6NetworkCountsAsOneAddress) {
    using chatserver::limitKey;
    EXPECT_EQ(limitKey("2001:db8:1:2::1"), limitKey("2001:db8:1:2:ffff:eeee:dddd:cccc"));
    EXPECT_NE(limitKey("2001:db8:1:2::1"), limitKey("2001:db8:1:3::1"));
    EXPECT_EQ(limitKey("192.0.2.1"), "192.0.2.1");
}

} // namespace
