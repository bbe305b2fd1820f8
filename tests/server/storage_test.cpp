// The store's schema on SQLite and PostgreSQL: a store left by an older release is brought up
// to date keeping its users and lists, and one from a newer release is not touched.
#include "StoreSupport.h"
#include "chatserver/store/Storage.h"

using chatserver::Storage;
using chatserver::StorageError;
using servertest::Backend;

namespace {

class StoreTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        m_address = servertest::freshStoreAddress(GetParam(), m_dir, &skip);
        if (m_address.isEmpty()) GTEST_SKIP() << skip.toStdString();
    }
    std::unique_ptr<Storage> open() const {
        QString error;
        return chatserver::openStorage(*chatserver::StoreLocation::parse(m_address, &error));
    }
    void exec(const QStringList& statements) const {
        QString problem;
        ASSERT_TRUE(servertest::execOnStore(m_address, statements, &problem)) << problem.toStdString();
    }

    QTemporaryDir m_dir;
    QString m_address;
};

TEST_P(StoreTest, AnOlderStoreIsBroughtUpToDateAndANewerOneIsRefused) {
    std::unique_ptr<Storage> store = open();
    const auto add = [&](const QString& email) {
        return store->registerUser({email, "N", "user", "pc", "", "127.0.0.1", 1000}).value_or(0);
    };
    const qint64 ann = add("ann@example.org");
    store->addContact(ann, add("bob@example.org"), 5);
    store.reset();
    // As a store made by the first release looks: no ordering index, no key, counted IDs.
    exec({"DROP INDEX contacts_in_order", "DROP TABLE server_secret",
          "INSERT INTO users (id, email, display_name, created_ms) VALUES (7, 'old@example.org', 'Old', 1)",
          "UPDATE schema_version SET version = 1"});
    store = open();
    EXPECT_EQ(store->contactsOf(ann).size(), 1);
    EXPECT_EQ(store->findUser(7)->email, "old@example.org");
    store.reset();
    exec({"UPDATE schema_version SET version = 99"});
    EXPECT_THROW(open(), StorageError);
}

COLLOQ_ON_BOTH_STORES(StoreTest);

} // namespace
