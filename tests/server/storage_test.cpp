// The store, on SQLite and on PostgreSQL alike, where the protocol tests do not reach it: schema
// versions, values that look like SQL, two servers sharing one store, transactions, and poll
// times held back for batched writes. What a request does to the store is checked with the
// request, in chat_service_test.cpp.
#include "StoreParam.h"
#include "chatserver/store/Storage.h"

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
    qint64 add(const QString& email) {
        const std::optional<qint64> id =
            store->registerUser(NewUser{email, email.section('@', 0, 0), "user", "pc", "", "127.0.0.1", 1000});
        EXPECT_TRUE(id) << email.toStdString();
        return id.value_or(0);
    }

    QTemporaryDir m_dir;
    QString m_address;
    std::unique_ptr<Storage> store;
};

TEST_P(StoreTest, SchemaIsVersionedAndAnOlderOneIsBroughtUpToDateKeepingItsData) {
    EXPECT_EQ(store->schemaVersion(), 3);
    const qint64 ann = add("ann@example.org");
    const qint64 bob = add("bob@example.org");
    EXPECT_EQ(QString::number(ann).size(), 15); // drawn at random, not counted up
    store->addContact(ann, bob, 5);
    const QByteArray secret = store->sharedSecret("first");
    store->migrate(); // again: changes nothing
    store.reset();
    // Back to version 1: as a store made by the first release looks, with its counted IDs.
    QString problem;
    ASSERT_TRUE(servertest::execOnStore(m_address,
                                        {"DROP INDEX contacts_in_order", "DROP TABLE server_secret",
                                         "INSERT INTO users (id, email, display_name, created_ms) "
                                         "VALUES (7, 'old@example.org', 'Old', 1)",
                                         "UPDATE schema_version SET version = 1"},
                                        &problem))
        << problem.toStdString();
    store = open();
    EXPECT_EQ(store->schemaVersion(), 3);
    ASSERT_EQ(store->contactsOf(ann).size(), 1);
    EXPECT_EQ(store->findUser(7)->email, "old@example.org");
    // The index is back: making it again fails.
    EXPECT_FALSE(
        servertest::execOnStore(m_address, {"CREATE INDEX contacts_in_order ON contacts (owner_id)"}, &problem));
    // The key is made once and then kept, whoever asks.
    EXPECT_EQ(store->sharedSecret("second"), "second");
    EXPECT_EQ(open()->sharedSecret("third"), "second");
    EXPECT_NE(secret, "second");
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

TEST_P(StoreTest, PollTimesAreSeenAtOnceWrittenInBatchesAndNeverMoveBack) {
    const qint64 ann = add("ann@example.org");
    const qint64 bob = add("bob@example.org");
    store->markOnline(ann, "10.0.0.1:5060", "127.0.0.1", 2000);
    store->markOnline(bob, "10.0.0.2:5060", "127.0.0.1", 2000);
    store->touch(ann, 5000);
    store->touch(ann, 4000); // a poll answered late does not take the time back
    store->touch(bob, 6000);
    const std::unique_ptr<Storage> other = open(); // another server on the same store
    EXPECT_EQ(store->findUser(ann)->lastSeenMs, 5000);
    EXPECT_EQ(other->findUser(ann)->lastSeenMs, 2000);

    EXPECT_EQ(store->flushPresence(1), 1);
    EXPECT_EQ(store->flushPresence(), 0);
    EXPECT_EQ(other->findUser(ann)->lastSeenMs, 5000);
    EXPECT_EQ(other->findUser(bob)->lastSeenMs, 6000);

    // A log-in written meanwhile by the other server is newer than what this one still holds.
    store->touch(bob, 7000);
    other->markOnline(bob, "10.0.0.2:5060", "127.0.0.1", 9000);
    EXPECT_EQ(store->flushPresence(), 0);
    EXPECT_EQ(other->findUser(bob)->lastSeenMs, 9000);
}

COLLOQ_ON_BOTH_STORES(StoreTest);

} // namespace
