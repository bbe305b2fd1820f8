// The store, on SQLite and on PostgreSQL alike: schema versions, users, contacts, presence,
// notices and moves, values that look like SQL, and two servers sharing one store.
#include "StoreParam.h"
#include "chatserver/Storage.h"

using chatserver::NewUser;
using chatserver::Storage;
using chatserver::StorageError;
using chatserver::StoreLocation;
using servertest::Backend;

namespace {

class StoreTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        m_address = servertest::freshStoreAddress(GetParam(), m_dir, &skip);
        if (m_address.isEmpty()) GTEST_SKIP() << skip.toStdString();
        store = open();
    }
    std::unique_ptr<Storage> open() const {
        QString error;
        return chatserver::openStorage(*StoreLocation::parse(m_address, &error));
    }
    qint64 add(const QString& email, qint64 now = 1000, const QString& address = QString()) {
        const std::optional<qint64> id =
            store->registerUser(NewUser{email, email.section('@', 0, 0), "user", "pc", address, "127.0.0.1", now});
        EXPECT_TRUE(id) << email.toStdString();
        return id.value_or(0);
    }

    QTemporaryDir m_dir;
    QString m_address;
    std::unique_ptr<Storage> store;
};

TEST_P(StoreTest, SchemaIsVersionedAndMigratingAgainChangesNothing) {
    EXPECT_EQ(store->schemaVersion(), 2);
    const qint64 id = add("ann@example.org");
    store->migrate();
    const std::unique_ptr<Storage> again = open();
    EXPECT_EQ(again->schemaVersion(), 2);
    ASSERT_TRUE(again->findUser(id));
}

TEST_P(StoreTest, AnOlderSchemaIsBroughtUpToDateKeepingItsData) {
    const qint64 ann = add("ann@example.org");
    const qint64 bob = add("bob@example.org");
    store->addContact(ann, bob, 5);
    store.reset();
    // Back to version 1: as a store made by the first release looks.
    QString problem;
    ASSERT_TRUE(servertest::execOnStore(
        m_address, {"DROP INDEX contacts_in_order", "UPDATE schema_version SET version = 1"}, &problem))
        << problem.toStdString();
    store = open();
    EXPECT_EQ(store->schemaVersion(), 2);
    ASSERT_EQ(store->contactsOf(ann).size(), 1);
    // The index is back: making it again fails.
    EXPECT_FALSE(
        servertest::execOnStore(m_address, {"CREATE INDEX contacts_in_order ON contacts (owner_id)"}, &problem));
}

TEST_P(StoreTest, ANewerSchemaIsRefused) {
    store.reset();
    QString problem;
    ASSERT_TRUE(servertest::execOnStore(m_address, {"UPDATE schema_version SET version = 99"}, &problem))
        << problem.toStdString();
    try {
        open();
        FAIL() << "a store of a later version was opened";
    } catch (const StorageError& error) {
        EXPECT_NE(std::string(error.what()).find("newer"), std::string::npos) << error.what();
    }
}

TEST_P(StoreTest, RegistrationHandsOutNewIdsAndRefusesATakenAddress) {
    const qint64 ann = add("ann@example.org", 1000, "127.0.0.2:5060");
    const qint64 bob = add("bob@example.org");
    EXPECT_GT(ann, 0);
    EXPECT_GT(bob, ann);
    EXPECT_FALSE(store->registerUser(NewUser{"ann@example.org", "Other", "u", "pc", "", "127.0.0.9", 2000}));

    const auto found = store->findUser(ann);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->email, "ann@example.org");
    EXPECT_EQ(found->displayName, "ann");
    EXPECT_EQ(found->address, "127.0.0.2:5060");
    EXPECT_TRUE(found->online); // registered with an address: on line from then
    EXPECT_EQ(found->lastSeenMs, 1000);
    EXPECT_EQ(found->loginPeer, "127.0.0.1");
    EXPECT_FALSE(store->findUser(bob)->online);
    EXPECT_EQ(store->findUserByEmail("bob@example.org")->id, bob);
    EXPECT_FALSE(store->findUser(bob + 100));
    EXPECT_FALSE(store->findUserByEmail("nobody@example.org"));
}

TEST_P(StoreTest, ValuesThatLookLikeSqlAreStoredAsText) {
    const QString name = "Robert'); DROP TABLE users;-- \u00e9\u20ac\"%_\\";
    const std::optional<qint64> id =
        store->registerUser(NewUser{"x'@example.org", name, "a' OR '1'='1", "pc;--", "", "::1", 5});
    ASSERT_TRUE(id);
    const auto found = store->findUserByEmail("x'@example.org");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->displayName, name);
    EXPECT_FALSE(store->findUserByEmail("' OR '1'='1"));
    EXPECT_EQ(store->findUser(*id)->email, "x'@example.org");
}

TEST_P(StoreTest, PresenceFollowsLogInsAndSignOffs) {
    const qint64 ann = add("ann@example.org");
    store->markOnline(ann, "127.0.0.2:5060", "127.0.0.2", 5000);
    auto user = store->findUser(ann);
    EXPECT_TRUE(user->online);
    EXPECT_EQ(user->address, "127.0.0.2:5060");
    EXPECT_EQ(user->lastSeenMs, 5000);
    EXPECT_EQ(user->loginPeer, "127.0.0.2");
    // A web poll keeps the log-in address.
    store->markOnline(ann, "127.0.0.3:5060", QString(), 6000);
    user = store->findUser(ann);
    EXPECT_EQ(user->address, "127.0.0.3:5060");
    EXPECT_EQ(user->loginPeer, "127.0.0.2");
    store->markOffline(ann);
    user = store->findUser(ann);
    EXPECT_FALSE(user->online);
    EXPECT_EQ(user->address, "127.0.0.3:5060"); // the last address stays known
}

