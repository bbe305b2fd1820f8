// The store on SQLite and PostgreSQL: a store left by an older release is brought up to date
// keeping its users, lists and the handles its users were shown, and one from a newer release is
// not touched; last-seen times.
#include "StoreSupport.h"
#include "chatserver/ChatService.h"
#include "chatserver/store/Storage.h"
#include "wire/Protocol.h"

#include <QThread>
#include <atomic>
#include <thread>

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
    const qint64 bob = add("bob@example.org");
    store->addContact(ann, bob, 5, 0);
    store->addContact(bob, ann, 6, 0);
    store->addContact(bob, add("cy@example.org"), 7, 0);
    store.reset();
    // As a store made by the first release looks: no ordering index, no key, no kept handles,
    // counted IDs.
    ASSERT_TRUE(servertest::execOnStore(
        address,
        {"DROP INDEX contacts_in_order", "ALTER TABLE contacts DROP COLUMN handle",
         "ALTER TABLE contacts DROP COLUMN mutual", "DROP TABLE server_secret",
         "INSERT INTO users (id, email, display_name, created_ms) VALUES (7, 'old@example.org', 'Old', 1)",
         "UPDATE schema_version SET version = 1"},
        &problem))
        << problem.toStdString();
    store = open();
    EXPECT_EQ(store->contactsOf(ann).size(), 1);
    // Whether each contact lists its owner back is worked out for the lists already there.
    EXPECT_TRUE(store->contactsOf(ann).value(0).mutual);
    const QList<chatserver::UserRecord> bobs = store->contactsOf(bob);
    ASSERT_EQ(bobs.size(), 2);
    EXPECT_TRUE(bobs[0].mutual);
    EXPECT_FALSE(bobs[1].mutual);
    EXPECT_EQ(store->findUser(7)->email, "old@example.org");
    {
        // Ann's first poll shows Bob as the handle derived for her, which the entry keeps from then on.
        chatserver::ChatService service(*store, {});
        const QString shown = service.handleFor(ann, bob);
        const auto polled =
            service.handle({"1", {QString::number(ann), "ann@example.org"}, "127.0.0.1:5060"}, "127.0.0.1");
        EXPECT_TRUE(polled.reply.value_or("").contains(shown));
        EXPECT_EQ(QString::number(store->contactsOf(ann).value(0).handle), shown);
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

// An operator's notice, then a server move, each told once after the caller's records.
TEST_P(StoreTest, APollTellsEachNoticeAndMoveOnceAfterTheRecords) {
    std::unique_ptr<chatserver::Storage> store = open();
    const qint64 ann = *store->registerUser({"ann@example.org", "Ann", "", "", "127.0.0.1:5060", "127.0.0.1", 1});
    const qint64 bob = *store->registerUser({"bob@example.org", "Bob", "", "", "", "127.0.0.1", 1});
    store->addContact(ann, bob, 2, 0);
    chatserver::ChatService service(*store, {}, [] { return qint64(10'000); });
    const QString bobShown = service.handleFor(ann, bob);
    const QString sep(wire::kSep);
    const QString records = bobShown + sep + "Bob" + sep + "bob@example.org" + sep + sep + "0";
    const auto poll = [&] {
        service.refreshOperatorState();
        return service.handle({"1", {QString::number(ann), "ann@example.org"}, "127.0.0.1:5060"}, "127.0.0.1")
            .reply.value_or("");
    };
    EXPECT_EQ(poll(), "1" + sep + records);
    store->queueNotice(ann, "Hello", "News", 3);
    EXPECT_EQ(poll(), "11" + sep + records + sep + "Hello" + sep + "News");
    store->announceMove("127.0.0.9", "19992", 4);
    EXPECT_EQ(poll(), "111" + sep + records + sep + "127.0.0.9" + sep + "19992");
    EXPECT_EQ(poll(), "1" + sep + records);
}

// Whether a contact lists its owner back is kept with each entry; it must follow both lists also
// when two servers on the store change them at the same moment.
TEST_P(StoreTest, WhetherAContactListsYouBackStaysRightWhenTwoServersChangeBothListsAtOnce) {
    std::unique_ptr<chatserver::Storage> first = open(), second = open();
    const qint64 ann = *first->registerUser({"ann@example.org", "Ann", "", "", "", "127.0.0.1", 1});
    const qint64 bob = *first->registerUser({"bob@example.org", "Bob", "", "", "", "127.0.0.1", 1});
    struct Change {
        qint64 owner;
        bool adding;
    };
    const auto apply = [&](chatserver::Storage& store, const Change& change) {
        const qint64 other = change.owner == ann ? bob : ann;
        change.adding ? void(store.addContact(change.owner, other, 1, 0)) : store.removeContact(change.owner, other);
    };
    // -1: not listed, else the entry's flag.
    const auto flag = [&](qint64 owner) {
        const QList<chatserver::UserRecord> list = open()->contactsOf(owner);
        return list.isEmpty() ? -1 : int(list[0].mutual);
    };
    const struct {
        Change one;
        std::optional<Change> atOnce; // by the second server while the first's is not committed
        int ann, bob;
    } steps[] = {
        {{ann, true}, {}, 0, -1},
        {{bob, true}, {}, 1, 1},
        {{ann, false}, {}, -1, 0},
        {{bob, false}, Change{ann, true}, 0, -1},
        {{ann, false}, {}, -1, -1},
        {{ann, true}, Change{bob, true}, 1, 1},
        {{ann, false}, Change{bob, false}, -1, -1},
        {{bob, true}, Change{ann, true}, 1, 1},
    };
    // The PostgreSQL server names a session that waits for a lock (SQLite's writers take turns anyway).
    const QString someoneWaits = "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE "
                                 "wait_event_type = 'Lock') THEN RAISE EXCEPTION 'none'; END IF; END $$";
    for (const auto& step : steps) {
        chatserver::Storage::Transaction held(*first);
        apply(*first, step.one);
        std::atomic<bool> done{!step.atOnce};
        std::thread other;
        if (step.atOnce)
            other = std::thread([&] {
                chatserver::Storage::Transaction transaction(*second);
                apply(*second, *step.atOnce);
                transaction.commit();
                done = true;
            });
        QString ignored;
        while (GetParam() == servertest::Backend::Postgres && !done &&
               !servertest::execOnStore(address, {someoneWaits}, &ignored))
            QThread::yieldCurrentThread();
        held.commit();
        if (other.joinable()) other.join();
        EXPECT_EQ(flag(ann), step.ann) << &step - steps;
        EXPECT_EQ(flag(bob), step.bob) << &step - steps;
    }
}

COLLOQ_ON_BOTH_STORES(StoreTest);

} // namespace
