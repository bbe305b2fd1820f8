// Address discovery and the alternate server against scripted web sites on loopback addresses,
// with the real settings file, the real message handler and the real user list.
#include "BuildConfig.h"
#include "app/basMain.h"
#include "app/frmMain.h"
#include "platform/vb.h"
#include "server/KVOSocket.h"
#include "server/SettingsFile.h"
#include "support/TestEnv.h"
#include "web/WebLookup.h"
#include "web_server.h"
#include "wire/Codepage.h"
#include "wire/SettingsFile.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

using namespace basMain;
using webtest::httpReply;
using webtest::marked;
using webtest::ScriptedWebServer;

const QString kSep(QChar(0x00D4));

QByteArray bytes(const QString& text) {
    return wire::toCp1252(text);
}

// The request fnGetDataFromWEB sends for a page (blanks already escaped) and a host.
QByteArray requestFor(const QByteArray& target, const QByteArray& host) {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + ":80\r\nConnection: Close\r\n\r\n";
}

// A page whose body carries one marked value per field.
QByteArray markedPage(const QStringList& values) {
    QByteArray body = "<html><body>\r\n";
    for (const QString& value : values)
        body += marked(bytes(value)) + "<br>\r\n";
    return httpReply(body + "</body></html>\r\n");
}

class WebLookupTest : public ::testing::Test {
protected:
    WebLookupTest() {
        webtest::attachWebSocket(form);
        for (const char* caption : {"Status", "Display Name", "Email", "IP", "OnLine Date"})
            form.LstUsers->addColumn(QString::fromLatin1(caption), 80);
        env.makeLogsFolder();
    }
    ~WebLookupTest() override { form.oMySocketWeb.reset(); }

    static void writeSettings(const QList<wire::SiteRecord>& records) {
        ASSERT_TRUE(writeUserSettingsFile(QStringLiteral("2005") + wire::composeSettingsText(records)));
    }

    qsizetype logCount(const QString& text) const {
        qsizetype count = 0;
        for (const QString& line : env.logLines())
            count += line.startsWith(text) ? 1 : 0;
        return count;
    }

    testenv::TestEnv env;
    frmMain form;
};

TEST_F(WebLookupTest, NewestRedirectStampWinsAndTheChatServerTellsTheWanAddress) {
    // Stamps: 5 Dec 2006 (eight digits), 15 Jan 2007 (seven), 5 Jan 2006 (six), none, 0, and the
    // winning stamp again at a later site.
    struct Site {
        QString address;
        QByteArray answer;
    };
    const Site sites[] = {
        {"127.0.0.2", marked(" 10.1.1.1 ") + "12052006"}, {"127.0.0.3", marked(" 127.0.0.5 ") + " 1152007\r\n"},
        {"127.0.0.4", marked("10.3.3.3") + "152006"},     {"127.0.0.6", marked("10.6.6.6")},
        {"127.0.0.8", marked("10.8.8.8") + "0"},          {"127.0.0.10", marked("10.10.10.10") + "1152007"},
    };
    std::vector<std::unique_ptr<ScriptedWebServer>> servers;
    QList<wire::SiteRecord> records;
    for (const Site& site : sites) {
        servers.push_back(std::make_unique<ScriptedWebServer>(site.address));
        ASSERT_TRUE(servers.back()->listening()) << site.address.toStdString();
        servers.back()->setAnswer(QStringLiteral("where is.asp"), ScriptedWebServer::whole(httpReply(site.answer)));
        records.append({"0", {site.address, "redirect.example", "where is.asp", ""}});
    }
    records.append({"1", {"127.0.0.11", "wan.example", "wan.asp", ""}});
    records.append({"2", {"127.0.0.12", "alt.example", "alt.asp", "k"}});
    writeSettings(records);

    ScriptedWebServer chatServer(QStringLiteral("127.0.0.5"));
    ASSERT_TRUE(chatServer.listening());
    chatServer.setAnswer(QStringLiteral("ClientChatIP.aspx"),
                         ScriptedWebServer::whole(httpReply("StartClientChatWANIP = 203.0.113.7EndClientChatWANIP")));

    EXPECT_EQ(fnGetHomeIP(), "127.0.0.5");
    EXPECT_EQ(g_strMyWanIP, "203.0.113.7");
    EXPECT_EQ(g_strAltServerBase, "");
    for (const auto& server : servers) {
        ASSERT_EQ(server->requests().size(), 1) << server->address().toStdString();
        EXPECT_EQ(server->requests()[0], requestFor("//where%20is.asp", "redirect.example"));
    }
    ASSERT_EQ(chatServer.requests().size(), 1);
    EXPECT_EQ(chatServer.requests()[0], requestFor("//ClientChatIP.aspx", "127.0.0.5"));
    ASSERT_EQ(g_arrAltServerSites.size(), 1);
    EXPECT_EQ(g_arrAltServerSites[0][3], "k");
    EXPECT_EQ(g_arrRedirectSites.size(), 6);
}

