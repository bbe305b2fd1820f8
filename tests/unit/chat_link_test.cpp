// The chat link on its own, without a window, against a scripted chat server on loopback: what
// goes out and how replies cut anywhere come in (replies too long, a slow server and a server
// that cannot be reached are the window's, in tests/integration/chatlink_test.cpp).
#include "chatlink/ChatLink.h"
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/ListView.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QBrush>
#include <QTimer>
#include <gtest/gtest.h>

using namespace basMain;
using testsupport::ScriptedChatServer;

namespace {

constexpr auto msg = testsupport::message;

class ChatLinkAlone : public ::testing::Test {
protected:
    static constexpr int kLongWait = 30000;
    // The call address every request carries.
    const QString kWan = QStringLiteral("10.0.0.99:5060");

    testenv::TestEnv env;
    ScriptedChatServer server;
    chatlink::ChatLink link;
    chatlink::ContactsModel users;
    Identity identity{.userId = QStringLiteral("42"), .email = QStringLiteral("me@x.org")};
    QTimer registration;
    ReplyTarget target{&users, &identity, [](const QString&, int) {}, &registration, link.serverCallTimer()};

    void SetUp() override {
        env.makeLogsFolder();
        server.setQuietPeriod(2);
        ASSERT_TRUE(server.listen());
        testenv::setUpUserList(users);
        setReplyTarget(&target);
        link.createSocket(nullptr);
        g_strServerIP = server.host();
        g_strServerPort = QString::number(server.port());
        g_strMyWanIP = kWan;
    }
    void TearDown() override {
        setReplyTarget(nullptr);
        link.serverCallTimer()->stop();
    }
    QString sent(int index) const { return wire::unscrambled(wire::fromCp1252(server.request(index))); }
    bool closed(int index) {
        return testenv::waitFor([&] { return server.closedByClient(index); }, kLongWait);
    }
};

// However the server's writes cut the reply (in its length prefix, between fields, inside a
// name), the reply is applied once whole, and the link closes the exchange itself a moment later.
TEST_F(ChatLinkAlone, EachRequestIsOneExchangeWhateverWayTheReplyIsCut) {
    const QString reply =
        msg({"7", "7", "Ann", "ann@x.org", "10.0.0.7", "1", "8", "Bob", "bob@x.org", "10.0.0.8", "0"});
    const QList<QList<qsizetype>> cuts{{}, {1, 2}, {3, 12}, {9, 10, 11, 30, 31}};
    for (qsizetype index = 0; index < cuts.size(); ++index) {
        auto scripted = ScriptedChatServer::Reply::framed(reply);
        scripted.splitAt = cuts[index];
        server.enqueue(scripted);
        users.clearItems();
        link.send(msg({"1", "42", "me@x.org"}));
        ASSERT_TRUE(closed(static_cast<int>(index))) << index;
        EXPECT_EQ(sent(static_cast<int>(index)), msg({"1", "42", "me@x.org", kWan}));
        ASSERT_EQ(users.count(), 2) << index;
        EXPECT_EQ(users.item(QStringLiteral("A7"))->Text(), QStringLiteral("On"));
        EXPECT_EQ(users.item(QStringLiteral("A8"))->Tag(), QStringLiteral("10.0.0.8"));
        EXPECT_TRUE(testenv::waitFor([] { return g_lngChatSocketHandle == 0; }, kLongWait));
    }
    EXPECT_EQ(server.connectionCount(), cuts.size());
    EXPECT_TRUE(env.logLines().isEmpty());
}

// The on-line poll: every 31st tick, never during a sign-off; a poll that fails is logged at the
// step it reached and the ticking goes on.
TEST_F(ChatLinkAlone, ThePollGoesOnEvery31stTickAndNotWhileSigningOff) {
    int polls = 0;
    bool failing = false;
    link.setPoll([&](int& step) {
        ++polls;
        step = 4;
        if (failing) vb::raise(vb::kErrObjectNotSet);
        g_intOnLineTicks = 1;
    });
    const auto tick = [&](int count) {
        for (int i = 0; i < count; ++i)
            link.tmrUpdateUserOnLine_Timer();
    };
    g_intOnLineTicks = 1;
    tick(30);
    EXPECT_EQ(polls, 0);
    tick(1);
    EXPECT_EQ(polls, 1);
    EXPECT_TRUE(link.pollTimer()->isActive());
    g_blnLogOffPending = true;
    tick(100);
    EXPECT_EQ(polls, 1);
    EXPECT_FALSE(link.pollTimer()->isActive());
    g_blnLogOffPending = false;
    failing = true; // the ticks counted during the sign-off make it due at once
    tick(1);
    EXPECT_EQ(polls, 2);
    EXPECT_TRUE(link.pollTimer()->isActive());
    ASSERT_EQ(env.logLines().size(), 1);
    EXPECT_TRUE(env.logLines().first().contains(QStringLiteral("tmrUpdateUserOnLine_Timer[4]")));
    link.pollTimer()->stop();
}

// The contacts alone, shown in a list: replies keep the on-line contacts first, and the row the
// user picked stays picked wherever a reply moves it, until a reply removes that contact.
TEST(Contacts, RepliesKeepOnLineContactsFirstAndThePickedContactPicked) {
    testenv::TestEnv env;
    chatlink::ContactsModel contacts;
    Identity identity;
    QTimer registration;
    QTimer serverCall;
    const ReplyTarget target{&contacts, &identity, [](const QString&, int) {}, &registration, &serverCall};
    testenv::setUpUserList(contacts);
    vb::ListView list;
    list.setRows(contacts);
    const auto receive = [&](const QStringList& fields) {
        g_strMsgReceived = msg(fields);
        fnUseMSGReceived(target);
    };
    const auto shown = [&] {
        QStringList rows;
        for (int row = 0; row < contacts.rowCount(); ++row)
            rows << contacts.data(contacts.index(row, 1), Qt::DisplayRole).toString() + QLatin1Char(' ') +
                        contacts.data(contacts.index(row, 0), Qt::DisplayRole).toString();
        return rows.join(QStringLiteral(", "));
    };
    receive({"7", "7", "Ann", "ann@x.org", "10.0.0.7", "1", "8", "Bob", "bob@x.org", "10.0.0.8", "0"});
    EXPECT_EQ(shown(), QStringLiteral("Ann On, Bob Off"));
    EXPECT_EQ(contacts.data(contacts.index(1, 2), Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
    contacts.item(QStringLiteral("A8"))->setSelected(true);
    receive({"7", "7", "Ann", "ann@x.org", "10.0.0.7", "0", "8", "Bob", "bob@x.org", "10.0.0.8", "1"});
    EXPECT_EQ(shown(), QStringLiteral("Bob On, Ann Off"));
    ASSERT_TRUE(list.selectedItem());
    EXPECT_EQ(list.selectedItem()->Key(), QStringLiteral("A8"));
    receive({"5", "8"});
    EXPECT_EQ(shown(), QStringLiteral("Ann Off"));
    EXPECT_FALSE(list.selectedItem());
}

} // namespace
