// The pure pieces of the web lookups: request text (blanks are escaped on the wire in web_test and
// web_lookup_test), reply completeness, marked values, date stamps and their comparison.
#include "support/TestEnv.h"
#include "web/HttpGet.h"
#include "web/WebLookup.h"
#include "web/WebText.h"

#include <gtest/gtest.h>

namespace {

using namespace web;

TEST(WebRequestText, SlashFormHostLineAndNothingElse) {
    const struct {
        QString host;
        QString page;
        QString firstLine;
    } cases[] = {
        {"localhost", "infoip.asp", "GET //infoip.asp HTTP/1.1"},
        {"sites.example", "lists/redirect.txt", "GET /lists/redirect.txt HTTP/1.1"},
        {"sites.example", "REDIRECT.TXT", "GET //REDIRECT.TXT HTTP/1.1"},
        {"sites.example", "list.txt?v=1", "GET //list.txt?v=1 HTTP/1.1"},
        {"", "txt", "GET //txt HTTP/1.1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(buildWebRequest(c.host, c.page),
                  c.firstLine + "\r\nHost: " + c.host + ":80\r\nConnection: Close\r\n\r\n")
            << c.page.toStdString();
    }
}

TEST(WebReplyComplete, FramedByLengthChunksOrStatusElseByTheClose) {
    const QString head = "HTTP/1.1 200 OK\r\n";
    const struct {
        QString reply;
        bool complete;
    } cases[] = {
        {head + "Content-Length: 5\r\n", false},
        {head + "Content-Length: 5\r\n\r\nabc", false},
        {head + "Content-Length: 5\r\n\r\nabcde", true},
        {head + "content-length:5\r\n\r\nabcdef", true},
        {head + "Content-Length: 0\r\n\r\n", true},
        {head + "Content-Length: x\r\n\r\nabc", false},
        {head + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false},
        {head + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc", true},
        {head + "Content-Type: text/html\r\n\r\n<html></html>", false},
        {"HTTP/1.1 204 No Content\r\n\r\n", true},
        {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n", false},
        {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n0\r\n", false},
        {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n0\r\n\r\n", true},
        {head + "Transfer-Encoding: chunked\r\n\r\n5;x=1\r\nabcde\r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n", true},
        // A chunk whose data looks like the last chunk is still data.
        {head + "Transfer-Encoding: chunked\r\n\r\n7\r\n0\r\n\r\nab\r\n", false},
        {head + "Transfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\nab", false},
        {head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", false},
        {head + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFF\r\nab", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(webReplyComplete(c.reply), c.complete) << c.reply.toStdString();
}

TEST(WebMarkers, WanAndChatServerValues) {
    EXPECT_EQ(lookWanValue("<b>StartLookWANIP = 198.51.100.4 EndLookWANIP</b>"), "198.51.100.4");
    EXPECT_EQ(lookWanValue("StartLookWANIP =1.2.3.4EndLookWANIP"), "1.2.3.4");
    EXPECT_EQ(lookWanValue("StartLookWANIP =EndLookWANIP"), "");
    EXPECT_EQ(lookWanValue("StartLookWANIP = 1.2.3.4"), std::nullopt);
    EXPECT_EQ(lookWanValue("startlookwanip = 1.2.3.4EndLookWANIP"), std::nullopt);
    EXPECT_EQ(lookWanValue("EndLookWANIP StartLookWANIP = 1.2.3.4 EndLookWANIP"), "1.2.3.4");
    // Only blanks are trimmed.
    EXPECT_EQ(lookWanValue("StartLookWANIP =\t1.2.3.4\r\nEndLookWANIP"), "\t1.2.3.4\r\n");

    EXPECT_EQ(clientChatValue("StartClientChatWANIP = 203.0.113.7EndClientChatWANIP"), "203.0.113.7");
    EXPECT_EQ(clientChatValue("StartClientChatWANIP =   203.0.113.7  EndClientChatWANIP"), "203.0.113.7");
    // The character after the marker is skipped whatever it is.
    EXPECT_EQ(clientChatValue("StartClientChatWANIP =203.0.113.7EndClientChatWANIP"), "03.0.113.7");
    EXPECT_EQ(clientChatValue("StartClientChatWANIP = 203.0.113.7"), std::nullopt);
    EXPECT_EQ(clientChatValue("StartLookWANIP = 203.0.113.7EndLookWANIP"), std::nullopt);
}

TEST(WebMarkers, RedirectAnswerAndItsStamp) {
    const struct {
        QString reply;
        std::optional<QString> address;
        qint32 stamp;
    } cases[] = {
        {"StartLookWANIP = 10.0.0.5 EndLookWANIP12052006", "10.0.0.5", 12052006},
        {"<p>StartLookWANIP = host.example EndLookWANIP 1152007</p>", "host.example", 1152007},
        {"StartLookWANIP =10.0.0.5EndLookWANIP  152006\r\n", "10.0.0.5", 152006},
        {"StartLookWANIP = 10.0.0.5 EndLookWANIP", "10.0.0.5", 0},
        {"StartLookWANIP = 10.0.0.5 EndLookWANIP<br>12052006", "10.0.0.5", 0},
        {"StartLookWANIP = 10.0.0.5 EndLookWANIP 1152007.5", "10.0.0.5", 1152008},
        {"StartLookWANIP = 10.0.0.5 EndLookWANIP 99999999999", "10.0.0.5", 0},
        {"StartLookWANIP = 10.0.0.5", std::nullopt, 0},
        {"EndLookWANIP 12052006", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.toStdString());
        const std::optional<RedirectAnswer> answer = redirectAnswer(c.reply);
        ASSERT_EQ(answer.has_value(), c.address.has_value());
        if (!answer) continue;
        EXPECT_EQ(answer->address, *c.address);
        EXPECT_EQ(answer->stamp, c.stamp);
    }
}

TEST(WebDateStamps, CompareDates) {
    testenv::TestEnv env;
    const struct {
        qint32 first;
        qint32 second;
        bool later;
    } cases[] = {
        {1152007, 12052006, true},  // 15 Jan 2007 after 5 Dec 2006
        {12052006, 1152007, false}, //
        {1012006, 12312005, true},  // 1 Jan 2006 after 31 Dec 2005
        {12312005, 1012006, false}, //
        {152006, 1042006, true},    // 5 Jan 2006 (six digits) after 4 Jan 2006
        {12052006, 12052006, false},
        {12052006, 0, true},
        {1, 0, true},
        {0, 0, false},
        {0, 12052006, false},
        {-5, 0, false},
        {11302006, 12012006, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(basMain::fnCompareDates(c.first, c.second), c.later) << c.first << " vs " << c.second;
}

} // namespace
