// fnGetDataFromWEB against real web servers on loopback addresses: the request bytes on the wire
// (the rules of the request text are tested in web_text_test), replies in segments, servers that
// drop or never answer, and one request at a time. That the window keeps handling its events
// during the wait is tested with a site that never answers in web_lookup_test.
#include "app/basMain.h"
#include "app/frmMain.h"
#include "server/KVOSocket.h"
#include "support/TestEnv.h"
#include "web/HttpGet.h"
#include "web_server.h"
#include "wire/Codepage.h"

#include <QElapsedTimer>
#include <QTimer>
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

// The ".asp" pages' "//" form, with and without blanks, is checked on the wire in web_lookup_test.
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
            {{0, reply.left(cut1)}, {150, reply.mid(cut1, cut2 - cut1)}, {150, reply.mid(cut2)}}, closeAfter, false};
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

TEST_F(WebGetTest, ServerClosingWithoutAnAnswerGivesAnEmptyReply) {
    ScriptedWebServer server(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(server.listening());
    server.dropEveryRequest();

    EXPECT_EQ(get(QStringLiteral("127.0.0.2"), QStringLiteral("infoip.asp")), QString());
    EXPECT_EQ(server.requests().size(), 1);
    expectIdle();
}

TEST_F(WebGetTest, UnreachableServerCostsOneFullWaitAndGivesAnEmptyReply) {
    // Nothing listens on 127.0.0.9:80: the connection is refused at once, and the request still
    // waits out its 700 passes of 10 ms.
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(get(QStringLiteral("127.0.0.9"), QStringLiteral("infoip.asp")), QString());
    EXPECT_GE(clock.elapsed(), 7000);
    expectIdle();
}

// A timer tick during the first request's wait starts a second one, as a poll would: it takes its
// turn when the first completes, and gives up (False, the host name kept) when the first never does.
TEST_F(WebGetTest, RequestStartedDuringAWaitTakesItsTurnOrGivesUpAndLeavesTheFirstReplyIntact) {
    ScriptedWebServer first(QStringLiteral("127.0.0.2"));
    ScriptedWebServer second(QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(first.listening() && second.listening());
    const QByteArray firstReply = httpReply(marked("first"), false);
    const QByteArray secondReply = httpReply(marked("second"));
    second.setAnswer(QStringLiteral("b.asp"), ScriptedWebServer::whole(secondReply));

    for (const bool firstCompletes : {true, false}) {
        SCOPED_TRACE(firstCompletes ? "the first completes" : "the first answers only after the second gave up");
        // Held: the first server answers only once released, after the second request's wait.
        first.setAnswer(
            QStringLiteral("a.asp"),
            firstCompletes
                ? ScriptedWebServer::Answer{{{200, firstReply.left(40)}, {200, firstReply.mid(40)}}, true, false}
                : ScriptedWebServer::Answer{{{0, firstReply}}, true, true});
        const int firstBefore = first.connectionCount();
        const int secondBefore = second.connectionCount();
        bool nestedDone = false;
        bool nestedResult = !firstCompletes;
        int firstConnectionsWhenNestedStarted = -1;
        QString nestedReply = QStringLiteral("b.example");
        QTimer::singleShot(30, [&] {
            firstConnectionsWhenNestedStarted = first.connectionCount() - firstBefore;
            QString page = QStringLiteral("b.asp");
            nestedResult = fnGetDataFromWEB(nestedReply, QStringLiteral("127.0.0.3"), page);
            nestedDone = true;
        });

        // The first request's wait is measured from its own start: a nested request that used it
        // up leaves it nothing more to wait for.
        EXPECT_EQ(get(QStringLiteral("127.0.0.2"), QStringLiteral("a.asp")),
                  firstCompletes ? text(firstReply) : QString());
        first.release();
        EXPECT_TRUE(nestedDone);
        EXPECT_EQ(firstConnectionsWhenNestedStarted, 1);
        EXPECT_EQ(nestedResult, firstCompletes);
        // A request that failed keeps the host name it was given, for its caller's error line.
        EXPECT_EQ(nestedReply, firstCompletes ? text(secondReply) : QStringLiteral("b.example"));
        EXPECT_EQ(second.connectionCount() - secondBefore, firstCompletes ? 1 : 0);
        expectIdle();
    }
}

TEST_F(WebGetTest, RealWebServerAnswersTheHandBuiltRequests) {
    if (!webtest::NginxServer::installed())
        GTEST_SKIP() << "nginx is not installed (apt-get install nginx-light): the hand-built request is not "
                        "checked against a web server we did not write";
    const QByteArray infoip = "<html><body>" + marked(" 198.51.100.4 ") + "</body></html>\n";
    const QByteArray list = "redirect list\n";
    const QByteArray upper = "upper-case text\n";
    const QByteArray blanks = marked("77") + marked("2") + "\n";
    const QByteArray infoDt = marked("77") + marked("5") + marked("Ann") + "\n";
    webtest::NginxServer nginx(QStringLiteral("127.0.0.7"), {{"infoip.asp", infoip},
                                                             {"list.txt", list},
                                                             {"LIST.TXT", upper},
                                                             {"my page.asp", blanks},
                                                             {"InfoDT.asp", infoDt}});
    ASSERT_EQ(nginx.failure(), QString());

    const QString sep(QChar(0x00D4));
    const std::pair<QString, QByteArray> cases[] = {
        {"infoip.asp", infoip},
        {"list.txt", list},
        {"LIST.TXT", upper},
        {"my page.asp", blanks},
        // The query carries raw "Ô" bytes, blanks as "%20" and a date with slashes and colons.
        {"InfoDT.asp?ReqDt=77" + sep + "5" + sep + "12/05/2026 06:30:05" + sep + "203.0.113.7" + sep +
             "Jet OLEDB:Database Password=brick789",
         infoDt},
    };
    for (const auto& [requested, body] : cases) {
        SCOPED_TRACE(requested.toStdString());
        const QString host = get(QStringLiteral("127.0.0.7"), requested, QStringLiteral("127.0.0.7"));
        EXPECT_TRUE(host.startsWith(QLatin1String("HTTP/1.1 200 OK\r\n"))) << host.left(200).toStdString();
        EXPECT_TRUE(host.endsWith(text(body))) << host.toStdString();
        expectIdle();
    }
}

} // namespace
