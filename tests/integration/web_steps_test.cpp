// What support reads in the error log when a web lookup fails: the step of the alternate-server
// lookup a bad answer is logged at, and the host name a failed page request keeps for its line.
#include "app/frmMain.h"
#include "core/basMain.h"
#include "platform/widgets/ListView.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"
#include "web/HttpGet.h"
#include "web/WebLookup.h"
#include "wire/Protocol.h"

#include <gtest/gtest.h>

namespace {

using namespace basMain;
using testsupport::ScriptedChatServer;

QByteArray marked(const QByteArray& value) {
    return "StartLookWANIP =" + value + "EndLookWANIP";
}

ScriptedChatServer::Reply page(const QByteArray& body) {
    ScriptedChatServer::Reply reply;
    reply.bytes = "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                  "\r\nConnection: close\r\n\r\n" + body;
    reply.closeAfter = true;
    return reply;
}

TEST(WebSteps, ABadAlternateAnswerIsLoggedAtItsStepAndAFailedRequestKeepsItsHost) {
    testenv::TestEnv env;
    env.makeLogsFolder();
    frmMain form;
    {
        // With the web socket gone the request fails (after its retries); the host name stays
        // for the caller's error line.
        QString host = QStringLiteral("b.example");
        QString missing = QStringLiteral("page.asp");
        EXPECT_FALSE(fnGetDataFromWEB(host, QStringLiteral("127.0.0.3"), missing));
        EXPECT_EQ(host, QStringLiteral("b.example"));
        ASSERT_FALSE(env.logLines().isEmpty());
        EXPECT_TRUE(env.logLines().back().startsWith(QStringLiteral("*** fnGetDataFromWEB[5] ")));
    }
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
        site.enqueue(page(c.body));
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