TEST_F(WebLookupTest, ASiteThatAcceptsAndNeverAnswersIsGivenUpWhileTheWindowKeepsWorking) {
    ScriptedWebServer silent(QStringLiteral("127.0.0.2"));
    ScriptedWebServer redirect(QStringLiteral("127.0.0.3"));
    ScriptedWebServer chatServer(QStringLiteral("127.0.0.5"));
    ASSERT_TRUE(silent.listening() && redirect.listening() && chatServer.listening());
    // Held and never released: the connection stays open and nothing comes back.
    silent.setAnswer(QStringLiteral("r.asp"),
                     ScriptedWebServer::Answer{{{0, httpReply(marked("10.9.9.9"))}}, true, true});
    redirect.setAnswer(QStringLiteral("r.asp"), ScriptedWebServer::whole(httpReply(marked("127.0.0.5") + "12052006")));
    chatServer.setAnswer(QStringLiteral("ClientChatIP.aspx"),
                         ScriptedWebServer::whole(httpReply("StartClientChatWANIP = 203.0.113.7EndClientChatWANIP")));
    writeSettings(
        {{"0", {"127.0.0.2", "silent.example", "r.asp", ""}}, {"0", {"127.0.0.3", "redirect.example", "r.asp", ""}}});

    // The window's events go on during the wait: timer ticks, and a click queued like input
    // once the wait has begun.
    QPushButton button(QStringLiteral("Press"));
    button.resize(80, 30);
    button.show();
    bool clickedWhileWaiting = false;
    QObject::connect(&button, &QPushButton::clicked, [&] { clickedWhileWaiting = g_blnWebWaiting; });
    int ticksWhileWaiting = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (!g_blnWebWaiting) return;
        if (++ticksWhileWaiting != 2) return;
        const QPointF inside(10, 10);
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
            QCoreApplication::postEvent(&button, new QMouseEvent(type, inside, button.mapToGlobal(inside),
                                                                 Qt::LeftButton, held, Qt::NoModifier));
        }
    });
    ticker.start(50);
    // Should the wait have no end, the test fails instead of hanging.
    bool rescued = false;
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [&] {
        rescued = !silent.requests().isEmpty() && redirect.requests().isEmpty();
        g_blnWebWaiting = false;
    });
    rescue.start(60000);

    EXPECT_EQ(fnGetHomeIP(), "127.0.0.5");
    rescue.stop();
    EXPECT_FALSE(rescued) << "the wait for the silent site never ended by itself";
    EXPECT_EQ(silent.requests().size(), 1);
    EXPECT_GE(ticksWhileWaiting, 3);
    EXPECT_TRUE(clickedWhileWaiting);
    // The lookups after it went through, and the silent site's connection was let go.
    EXPECT_EQ(redirect.requests().size(), 1);
    EXPECT_EQ(g_strMyWanIP, "203.0.113.7");
    EXPECT_TRUE(testenv::waitFor([&] { return silent.openConnections() == 0; }, 30000));
    EXPECT_FALSE(g_blnWebWaiting);
}