TEST_P(StoreTest, ContactListsKeepTheirOrderAndRefuseDoubles) {
    const qint64 ann = add("ann@example.org");
    const qint64 bob = add("bob@example.org");
    const qint64 cid = add("cid@example.org");
    EXPECT_TRUE(store->addContact(ann, cid, 10));
    EXPECT_TRUE(store->addContact(ann, bob, 20));
    EXPECT_FALSE(store->addContact(ann, bob, 30));
    EXPECT_EQ(store->contactCount(ann), 2);
    EXPECT_EQ(store->contactCount(bob), 0); // lists are one-way
    QList<qint64> ids;
    for (const auto& contact : store->contactsOf(ann))
        ids.append(contact.id);
    EXPECT_EQ(ids, (QList<qint64>{cid, bob}));
    store->removeContact(ann, cid);
    store->removeContact(ann, cid); // removing twice is no error
    ASSERT_EQ(store->contactsOf(ann).size(), 1);
    EXPECT_EQ(store->contactsOf(ann)[0].email, "bob@example.org");
}

TEST_P(StoreTest, NoticesReachTheirUsersOnce) {
    const qint64 ann = add("ann@example.org", 1000);
    const qint64 bob = add("bob@example.org", 1000);
    const qint64 generation = store->operatorGeneration();
    const qint64 toBob = store->queueNotice(bob, "Only for Bob", "Hi", 2000);
    const qint64 toAll = store->queueNotice(std::nullopt, "Maintenance", "Server", 3000);
    EXPECT_NE(store->operatorGeneration(), generation);
    const qint64 late = add("late@example.org", 4000);

    auto annUser = *store->findUser(ann);
    auto bobUser = *store->findUser(bob);
    ASSERT_TRUE(store->pendingNotice(bobUser));
    EXPECT_EQ(store->pendingNotice(bobUser)->id, toBob);
    store->markNoticeDelivered(toBob, bob, 5000);
    EXPECT_EQ(store->pendingNotice(bobUser)->id, toAll);
    EXPECT_EQ(store->pendingNotice(bobUser)->text, "Maintenance");
    store->markNoticeDelivered(toAll, bob, 5000);
    store->markNoticeDelivered(toAll, bob, 5001); // told twice is no error
    EXPECT_FALSE(store->pendingNotice(bobUser));

    ASSERT_TRUE(store->pendingNotice(annUser));
    EXPECT_EQ(store->pendingNotice(annUser)->id, toAll);
    // A notice to everybody is for those registered by then.
    EXPECT_FALSE(store->pendingNotice(*store->findUser(late)));
}

TEST_P(StoreTest, OnlyTheLatestMoveIsToldAndOnlyToEarlierUsers) {
    const qint64 ann = add("ann@example.org", 1000);
    EXPECT_FALSE(store->latestMove());
    store->announceMove("10.0.0.1", "19991", 2000);
    const qint64 second = store->announceMove("10.0.0.2", "20000", 3000);
    const qint64 late = add("late@example.org", 4000);
    const auto move = store->pendingMove(*store->findUser(ann));
    ASSERT_TRUE(move);
    EXPECT_EQ(move->id, second);
    EXPECT_EQ(move->address, "10.0.0.2");
    EXPECT_EQ(move->port, "20000");
    EXPECT_EQ(store->latestMove()->id, second);
    store->markMoveDelivered(second, ann, 5000);
    EXPECT_FALSE(store->pendingMove(*store->findUser(ann)));
    EXPECT_FALSE(store->pendingMove(*store->findUser(late)));
}

TEST_P(StoreTest, TwoServersOnOneStoreNeverShareAnId) {
    const std::unique_ptr<Storage> other = open();
    QSet<qint64> ids;
    for (int i = 0; i < 20; ++i) {
        Storage& which = (i % 2) ? *other : *store;
        const auto id = which.registerUser(NewUser{QString("u%1@example.org").arg(i), "U", "u", "pc", "", "::1", i});
        ASSERT_TRUE(id);
        ids.insert(*id);
    }
    EXPECT_EQ(ids.size(), 20);
    EXPECT_FALSE(other->registerUser(NewUser{"u0@example.org", "U", "u", "pc", "", "::1", 99}));
    EXPECT_EQ(other->findUserByEmail("u2@example.org")->id, store->findUserByEmail("u2@example.org")->id);
}

TEST_P(StoreTest, TransactionsCommitOrLeaveNothingAndSurviveAFailure) {
    {
        Storage::Transaction transaction(*store);
        add("gone@example.org");
    } // left without commit
    EXPECT_FALSE(store->findUserByEmail("gone@example.org"));
    qint64 ann = 0;
    try {
        Storage::Transaction transaction(*store);
        ann = add("ann@example.org");
        store->addContact(ann, 999999, 1); // no such user: the store refuses
        transaction.commit();
        FAIL() << "a contact that is no user was added";
    } catch (const StorageError&) {
    }
    EXPECT_FALSE(store->findUserByEmail("ann@example.org"));
    // The failure left the connection usable for the next exchange.
    Storage::Transaction transaction(*store);
    ann = add("ann@example.org");
    transaction.commit();
    EXPECT_EQ(store->findUserByEmail("ann@example.org")->id, ann);
}

COLLOQ_ON_BOTH_STORES(StoreTest);

} // namespace
