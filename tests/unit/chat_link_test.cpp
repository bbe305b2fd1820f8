// The chat link on its own, without a window: the poll's timing and the contacts as replies leave
// them (replies from a server, cut, slow, hostile or gone, are the window's, in
// tests/integration/chatlink_test.cpp).
#include "chatlink/ChatLink.h"
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/ListView.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"

#include <QTimer>
#include <gtest/gtest.h>

using namespace basMain;

namespace {

constexpr auto msg = testsupport::message;

// The on-line poll: every 31st tick, never during a sign-off; a poll that fails is logged at the
// step it reached and the ticking goes on.
TEST(ChatLinkAlone, ThePollGoesOnEvery31stTickAndNotWhileSigningOff) {
    testenv::TestEnv env;
    env.makeLogsFolder();
    chatlink::ChatLink link;
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
