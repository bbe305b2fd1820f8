// Contact lists and last-seen times kept in memory by whatever answers a poll: two servers on one
// PostgreSQL store, and the two serving loops of one server on SQLite.
#include "ServerTestSupport.h"
#include "chatserver/store/PendingPresence.h"

using namespace servertest;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kAnn("127.0.0.2"), kBob("127.0.0.3");

class SharedListsTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        // On SQLite one server with two loops (the kernel spreads the connections over them);
        // on PostgreSQL two servers of one loop each.
        const bool sqlite = GetParam() == Backend::Sqlite;
        if (!fixture.start(ServerShape{GetParam(), sqlite ? 2 : 1})) GTEST_SKIP() << fixture.skipped.toStdString();
        bobPort = fixture.chatPort();
        if (!sqlite) {
            second = fixture.startTwin();
            ASSERT_TRUE(second);
            bobPort = second->chatListener()->port();
        }
        annId = fixture.registered("Ann", kAnn, callAddress(2));
        bobId = fixture.registered("Bob", kBob, callAddress(3), bobPort);
    }
    ChatReply ann(const QStringList& fields) { return fixture.send(fields, kAnn, callAddress(2)); }
    ChatReply bob(const QStringList& fields, const QString& address = callAddress(3)) {
        return fixture.send(fields, kBob, address, bobPort);
    }
    // Ann's list as her polls show it, the same in each of several (whichever loop answers).
    QString annSees() {
        QString seen = ann({"1", annId, "ann@example.org"}).payload;
        for (int poll = 0; poll < 5; ++poll) {
            const QString again = ann({"1", annId, "ann@example.org"}).payload;
            if (again != seen) return "polls differ: " + seen + " / " + again;
        }
        return seen;
    }

    ServerFixture fixture;
    std::unique_ptr<chatserver::ChatServer> second;
    quint16 bobPort = 0;
    QString annId, bobId;
};

TEST_P(SharedListsTest, AChangeThroughOneIsInTheNextPollThroughTheOther) {
    ASSERT_EQ(ann({"4", annId, "bob@example.org"}).code(), "4");
    const QString handle = annSees().split(S).value(1);
    const QString hidden = "1" + S + handle + S + S + "bob@example.org" + S + S + "0";
    EXPECT_EQ(annSees(), hidden);
    ASSERT_EQ(bob({"1", bobId, "bob@example.org"}).code(), "1");
    EXPECT_EQ(annSees(), hidden); // Bob on line shows only once he lists Ann

    const QString annShown = bob({"4", bobId, "ann@example.org"}).fields().value(1);
    EXPECT_EQ(annSees(), "1" + S + handle + S + "Bob" + S + "bob@example.org" + S + callAddress(3) + S + "1");
    ASSERT_EQ(bob({"2005", bobId}).code(), "2005");
    EXPECT_EQ(annSees(), "1" + S + handle + S + "Bob" + S + "bob@example.org" + S + callAddress(3) + S + "0");
    ASSERT_EQ(bob({"1", bobId, "bob@example.org"}, callAddress(4)).code(), "1");
    EXPECT_EQ(annSees(), "1" + S + handle + S + "Bob" + S + "bob@example.org" + S + callAddress(4) + S + "1");

    ASSERT_EQ(bob({"5", bobId, annShown}).code(), "5");
    EXPECT_EQ(annSees(), hidden);
    ASSERT_EQ(ann({"5", annId, handle}).code(), "5");
    EXPECT_EQ(annSees(), "1");
}

// Bob polls only the other server (or loop) for longer than the presence time-out: the list
// Ann's server keeps still shows him on line, his time read again from the store once the one it
// kept has run out.
TEST_P(SharedListsTest, AContactPollingOnlyTheOtherStaysOnLine) {
    ASSERT_EQ(ann({"4", annId, "bob@example.org"}).code(), "4");
    ASSERT_EQ(bob({"4", bobId, "ann@example.org"}).code(), "4");
    ASSERT_TRUE(annSees().endsWith(S + "1"));
    QString problem;
    const auto store =
        chatserver::openStorage(*chatserver::StoreLocation::parse(fixture.server->config().store, &problem));
    for (int step = 0; step < 3; ++step) {
        fixture.clock.now += 150'000;
        const qint64 polled = fixture.clock.now;
        ASSERT_EQ(bob({"1", bobId, "bob@example.org"}).code(), "1");
        ASSERT_TRUE(waitFor([&] { return store->findUser(bobId.toLongLong())->lastSeenMs == polled; }));
        EXPECT_TRUE(annSees().endsWith(S + "1")) << step;
    }
}

// The last-seen times of polls through both loops (or servers) reach the store within the writer's
// second, and the ones noted just before the server stops reach it on stopping. A later time
// another server wrote is never moved back by an earlier one noted here.
TEST_P(SharedListsTest, LastSeenTimesReachTheStoreEachSecondAndOnStoppingAndNeverMoveBack) {
    QList<QHostAddress> from;
    QStringList ids;
    for (int i = 0; i < 8; ++i) {
        from.append(QHostAddress(QStringLiteral("127.0.1.%1").arg(10 + i))); // spread over both
        ids.append(fixture.registered(QStringLiteral("User%1").arg(i), from[i], callAddress(10 + i),
                                      i % 2 ? bobPort : fixture.chatPort()));
    }
    QString problem;
    const auto location = *chatserver::StoreLocation::parse(fixture.server->config().store, &problem);
    const qint64 later = fixture.clock.now + 3'600'000; // by another server's clock
    {
        const auto other = chatserver::openStorage(location);
        other->touch(ids[0].toLongLong(), later);
        ASSERT_EQ(other->flushPresence(), 0);
    }
    const auto store = chatserver::openStorage(location); // sees only what is in the store
    const auto poll = [&](int first, int last) {
        for (int i = first; i <= last; ++i)
            ASSERT_EQ(fixture
                          .send({"1", ids[i], QStringLiteral("user%1@example.org").arg(i)}, from[i],
                                callAddress(10 + i), i % 2 ? bobPort : fixture.chatPort())
                          .code(),
                      "1");
    };
    const auto inStore = [&](int first, int last, qint64 seenMs) {
        int count = 0;
        for (int i = first; i <= last; ++i)
            count += store->findUser(ids[i].toLongLong())->lastSeenMs == seenMs;
        return count == last - first + 1;
    };
    fixture.clock.now += 1000;
    const qint64 firstRound = fixture.clock.now;
    poll(1, 7);
    EXPECT_TRUE(waitFor([&] { return inStore(1, 7, firstRound); }, 5000));
    EXPECT_EQ(store->findUser(ids[0].toLongLong())->lastSeenMs, later);

    // Polls a minute on (sooner ones wait: PendingPresenceTest) go out at the latest on stopping.
    fixture.clock.now += chatserver::PendingPresence::kRewriteAfterMs;
    poll(1, 3);
    second.reset();
    fixture.server.reset();
    EXPECT_TRUE(inStore(1, 3, fixture.clock.now));
    EXPECT_EQ(store->findUser(ids[0].toLongLong())->lastSeenMs, later);
}

COLLOQ_ON_BOTH_STORES(SharedListsTest);

} // namespace