TEST_F(WebLookupTest, WithoutRedirectSitesNoRequestIsMade) {
    ScriptedWebServer defaultServer(QStringLiteral(COLLOQ_DEFAULT_WEB_IP));
    ASSERT_TRUE(defaultServer.listening()) << "the default web server's address must be free on port 80";
    ScriptedWebServer site(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(site.listening());

    // No settings file, then one with no redirect records.
    const QString notFound = QStringLiteral("*** fnGetHomeIP[199] Internet Server Chat Redirect WebSite Not Found? - ");
    for (const bool withFile : {false, true}) {
        SCOPED_TRACE(withFile ? "file without type 0" : "no file");
        if (withFile)
            writeSettings({{"1", {"127.0.0.2", "wan.example", "wan.asp", ""}}, {"7", {"127.0.0.2", "", "", ""}}});
        EXPECT_EQ(fnGetHomeIP(), "");
        EXPECT_EQ(g_strMyWanIP, "");
        EXPECT_EQ(logCount(notFound), withFile ? 2 : 1);
    }
    EXPECT_EQ(defaultServer.connectionCount(), 0);
    EXPECT_EQ(site.connectionCount(), 0);
    EXPECT_EQ(g_arrWanIPSites[0][1], "wan.example");
}

TEST_F(WebLookupTest, WanAddressFromTheDefaultServerOrTheWanSitesTurnsOnAlternateMode) {
    const QHostAddress defaultIp(QStringLiteral(COLLOQ_DEFAULT_WEB_IP));
    if (!defaultIp.isLoopback()) GTEST_SKIP() << "the default web server is configured off this machine";
    ScriptedWebServer defaultServer(defaultIp.toString());
    ASSERT_TRUE(defaultServer.listening()) << "the default web server's address must be free on port 80";
    ScriptedWebServer chatServer(QStringLiteral("127.0.0.5"));
    ScriptedWebServer noMarkers(QStringLiteral("127.0.0.2"));
    ScriptedWebServer wanSite(QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(chatServer.listening() && noMarkers.listening() && wanSite.listening());
    // The chat server has no ClientChatIP.aspx (404).
    noMarkers.setAnswer(QStringLiteral("wan.asp"), ScriptedWebServer::whole(httpReply("StartLookWANIP = 10.9.9.9")));
    wanSite.setAnswer(QStringLiteral("wan.asp"), ScriptedWebServer::whole(httpReply(marked(" 198.51.100.9 "))));
    g_arrWanIPSites = {{"127.0.0.2", "wan-a.example", "wan.asp", ""}, {"127.0.0.3", "wan-b.example", "wan.asp", ""}};

    // First infoip.asp answers; then it is missing too and the WAN-address sites are asked.
    defaultServer.setAnswer(QStringLiteral("infoip.asp"),
                            ScriptedWebServer::whole(httpReply("<b>" + marked(" 198.51.100.4 ") + "</b>")));
    EXPECT_EQ(fnGetClientWANIP(QStringLiteral("127.0.0.5")), "198.51.100.4");
    EXPECT_EQ(g_strAltServerBase, COLLOQ_DEFAULT_ALT_SERVER_BASE);
    ASSERT_EQ(defaultServer.requests().size(), 1);
    EXPECT_EQ(defaultServer.requests()[0], requestFor("//infoip.asp", COLLOQ_DEFAULT_WEB_HOST));
    EXPECT_EQ(noMarkers.connectionCount(), 0);

    defaultServer.setAnswer(QStringLiteral("infoip.asp"),
                            ScriptedWebServer::whole(httpReply("gone", true, "404 Not Found")));
    EXPECT_EQ(fnGetClientWANIP(QStringLiteral("127.0.0.5")), "198.51.100.9");
    EXPECT_EQ(g_strAltServerBase, COLLOQ_DEFAULT_ALT_SERVER_BASE);
    EXPECT_EQ(noMarkers.requests().size(), 1);
    ASSERT_EQ(wanSite.requests().size(), 1);
    EXPECT_EQ(wanSite.requests()[0], requestFor("//wan.asp", "wan-b.example"));
    EXPECT_EQ(chatServer.requests().size(), 2);
}

TEST_F(WebLookupTest, TwoAlternateSitesMergeIntoTheUserListWhateverTheirOrder) {
    vb::setClockForTesting([] { return QDateTime(QDate(2026, 12, 5), QTime(7, 0, 0)); });
    ScriptedWebServer siteA(QStringLiteral("127.0.0.2"));
    ScriptedWebServer siteB(QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(siteA.listening() && siteB.listening());
    // User 5 on line at both, B one second later; user 6 with equal dates, off line at A, on
    // line at B. Site B sends its headers and its body in separate segments.
    const QByteArray pageA = markedPage({"77", "5", "Ann", "ann@example.org", "10.0.0.1", "1", "12/05/2026 06:30:05",
                                         "6", "Bob", "bob@example.org", "10.0.0.6", "0", "12/05/2026 06:00:00"});
    const QByteArray pageB = markedPage({"77", "6", "Bob", "bob@example.org", "10.0.0.16", "1", "12/05/2026 06:00:00",
                                         "5", "Ann", "ann@example.org", "10.0.0.2", "1", "12/05/2026 06:30:06"});
    const qsizetype headerEnd = pageB.indexOf("\r\n\r\n") + 4;
    siteA.setAnswer(QStringLiteral("alt/users.asp"), ScriptedWebServer::whole(pageA));
    siteB.setAnswer(QStringLiteral("alt/users.asp"),
                    ScriptedWebServer::Answer{{{0, pageB.left(headerEnd)}, {100, pageB.mid(headerEnd)}}, true, false});
    const std::array<QString, 4> rowA{"127.0.0.2", "alt-a.example", "alt/users.asp", "ka"};
    const std::array<QString, 4> rowB{"127.0.0.3", "alt-b.example", "alt/users.asp", "kb"};

    for (const bool swapped : {false, true}) {
        SCOPED_TRACE(swapped ? "B then A" : "A then B");
        form.LstUsers->clearItems();
        g_arrAltServerSites = swapped ? SiteTable{rowB, rowA} : SiteTable{rowA, rowB};
        g_strMyWanIP = QStringLiteral("203.0.113.7");
        g_strMsgToSend = QStringLiteral("1") + kSep + "5" + kSep + "ann@example.org";

        EXPECT_TRUE(fnUseAlternateSRV());

        // The pages get the poll in their form; the pending text is left for the chat socket.
        const QString request = "77" + kSep + "5" + kSep + "12/05/2026 07:00:00" + kSep + "203.0.113.7";
        EXPECT_EQ(g_strMsgToSend, QStringLiteral("1") + kSep + "5" + kSep + "ann@example.org");
        EXPECT_EQ(siteA.requests().last(),
                  requestFor(bytes("//alt/users.asp?ReqDt=" + QString(request).replace(" ", "%20") + kSep + "ka"),
                             "alt-a.example"));
        EXPECT_EQ(g_strMsgReceived, "");
        ASSERT_EQ(form.LstUsers->count(), 2);
        const vb::ListItem* ann = form.LstUsers->find(QStringLiteral("A5"));
        const vb::ListItem* bob = form.LstUsers->find(QStringLiteral("A6"));
        ASSERT_TRUE(ann && bob);
        EXPECT_EQ(ann->Text(), "On");
        EXPECT_EQ(ann->Tag(), "10.0.0.2");
        EXPECT_EQ(ann->SubItem(4), "12/05/2026 06:30:06");
        EXPECT_EQ(bob->Text(), "On");
        EXPECT_EQ(bob->Tag(), "10.0.0.16");
        EXPECT_EQ(bob->SubItem(2), "bob@example.org");
    }
    EXPECT_EQ(siteA.requests().size(), 2);
    EXPECT_EQ(siteB.requests().size(), 2);
}

TEST_F(WebLookupTest, AlternateModeAsksTheDefaultServerFirst) {
    const QHostAddress defaultIp(QStringLiteral(COLLOQ_DEFAULT_WEB_IP));
    if (!defaultIp.isLoopback()) GTEST_SKIP() << "the default web server is configured off this machine";
    vb::setClockForTesting([] { return QDateTime(QDate(2026, 12, 5), QTime(7, 0, 0)); });
    ScriptedWebServer defaultServer(defaultIp.toString());
    ASSERT_TRUE(defaultServer.listening()) << "the default web server's address must be free on port 80";
    defaultServer.setAnswer(
        QStringLiteral("InfoDT.asp"),
        ScriptedWebServer::whole(markedPage({"77", "8", "Cy", "cy@example.org", "10.0.0.8", "1", ""})));
    g_strAltServerBase = QStringLiteral(COLLOQ_DEFAULT_ALT_SERVER_BASE);
    g_strMyWanIP = QStringLiteral("203.0.113.7");
    g_strMsgToSend = QStringLiteral("1") + kSep + "5" + kSep + "ann@example.org";

    EXPECT_TRUE(fnUseAlternateSRV());

    ASSERT_EQ(defaultServer.requests().size(), 1);
    EXPECT_EQ(defaultServer.requests()[0],
              requestFor(bytes("//InfoDT.asp?ReqDt=77" + kSep + "5" + kSep + "12/05/2026%2007:00:00" + kSep +
                               "203.0.113.7" + kSep + "Jet%20OLEDB:Database%20Password=brick789"),
                         COLLOQ_DEFAULT_WEB_HOST));
    const vb::ListItem* cy = form.LstUsers->find(QStringLiteral("A8"));
    ASSERT_TRUE(cy);
    EXPECT_EQ(cy->Text(), "On");
    EXPECT_EQ(cy->SubItem(4), "01/01/1998 11:11:11");
}

TEST_F(WebLookupTest, LogOffTellsTheSitesAndReadsNothing) {
    ScriptedWebServer site(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(site.listening());
    site.setAnswer(QStringLiteral("alt.asp"),
                   ScriptedWebServer::whole(markedPage({"77", "5", "Ann", "ann@example.org", "10.0.0.1", "1", ""})));
    g_arrAltServerSites = {{"127.0.0.2", "alt.example", "alt.asp", "k"}};
    g_strMyWanIP = QStringLiteral("203.0.113.7");
    g_strMsgToSend = QStringLiteral("2") + kSep + "5";
    g_blnLogOffPending = true;

    EXPECT_TRUE(fnUseAlternateSRV());

    ASSERT_EQ(site.requests().size(), 1);
    EXPECT_EQ(site.requests()[0],
              requestFor(bytes("//alt.asp?ReqDt=2" + kSep + "5" + kSep + "203.0.113.7" + kSep + "k"), "alt.example"));
    EXPECT_EQ(form.LstUsers->count(), 0);
    EXPECT_EQ(g_strMsgReceived, "");
}

// Support reads the step a failure is logged at: the reading of a site's record has its own.
TEST_F(WebLookupTest, MalformedSiteReplyHandsNothingOnAndLogsTheStepItFailedAt) {
    ScriptedWebServer site(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(site.listening());
    g_arrAltServerSites = {{"127.0.0.2", "alt.example", "alt.asp", "k"}};
    const QByteArray record = marked("5") + marked("Ann") + marked("a@x") + marked("10.0.0.1");
    struct Case {
        const char* name;
        QByteArray body;
        QString logged; // "" for nothing logged
    } cases[] = {
        {"a piece without its start marker", marked("77") + "<b>5</b>EndLookWANIP" + marked("Ann"), ""},
        {"a record cut short", marked("77") + record + "StartLookWANIP =1", "*** fnUseAlternateSRV[17] *** "},
        // The second report of the user is compared by date with the first.
        {"a date that is none",
         marked("77") + record + marked("1") + marked("12/05/2026 06:30:00") + record + marked("1") +
             marked("99/99/9999"),
         "*** fnUseAlternateSRV[18] *** "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype logged = env.logLines().size();
        site.setAnswer(QStringLiteral("alt.asp"), ScriptedWebServer::whole(httpReply(c.body)));
        g_strMsgToSend = QStringLiteral("1") + kSep + "5" + kSep + "ann@example.org";
        EXPECT_FALSE(fnUseAlternateSRV());
        EXPECT_EQ(form.LstUsers->count(), 0);
        EXPECT_EQ(g_strMsgReceived, "");
        ASSERT_EQ(env.logLines().size(), logged + (c.logged.isEmpty() ? 0 : 1));
        EXPECT_TRUE(c.logged.isEmpty() || env.logLines().back().startsWith(c.logged));
    }
}

} // namespace
