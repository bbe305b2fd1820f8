// The chat link of the real main window (offscreen) against a scripted chat server on loopback:
// servers that are hostile, slow or cannot be reached.
#include "app/frmMain.h"
#include "chatlink/ChatLink.h"
#include "core/basMain.h"
#include "forms/frmMngContacts.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace basMain;
using testsupport::ScriptedChatServer;
constexpr auto msg = testsupport::message;

namespace {

constexpr int kLongWait = 30000;
const QString kWan = QStringLiteral("10.0.0.99:5060");
using Reply = ScriptedChatServer::Reply;

// The reply of these fields, framed as the chat server frames its replies.
Reply framed(const QStringList& fields) {
    return Reply::framed(msg(fields));
}

// A port nothing listens on: the connection is refused at once.
quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class ChatLink : public ::testing::Test {
protected:
    testenv::TestEnv env;
    frmMain form;
    ScriptedChatServer server;

    void SetUp() override {
        env.makeLogsFolder();
        server.setQuietPeriod(2);
        ASSERT_TRUE(server.listen());
        testenv::setUpUserList(form.LstUsers->rows());
        form.createSocketsForTesting();
        g_strServerIP = server.host();
        g_strServerPort = QString::number(server.port());
        g_strMyWanIP = kWan;
        form.setIdentity({.userId = QStringLiteral("42"), .email = QStringLiteral("me@x.org")});
    }
    void TearDown() override {
        form.tmrServerCall->stop();
        form.tmrUpdateUserOnLine->stop();
        form.tmrRegistration->stop();
    }

    // Starts an exchange the way the program does.
    void exchange(const QString& request) {
        g_strMsgToSend = request;
        form.chatSocket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
    }
    // Waits until connection `index` has been closed by the client after its reply.
    bool closed(int index) {
        return testenv::waitFor([&] { return server.closedByClient(index); }, kLongWait);
    }
};

// A server that answers anything it likes, as anyone on the path can: replies that never end,
// replies announcing gigabytes, settings nobody asked for, a flood of records and a notice of a
// megabyte. The client stays small, keeps its files, and its window keeps taking clicks.
TEST_F(ChatLink, AHostileServerCannotGrowTheClientNorRewriteItsFilesUnasked) {
    const QByteArray serverFile = "\x11\x22server";
    const QByteArray siteFile = "\x33\x44sites";
    for (const auto& [name, bytes] : {std::pair{"RTC_Chat.kvo", serverFile}, std::pair{"ColloqChat.kvo", siteFile}}) {
        QFile file(env.path(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    const auto fileBytes = [&](const char* name) {
        QFile file(env.path(QString::fromLatin1(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    int clicks = 0;
    QObject::connect(form.LstUsers, &vb::ListView::ColumnClick, &form, [&] { ++clicks; });
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, &form, [&] {
        const QPoint inFirst(form.LstUsers->header()->sectionPosition(0) + 5, 5);
        QTest::mouseClick(form.LstUsers->header()->viewport(), Qt::LeftButton, {}, inFirst);
    });
    clicker.start(20);

    QStringList flood{"1"};
    for (int i = 0; i < 10000; ++i)
        flood << QString::number(i) << "User " + QString::number(i) << QString::number(i) + "@x.org"
              << "10.1." + QString::number(i / 256) + "." + QString::number(i % 256) << "1";
    const QByteArray endless(qsizetype{64} * 1024, 'x');
    const auto stream = [&](const QByteArray& head) {
        Reply reply;
        reply.bytes = head;
        reply.filler = endless;
        reply.gapMs = 1;
        return reply;
    };
    const QString record = msg({"7", "Ann", "ann@x.org", "10.0.0.7", "1"});
    struct Case {
        const char* name;
        Reply reply;
        QString logged; // start of the log line it leaves ("" for none)
        QString request = msg({"1", "42", "me@x.org"});
    };
    const QString sites = msg({"", "0", "10.0.0.5", "home.example", "/r.asp", "12052026"}) + "\r\n";
    // Who waits on whom, told to a poll, and 3,000 users asking with names made to mislead.
    QStringList asking{"80"};
    for (int i = 0; i < 3000; ++i)
        asking << "A" << QString::number(20000 + i) << "<b>Admin</b>\t" + QString(200, QLatin1Char('n')) << "a@x.org";
    asking += QStringList{"A", "1 OR 1", "Eve", "eve@x.org"};
    const Case cases[] = {
        {"a length of 999999999, never ending", stream("999999999\xD4"), "oMySocket_OnDataArrival[7]"},
        {"a length one past the most", stream(QByteArray::number(wire::ReplyFramer::kMaxReplyChars + 1) + '\xD4'),
         "oMySocket_OnDataArrival[7]"},
        {"1 MiB of junk, then more", stream("1048576\xD4"), "fnUseMSGReceived[2]"},
        {"3 to a poll", framed({"3", "10.6.6.6", "19991", "666", "evil@x.org"}), "fnUseMSGReceived[30]"},
        {"111 with junk for an address", framed({"111", record, QString(3000, QLatin1Char('j')), "19991"}),
         "fnUseMSGReceived[1110]"},
        {"111 with port 65535", framed({"111", record, "10.9.9.9", "65535"}), "fnUseMSGReceived[1110]"},
        {"2005 to a poll", Reply::framed("2005" + msg({"", "2", "10.6.6.6", "evil.example", "/a", "x"}) + "\r\n"),
         "fnUseMSGReceived[2005]"},
        {"2005 too long, to a sign-off", Reply::framed("2005" + sites.repeated(100)), "fnUseMSGReceived[2005]",
         msg({"2005", "42"})},
        // Well formed and asked for, but over a plain link anyone on the path can answer on.
        {"111 in the clear", framed({"111", record, "10.9.9.9", "19991"}), "fnUseMSGReceived[1110]"},
        {"2005 to a sign-off in the clear", Reply::framed("2005" + sites), "fnUseMSGReceived[2005]",
         msg({"2005", "42"})},
        {"a notice of a megabyte", framed({"11", record, QStringLiteral("<h1>line</h1>\n").repeated(70000), "T"}), ""},
        {"80 to a poll", framed({"80", "W", "99999", "", "x@x.org"}), "fnUseMSGReceived[80]"},
        {"80 with 3,000 asking", Reply::framed(asking.join(wire::kSep)), "", msg({"80", "42", "me@x.org"})},
        {"10,000 records", Reply::framed(flood.join(wire::kSep)), ""},
    };
    const qint64 before = testenv::residentBytes();
    qint64 most = before;
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype logged = env.logLines().size();
        clicks = 0;
        server.enqueue(c.reply);
        exchange(c.request);
        ASSERT_TRUE(closed(index++));
        most = std::max(most, testenv::residentBytes());
        EXPECT_EQ(env.logLines().size(), logged + (c.logged.isEmpty() ? 0 : 1));
        EXPECT_TRUE(c.logged.isEmpty() || env.logLines().value(logged).startsWith(c.logged));
        EXPECT_EQ(fileBytes("RTC_Chat.kvo"), serverFile);
        EXPECT_EQ(fileBytes("ColloqChat.kvo"), siteFile);
        EXPECT_TRUE(testenv::waitFor([&] { return clicks > 0; }));
    }
    EXPECT_LT(most - before, 200LL * 1024 * 1024) << "from " << before << " to " << most;
    EXPECT_EQ(form.LstUsers->count(), 10000); // Ann's ID is among them, no one unasked for
    // The asking are told one at a time, as plain text of one bounded line, a few in all.
    const auto* request = form.findChild<QLabel*>("lblContactRequest");
    EXPECT_EQ(request->textFormat(), Qt::PlainText);
    EXPECT_EQ(request->text(), "<b>Admin</b> " + QString(66, QLatin1Char('n')) +
                                   "\u2026 (a@x.org) wants to add you as a contact (19 more after this one)");
    // The notice came as plain text, cut to a screenful.
    ASSERT_EQ(env.boxes().size(), 1);
    EXPECT_TRUE(env.boxes()[0].prompt.startsWith("<h1>line</h1>\n"));
    EXPECT_LE(env.boxes()[0].prompt.count(QLatin1Char('\n')), vb::kScreenfulLines);
}

// The chat server goes away. The user is told, also of a contact change lost; while neither it
// nor its pages answer, a contact reads "unknown", not the "On" it last had. Once the server
// answers, one click brings back the contacts manager too. (The words when it answers again, and
// the polls that go to it after the click, are the end-to-end scene's.)
TEST_F(ChatLink, AServerThatGoesAwayLeavesContactsUnknownAndOneClickBringsItBack) {
    const quint16 port = closedPort();
    g_strServerPort = QString::number(port);
    vb::ListItem* ann = form.LstUsers->rows().add(QStringLiteral("On"));
    form.cmdManageContacts->setEnabled(false); // as after a start during the outage
    form.cmdRefresh_Click();
    ASSERT_TRUE(testenv::waitFor([] { return !g_strAltServerBase.isEmpty(); }, kLongWait));
    EXPECT_TRUE(form.txtStatus->toPlainText().startsWith(QStringLiteral("The chat server cannot be reached; the user "
                                                                        "list now comes from the alternate server.")));
    // A removal is lost, and the user is told (a lost addition is the contacts manager test's).
    form.txtStatus->clear();
    exchange(msg({"5", "42", "A7"}));
    ASSERT_TRUE(testenv::waitFor(
        [&] { return form.txtStatus->toPlainText().contains(QStringLiteral("the contact list was not changed")); },
        kLongWait));
    int step = 0;
    form.pollUsersOnLine(step); // the pages cannot be reached from here either
    EXPECT_EQ(ann->Text(), QStringLiteral("unknown"));
    EXPECT_TRUE(form.cmdBackToServer->isHidden());

    ScriptedChatServer back;
    ASSERT_TRUE(back.listen(QHostAddress::LocalHost, port));
    form.pollUsersOnLine(step);
    ASSERT_TRUE(testenv::waitFor([&] { return !form.cmdBackToServer->isHidden(); }, kLongWait));
    QTest::mouseClick(form.cmdBackToServer, Qt::LeftButton);
    EXPECT_TRUE(form.cmdManageContacts->isEnabled());
    EXPECT_TRUE(form.cmdBackToServer->isHidden());
}

// A slow server: requests made while an exchange is open wait for it, in order, each once, and
// only a few; a request too many is refused in words. However the server's writes cut a reply (in
// its length prefix, between fields, inside a name), it is handled once, whole.
TEST_F(ChatLink, RequestsMadeWhileAnExchangeIsOpenWaitTheirTurnOnceEach) {
    const QString ann = msg({"7", "Ann", "ann@x.org", "10.0.0.7", "1"});
    const QString users = msg({"7", ann, msg({"8", "Bob", "bob@x.org", "10.0.0.8", "0"})});
    const QList<QList<qsizetype>> cuts{{}, {1, 2}, {3, 12}, {9, 10, 11, 30, 31}, {}};
    for (const QList<qsizetype>& at : cuts) {
        auto slow = Reply::framed(users);
        slow.splitAt = at;
        slow.delayMs = 300;
        server.enqueue(slow);
    }
    QStringList handled;
    QObject::connect(&form.chatLink(), &chatlink::ChatLink::replyHandled, &form,
                     [&](const QString&, const QString& reply) { handled << reply; });
    const QString poll = msg({"1", "42", "me@x.org"});
    form.show();
    QApplication::setActiveWindow(&form);
    QTest::keyClick(&form, Qt::Key_F5); // the poll goes at once
    QStringList sent{poll};
    for (const char* contact : {"a@x.org", "", "b@x.org", "c@x.org", "d@x.org"}) {
        const QString request = *contact ? msg({"4", "42", contact}) : poll;
        form.sendChatRequest(request);
        if (sent.size() < 5) sent << request;
    }
    form.sendChatRequest(poll); // already waiting
    EXPECT_TRUE(form.txtStatus->toPlainText().startsWith(QStringLiteral("The chat server is slow to answer;")));
    ASSERT_TRUE(closed(4));
    EXPECT_EQ(server.connectionCount(), 5);
    for (int index = 0; index < 5; ++index)
        EXPECT_EQ(wire::unscrambled(wire::fromCp1252(server.request(index))), sent[index] + wire::kSep + kWan);
    ASSERT_TRUE(testenv::waitFor([&] { return handled.size() == 5; }));
    EXPECT_EQ(handled, QStringList(5, users));
    EXPECT_TRUE(env.logLines().isEmpty());
}

// The contacts manager stays open while its request goes, and says there what came of it: the
// server's refusal, its silence and an addition, each in the words the user reads.
TEST_F(ChatLink, TheContactsManagerTellsWhatBecameOfEachRequestInItsOwnWindow) {
    Reply silent;
    silent.closeAfter = true;
    // Each addition is followed by a poll; the first poll answered asks who waits on whom.
    for (const auto& reply :
         {framed({"1957", "No user has the address <b>x@x.org</b>."}), framed({"1"}), framed({"80"}), silent,
          framed({"1"}), framed({"4", "7", "Bob", "bob@x.org", "10.0.0.8", "1"}), framed({"1"})})
        server.enqueue(reply);
    vb::setModalHandlerForTesting([&](QDialog& dialog) {
        auto& manager = dynamic_cast<frmMngContacts&>(dialog);
        // What the manager says | its colour | the address left selected to fix.
        const auto says = [&](const QString& expected) {
            EXPECT_TRUE(testenv::waitFor([&] { // the poll after an addition too: the next request, the next exchange
                return !manager.changePending() && !form.chatLink().waitingRequests() &&
                       !form.chatSocket().currentHandle();
            }));
            EXPECT_EQ((manager.lblOutcome->text() + " | " + QString::number(vb::ForeColor(*manager.lblOutcome)) +
                       " | " + manager.txtEmail->selectedText())
                          .toStdString(),
                      expected.toStdString());
        };
        for (const auto& [address, expected] :
             {std::pair{"x@x.org", "No user has the address <b>x@x.org</b>. | 255 | x@x.org"},
              {"y@x.org", "The chat server did not answer; your contact list was not changed. Try again in a moment. "
                          "| 255 | y@x.org"},
              {"bob@x.org", "Bob was added to your contacts. | 0 | "}}) {
            manager.txtEmail->setText(address);
            manager.cmdAddCont->click();
            says(expected);
        }
        return dialog.result();
    });
    form.cmdManageContacts_Click();
}
} // namespace
