// fnGetDataFromWEB against scripted web sites on loopback addresses: the request bytes on the wire,
// replies in segments however they are framed, and a site whose reply never ends.
#include "app/basMain.h"
#include "app/frmMain.h"
#include "server/KVOSocket.h"
#include "support/TestEnv.h"
#include "web/HttpGet.h"
#include "web_server.h"
#include "wire/Codepage.h"

#include <gtest/gtest.h>

namespace {

using basMain::fnGetDataFromWEB;
using webtest::httpReply;
using webtest::marked;
using webtest::ScriptedWebServer;

QString text(const QByteArray& bytes) {
    return wire::fromCp1252(bytes);
}

class WebGetTest : public ::testing::Test {
protected:
    WebGetTest() { webtest::attachWebSocket(form); }
    ~WebGetTest() override { form.oMySocketWeb.reset(); }

    // The state every request leaves behind it.
    static void expectIdle() {
        EXPECT_FALSE(basMain::g_blnWebWaiting);
        EXPECT_EQ(basMain::g_lngWebSocketHandle, 0);
    }
    // Asks `ip` for `page` under the host name `host`; returns the reply (empty when none came).
    static QString get(const QString& ip, QString page, QString host = QStringLiteral("web.example")) {
        EXPECT_TRUE(fnGetDataFromWEB(host, ip, page));
        return host;
    }

    testenv::TestEnv env;
    frmMain form;
};

TEST_F(WebGetTest, SendsTheHandBuiltRequestAndReturnsTheWholeReply) {
    ScriptedWebServer server(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(server.listening()) << "binding 127.0.0.2:80 needs root";
    const QByteArray reply = httpReply("<html>" + marked(" 198.51.100.4 ") + "</html>");
    server.setAnswer(QStringLiteral("notes for me.txt"), ScriptedWebServer::whole(reply));

    QString host = QStringLiteral("web.example");
    QString page = QStringLiteral("notes for me.txt");
    EXPECT_TRUE(fnGetDataFromWEB(host, QStringLiteral("127.0.0.2"), page));

    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0],
              "GET /notes%20for%20me.txt HTTP/1.1\r\nHost: web.example:80\r\nConnection: Close\r\n\r\n");
    EXPECT_EQ(host, text(reply));
    EXPECT_EQ(page, QStringLiteral("notes%20for%20me.txt")); // the page is handed back escaped
    expectIdle();
}

TEST_F(WebGetTest, ReplyInSeveralSegmentsIsReturnedWhole) {
    ScriptedWebServer server(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(server.listening());

    const QByteArray body = "<p>" + marked("77") + marked("5") + marked("Ann") + "</p>";
    const QByteArray closeDelimited = httpReply(body, false);
    const QByteArray withLength = httpReply(body);
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                               QByteArray::number(body.size() - 10, 16) + "\r\n" + body.left(body.size() - 10) +
                               "\r\n" + "a\r\n" + body.right(10) + "\r\n0\r\n\r\n";
    const qsizetype headerEnd = withLength.indexOf("\r\n\r\n") + 4;
    auto segmented = [](const QByteArray& reply, qsizetype cut1, qsizetype cut2, bool closeAfter) {
        return ScriptedWebServer::Answer{
            {{0, reply.left(cut1)}, {150, reply.mid(cut1, cut2 - cut1)}, {150, reply.mid(cut2)}}, closeAfter};
    };

    struct Case {
        const char* what;
        ScriptedWebServer::Answer answer;
        QByteArray reply;
    };
    const Case cases[] = {
        // Headers first, the body in two more segments, then the close ends the reply.
        {"ended by the close", segmented(closeDelimited, headerEnd - 2, headerEnd + 20, true), closeDelimited},
        // The server keeps the connection open: the announced length ends the reply.
        {"Content-Length", segmented(withLength, headerEnd, headerEnd + 7, false), withLength},
        {"chunked", segmented(chunked, 30, chunked.size() - 3, false), chunked},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.setAnswer(QStringLiteral("users.asp"), c.answer);
        EXPECT_EQ(get(QStringLiteral("127.0.0.2"), QStringLiteral("users.asp")), text(c.reply));
        expectIdle();
        // The client closes what the server left open.
        EXPECT_TRUE(testenv::waitFor([&] { return server.openConnections() == 0; }));
    }
}

// A site announcing a body of 100 GB, sent as fast as the client takes it or a byte at a time,
// never ending: the client keeps 64 KiB at most, stops waiting on its own, and stays small.
TEST_F(WebGetTest, AnEndlessReplyIsCutAndTheWaitEndsOnItsOwn) {
    ScriptedWebServer server(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(server.listening());
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n" + marked("10.9.9.9");
    server.setAnswer(QStringLiteral("flood.asp"), ScriptedWebServer::whole(head));
    server.setEndless(QStringLiteral("flood.asp"), QByteArray(64 * 1024, 'x'), 1);
    server.setAnswer(QStringLiteral("drip.asp"), ScriptedWebServer::whole(head));
    server.setEndless(QStringLiteral("drip.asp"), "x", 20);

    const qint64 before = testenv::residentBytes();
    const QString flood = get(QStringLiteral("127.0.0.2"), QStringLiteral("flood.asp"));
    EXPECT_EQ(flood.size(), web::kMaxReplyChars);
    EXPECT_TRUE(flood.startsWith(text(head)));
    const QString drip = get(QStringLiteral("127.0.0.2"), QStringLiteral("drip.asp"));
    EXPECT_TRUE(drip.startsWith(text(head)));
    EXPECT_LT(drip.size(), web::kMaxReplyChars);
    EXPECT_LT(testenv::residentBytes() - before, 200LL * 1024 * 1024);
    // The client hung up on both while they were still sending.
    EXPECT_TRUE(testenv::waitFor([&] { return server.openConnections() == 0; }));
    expectIdle();
}

} // namespace
