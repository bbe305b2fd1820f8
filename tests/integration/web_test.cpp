// fnGetDataFromWEB against scripted web sites on loopback addresses (port 80), over a web socket
// of its own without a window: the request bytes on the wire, replies in segments however they are
// framed, a site whose reply never ends, a request that cuts in and a fetch that goes mid-wait;
// and what the error log tells of a bad alternate-server answer, with the window's sockets.
#include "app/frmMain.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/widgets/ListView.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"
#include "web/HttpGet.h"
#include "web/WebFetch.h"
#include "web/WebLookup.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace basMain;
using testsupport::ScriptedChatServer;
using Reply = ScriptedChatServer::Reply;

const QString kSite = QStringLiteral("127.0.0.2");

// A whole reply: status line, Content-Length, Connection: close, body.
QByteArray httpReply(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray marked(const QByteArray& value) {
    return "StartLookWANIP =" + value + "EndLookWANIP";
}

Reply answer(const QByteArray& bytes, QList<qsizetype> splitAt = {}, bool closeAfter = true) {
    Reply reply;
    reply.bytes = bytes;
    reply.splitAt = std::move(splitAt);
    reply.gapMs = 150;
    reply.closeAfter = closeAfter;
    return reply;
}

class WebGetTest : public ::testing::Test {
protected:
    void SetUp() override {
        web::WebFetch::install(&fetch);
        fetch.attach(&socket);
        ASSERT_TRUE(site.listen(QHostAddress(kSite), 80)) << "binding 127.0.0.2:80 needs root";
    }

    // Asks the site for `page`; returns the reply (empty when none came).
    QString get(QString page) {
        QString host = QStringLiteral("web.example");
        EXPECT_TRUE(fnGetDataFromWEB(host, kSite, page));
        // Every request leaves the web socket idle behind it.
        EXPECT_FALSE(basMain::g_blnWebWaiting);
        EXPECT_EQ(fetch.exchange().handle, 0);
        return host;
    }

    testenv::TestEnv env;
    KVOSocket socket;
    web::WebFetch fetch;
    ScriptedChatServer site;
};

TEST_F(WebGetTest, SendsTheHandBuiltRequestAndTakesTheReplyHoweverItIsFramed) {
    const QByteArray body = "<p>" + marked("77") + marked("5") + marked("Ann") + "</p>";
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                               QByteArray::number(body.size() - 10, 16) + "\r\n" + body.left(body.size() - 10) +
                               "\r\n" + "a\r\n" + body.right(10) + "\r\n0\r\n\r\n";
    const std::pair<const char*, Reply> cases[] = {
        {"whole", answer(httpReply(body))},
        // The site keeps the connection open: the last chunk ends the reply.
        {"chunked", answer(chunked, {30, chunked.size() - 3}, false)},
    };
    int index = 0;
    for (const auto& [name, reply] : cases) {
        SCOPED_TRACE(name);
        site.enqueue(reply);
        QString page = QStringLiteral("notes for me.asp");
        EXPECT_EQ(get(page), wire::fromCp1252(reply.bytes));
        EXPECT_EQ(site.request(index),
                  "GET //notes%20for%20me.asp HTTP/1.1\r\nHost: web.example:80\r\nConnection: Close\r\n\r\n");
        // The client closes what the site left open.
        EXPECT_TRUE(testenv::waitFor([&] { return site.closedByClient(index); }));
        ++index;
    }
}

// A site announcing a body of 100 GB, sent as fast as the client takes it or a byte at a time,
// never ending: the client keeps 64 KiB at most, stops waiting on its own, and stays small.
TEST_F(WebGetTest, AnEndlessReplyIsCutAndTheWaitEndsOnItsOwn) {
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n" + marked("10.9.9.9");
    Reply flood = answer(head, {}, false);
    flood.filler = QByteArray(qsizetype{64} * 1024, 'x');
    flood.gapMs = 1;
    Reply drip = answer(head, {}, false);
    drip.filler = "x";
    drip.gapMs = 20;
    site.enqueue(flood);
    site.enqueue(drip);

    const qint64 before = testenv::residentBytes();
    const QString flooded = get(QStringLiteral("flood.asp"));
    EXPECT_EQ(flooded.size(), web::kMaxReplyChars);
    EXPECT_TRUE(flooded.startsWith(wire::fromCp1252(head)));
    const QString dripped = get(QStringLiteral("drip.asp"));
    EXPECT_LT(dripped.size(), web::kMaxReplyChars);
    EXPECT_LT(testenv::residentBytes() - before, 200LL * 1024 * 1024);
    // The client hung up on both while they were still sending.
    EXPECT_TRUE(testenv::waitFor([&] { return site.closedByClient(0) && site.closedByClient(1); }));
}

// A handler starting a request while another waits (a click during start-up) waits its turn, and
// each request ends as soon as its own reply is whole and keeps it. A fetch that goes while a site
// keeps silent (the window closing) ends the wait at once with nothing, and nothing touches the
// fetch after its end.
TEST_F(WebGetTest, ARequestCuttingInWaitsItsTurnAndAFetchGoingEndsTheWait) {
    const QByteArray first = httpReply(marked("first"));
    const QByteArray second = httpReply(marked("second"));
    Reply slow = answer(first, {20}, false);
    slow.gapMs = 400; // the body comes well after the first bytes
    site.enqueue(slow);
    site.enqueue(answer(second, {}, false));
    QString cutIn;
    QTimer::singleShot(100, &socket, [&] {
        QString host = QStringLiteral("web.example");
        QString page = QStringLiteral("second.asp");
        EXPECT_TRUE(fnGetDataFromWEB(host, kSite, page));
        cutIn = host;
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(get(QStringLiteral("first.asp")), wire::fromCp1252(first));
    EXPECT_EQ(cutIn, wire::fromCp1252(second));
    EXPECT_LT(clock.elapsed(), web::kWaitMs / 2);

    auto going = std::make_unique<web::WebFetch>();
    fetch.attach(nullptr);
    going->attach(&socket);
    web::WebFetch::install(going.get());
    QTimer::singleShot(300, &socket, [&] { going.reset(); });
    clock.restart();
    EXPECT_EQ(get(QStringLiteral("first.asp")), QString());
    EXPECT_LT(clock.elapsed(), web::kWaitMs / 2);
}

// What support reads in the error log when the alternate server's answer is bad: the step of the
// lookup it is logged at, and nothing of it taken.
TEST(WebSteps, ABadAlternateAnswerIsLoggedAtItsStepAndNothingOfItIsTaken) {
    testenv::TestEnv env;
    env.makeLogsFolder();
    frmMain form;
    form.createSocketsForTesting();
    ScriptedChatServer site;
    ASSERT_TRUE(site.listen(QHostAddress(QStringLiteral("127.0.0.2")), 80)) << "binding 127.0.0.2:80 needs root";

    g_arrAltServerSites = {{"127.0.0.2", "alt.example", "alt.asp", "k"}};
    const QByteArray record = marked("5") + marked("Ann") + marked("a@x") + marked("10.0.0.1");
    const struct {
        const char* name;
        QByteArray body;
        QString logged; // empty: nothing logged
    } cases[] = {
        {"a piece without its start marker", marked("77") + "<b>5</b>EndLookWANIP" + marked("Ann"), {}},
        {"a record cut short", marked("77") + record + "StartLookWANIP =1", "*** fnUseAlternateSRV[17] *** "},
        // The second report of the user is compared by date with the first.
        {"a date that is none",
         marked("77") + record + marked("1") + marked("12/05/2026 06:30:00") + record + marked("1") +
             marked("99/99/9999"),
         "*** fnUseAlternateSRV[18] *** "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype before = env.logLines().size();
        site.enqueue(answer(httpReply(c.body)));
        g_strMsgToSend = QStringLiteral("1") + wire::kSep + "5" + wire::kSep + "ann@example.org";
        EXPECT_FALSE(fnUseAlternateSRV());
        EXPECT_EQ(form.LstUsers->count(), 0);
        EXPECT_TRUE(g_strMsgReceived.isEmpty());
        ASSERT_EQ(env.logLines().size(), before + (c.logged.isEmpty() ? 0 : 1));
        if (!c.logged.isEmpty()) {
            EXPECT_TRUE(env.logLines().back().startsWith(c.logged)) << env.logLines().back().toStdString();
        }
    }
}

} // namespace
