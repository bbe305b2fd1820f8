// The HTTP request reader and target helpers, fed the exact bytes the client writes.
#include "ServerTestSupport.h"
#include "chatserver/net/HttpRequest.h"

#include <gtest/gtest.h>

using chatserver::HttpRequestReader;

namespace {

const QByteArray kAlternatePoll = "GET //InfoDT.asp?ReqDt=77\xD4"
                                  "17\xD4"
                                  "01/15/2007%2010:11:12\xD4"
                                  "127.0.0.2:5060\xD4Jet%20OLEDB:Database%20Password=brick789 HTTP/1.1\r\n"
                                  "Host: localhost:80\r\nConnection: Close\r\n\r\n";

TEST(HttpRequestReader, TakesTheClientsRequestsAsTheyAre) {
    struct Case {
        QByteArray request;
        QByteArray target;
        QByteArray host;
    } cases[] = {
        {servertest::clientGet("ClientChatIP.aspx", "10.1.2.3"), "//ClientChatIP.aspx", "10.1.2.3:80"},
        {"GET /sites.txt HTTP/1.1\r\nHost: h:80\r\nConnection: Close\r\n\r\n", "/sites.txt", "h:80"},
        {kAlternatePoll, kAlternatePoll.mid(4, kAlternatePoll.indexOf(" HTTP/1.1") - 4), "localhost:80"},
    };
    for (const Case& c : cases) {
        HttpRequestReader reader;
        ASSERT_EQ(reader.feed(c.request), HttpRequestReader::Status::Complete) << c.request.constData();
        EXPECT_EQ(reader.method(), "GET");
        EXPECT_EQ(reader.target(), c.target);
        EXPECT_EQ(reader.host(), c.host);
    }
}

TEST(HttpRequestReader, CompletesOnlyWithTheLastByteWhenFedOneByteAtATime) {
    HttpRequestReader reader;
    for (qsizetype i = 0; i + 1 < kAlternatePoll.size(); ++i)
        ASSERT_EQ(reader.feed(kAlternatePoll.mid(i, 1)), HttpRequestReader::Status::Incomplete) << i;
    EXPECT_EQ(reader.feed(kAlternatePoll.right(1)), HttpRequestReader::Status::Complete);
    EXPECT_TRUE(reader.target().contains('\xD4'));
}

TEST(HttpRequestReader, RefusesBrokenOversizedAndBodies) {
    struct Case {
        const char* what;
        QByteArray request;
    } cases[] = {
        {"no request line", "HELLO\r\n\r\n"},
        {"binary", QByteArray("\x00\x01\x02\xff\r\n\r\n", 8)},
        {"headers beyond the limit", "GET / HTTP/1.1\r\nX: " + QByteArray(9000, 'a') + "\r\n\r\n"},
        {"a body", "POST /InfoDT.asp HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello"},
        {"bad version", "GET / HTTP/9\r\n\r\n"},
    };
    for (const Case& c : cases) {
        HttpRequestReader reader(8192);
        EXPECT_EQ(reader.feed(c.request), HttpRequestReader::Status::Malformed) << c.what;
        // Once refused, it stays refused.
        EXPECT_EQ(reader.feed("GET / HTTP/1.1\r\n\r\n"), HttpRequestReader::Status::Malformed) << c.what;
    }
}

TEST(HttpTargets, PageQueryAndPercentDecoding) {
    struct Case {
        QByteArray target, page, query;
    } cases[] = {
        {"//InfoDT.asp?ReqDt=2\xD4", "InfoDT.asp", "ReqDt=2\xD4"},
        {"/infoip.asp", "infoip.asp", ""},
        {"///a/b.asp?x?y", "a/b.asp", "x?y"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chatserver::targetPage(c.target), c.page) << c.target.constData();
        EXPECT_EQ(chatserver::targetQuery(c.target), c.query) << c.target.constData();
    }
    EXPECT_EQ(chatserver::percentDecoded("a%20b%2x%%41%d4"), QByteArray("a b%2x%A\xD4"));
    EXPECT_EQ(chatserver::percentDecoded("%4"), QByteArray("%4"));
}

} // namespace
