// The store on SQLite and PostgreSQL: a store left by an older release is brought up to date
// keeping its users, lists and the handles its users were shown, and one from a newer release is
// not touched; last-seen times.
#include "StoreSupport.h"
#include "chatserver/ChatService.h"
#include "chatserver/store/Storage.h"

namespace {

// A fresh store of the backend under test, and a way to open it again (as another server would).
class StoreTest : public ::testing::TestWithParam<servertest::Backend> {
protected:
    QTemporaryDir dir;
    QString problem;
    QString address;

    void SetUp() override {
        address = servertest::freshStoreAddress(GetParam(), dir, &problem);
        if (address.isEmpty()) GTEST_SKIP() << problem.toStdString();
    }
    std::unique_ptr<chatserver::Storage> open() {
        return chatserver::openStorage(*chatserver::StoreLocation::parse(address, &problem));
    }
};

TEST_P(StoreTest, AnOlderStoreIsBroughtUpToDateAndANewerOneIsRefused) {
    std::unique_ptr<chatserver::Storage> store = open();
    const auto add = [&](const QString& email) {
        return store->registerUser({email, "N", "user", "pc", "", "127.0.0.1", 1000}).value_or(0);
    };
    const qint64 ann = add("ann@example.org");
    store->addContact(ann, add("bob@example.org"), 5, 0);
    store.reset();
    // As a store made by the first release looks: no ordering index, no key, no kept handles,
    // counted IDs.
    ASSERT_TRUE(servertest::execOnStore(
        address,
        {"DROP INDEX contacts_in_order", "ALTER TABLE contacts DROP COLUMN handle", "DROP TABLE server_secret",
         "INSERT INTO users (id, email, display_name, created_ms) VALUES (7, 'old@example.org', 'Old', 1)",
         "UPDATE schema_version SET version = 1"},
        &problem))
        << problem.toStdString();
    store = open();
    EXPECT_EQ(store->contactsOf(ann).size(), 1);
    EXPECT_EQ(store->findUser(7)->email, "old@example.org");
    {
        // Ann's first poll shows Bob as the handle derived for her, which the entry keeps from then on.
        chatserver::ChatService service(*store, {});
        const QString bob = service.handleFor(ann, store->contactsOf(ann).value(0).id);
        const auto polled =
            service.handle({"1", {QString::number(ann), "ann@example.org"}, "127.0.0.1:5060"}, "127.0.0.1");
        EXPECT_TRUE(polled.reply.value_or("").contains(bob));
        EXPECT_EQ(QString::number(store->contactsOf(ann).value(0).handle), bob);
    }
    store.reset();
    ASSERT_TRUE(servertest::execOnStore(address, {"UPDATE schema_version SET version = 99"}, &problem));
    EXPECT_THROW(open(), chatserver::StorageError);
}

TEST_P(StoreTest, LastSeenTimesOfPollsReachTheStoreAndNeverGoBack) {
    std::unique_ptr<chatserver::Storage> store = open();
    const qint64 ann = *store->registerUser({"ann@example.org", "Ann", "", "", "127.0.0.1:5060", "127.0.0.1", 1000});
    for (const qint64 polled : {5000, 3000}) { // the later time stays, whatever order they come in
        store->touch(ann, polled);
        EXPECT_EQ(store->flushPresence(), 0);
        EXPECT_EQ(open()->findUser(ann)->lastSeenMs, 5000); // as another server sees it
    }
}

COLLOQ_ON_BOTH_STORES(StoreTest);

} // namespace
