// The store on SQLite and PostgreSQL, past the server's requests.
#include "StoreSupport.h"
#include "chatserver/ChatService.h"
#include "chatserver/store/PendingPresence.h"
#include "chatserver/store/Storage.h"
#include "wire/Protocol.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <atomic>
#include <sqlite3.h>
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
        return store->registerUser({email, "N", "user", "pc", "", "127.0.0.1", 1000, {}}).value_or(0);
    };
    const qint64 ann = add("ann@example.org");
    const qint64 bob = add("bob@example.org");
    store->addContact(ann, bob, 5, 0);
    store->addContact(bob, ann, 6, 0);
    store->addContact(bob, add("cy@example.org"), 7, 0);
    store.reset();
    // As a store made by the first release looks: no ordering index, no key, no kept handles,
    // counted IDs, nobody known to sign in over TLS.
    ASSERT_TRUE(servertest::execOnStore(address, {"DROP TABLE caller_events"}, &problem));
    ASSERT_TRUE(servertest::execOnStore(
        address,
        {"DROP TABLE ignored_requests", "DROP TABLE list_versions", "DROP TABLE secure_accounts",
         "DROP TABLE replaced_ids", "DROP INDEX contacts_in_order", "ALTER TABLE contacts DROP COLUMN handle",
         "ALTER TABLE contacts DROP COLUMN mutual", "DROP TABLE server_secret", "DROP TABLE registrations",
         "DROP TABLE relay_ports", "DROP INDEX users_by_pending_email", "DROP INDEX users_by_confirm_hash",
         "DROP INDEX users_by_state", "DROP INDEX contacts_by_contact", "ALTER TABLE users DROP COLUMN state",
         "ALTER TABLE users DROP COLUMN pending_email", "ALTER TABLE users DROP COLUMN confirm_hash",
         "INSERT INTO users (id, email, display_name, created_ms) VALUES (7, 'old@example.org', 'Old', 1)",
         "UPDATE schema_version SET version = 1"},
        &problem))
        << problem.toStdString();
    store = open();
    // Whether each contact lists its owner back is worked out for the lists already there.
    QList<bool> mutual;
    for (const qint64 owner : {ann, bob})
        for (const chatserver::UserRecord& contact : store->contactsOf(owner))
            mutual.append(contact.mutual);
    EXPECT_EQ(mutual, (QList<bool>{true, true, false}));
    EXPECT_EQ(store->findUser(7)->email, "old@example.org");
    {
        // Ann's first poll shows Bob as the handle derived for her, which the entry keeps from
        // then on, and then a notice that waits for her.
        store->queueNotice(ann, "Hi", "News", 9);
        chatserver::ChatService service(*store, {});
        const QString shown = service.handleFor(ann, bob), sep = wire::kSep;
        const QString reply =
            service.handle({"1", {QString::number(ann), "ann@example.org"}, "127.0.0.1:5060"}, "127.0.0.1")
                .reply.value_or("");
        EXPECT_TRUE(reply.startsWith("11" + sep + shown + sep) && reply.endsWith(sep + "Hi" + sep + "News"))
            << reply.toStdString();
        EXPECT_EQ(QString::number(store->contactsOf(ann).value(0).handle), shown);
    }
    store.reset();
    ASSERT_TRUE(servertest::execOnStore(address, {"UPDATE schema_version SET version = 99"}, &problem));
    EXPECT_THROW(open(), chatserver::StorageError);
}

// A server keeps a list while its version in the store is the one it read: a version lost when
// the table is rebuilt would start again from 1, and a list kept at 1 would be served stale.
TEST_P(StoreTest, ListVersionsOutliveTheRebuildOfTheirTable) {
    std::unique_ptr<chatserver::Storage> store = open();
    const qint64 ann = store->registerUser({"ann@example.org", "N", "user", "pc", "", "127.0.0.1", 1000, {}}).value();
    const qint64 bob = store->registerUser({"bob@example.org", "N", "user", "pc", "", "127.0.0.1", 1000, {}}).value();
    store.reset();
    ASSERT_TRUE(servertest::execOnStore(
        address,
        {"DROP TABLE list_versions", "CREATE TABLE list_versions (user_id BIGINT PRIMARY KEY, version BIGINT NOT NULL)",
         QStringLiteral("INSERT INTO list_versions (user_id, version) VALUES (%1, 41)").arg(ann),
         "UPDATE schema_version SET version = 12"},
        &problem))
        << problem.toStdString();
    store = open();
    EXPECT_EQ(store->pollHead(ann)->listVersion, 41);
    store->addContact(ann, bob, 5, 0);
    EXPECT_EQ(store->pollHead(ann)->listVersion, 42);
    EXPECT_GT(store->pollHead(bob)->listVersion, 0);
}

// What the limits count of callers goes when no window reaches back to it, and beyond the cap the
// oldest first, however many addresses a flood came from.
TEST_P(StoreTest, CallerEventsGoPastTheirWindowsAndOldestFirstBeyondTheCap) {
    std::unique_ptr<chatserver::Storage> store = open();
    const auto from = [](int i) { return QStringLiteral("127.0.0.%1").arg(i); };
    for (int i = 1; i <= 6; ++i)
        store->recordRefusal(from(i), "127.0.0.0/24", {}, i * 1000LL);
    store->forgetCallerEvents(2000, 3);
    QList<int> left;
    for (int i = 1; i <= 6; ++i)
        left.append(store->callerCounts({from(i), "", 0, {9, 0}, {}, {}}).address);
    EXPECT_EQ(left, (QList<int>{0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(store->callerCounts({"", "127.0.0.0/24", 0, {}, {9, 0}, {}}).network, 3);
}

// Tens of thousands of users polling two loops while the writer takes their times out in batches,
// its table of times written growing several times over meanwhile: no time is lost or set back,
// and every one stays known as written, so that a poll soon after queues no second write.
TEST(PendingPresenceTest, NoTimeIsLostOrWrittenTwiceWhileTheTableOfWrittenTimesGrows) {
    chatserver::PendingPresence pending;
    constexpr qint64 kUsers = 40'000, kAt = 1'000'000;
    std::atomic<int> polling{2};
    const auto loop = [&](qint64 first) {
        return std::thread([&pending, &polling, first] {
            for (qint64 id = first; id <= kUsers; id += 2)
                pending.touch(id, kAt + id % 7);
            --polling;
        });
    };
    std::thread loops[] = {loop(1), loop(2)};
    qsizetype written = 0;
    while (polling > 0 || pending.size() > 0) {
        const qsizetype taken = pending.beginWriting(3000).size();
        written += taken;
        pending.written(taken);
    }
    for (std::thread& thread : loops)
        thread.join();
    EXPECT_EQ(written, kUsers);
    qint64 wrong = 0;
    for (qint64 id = 1; id <= kUsers; ++id)
        wrong += pending.latest(id) != kAt + id % 7;
    EXPECT_EQ(wrong, 0);
    for (qint64 id = 1; id <= kUsers; ++id)
        pending.touch(id, kAt + 1000);
    EXPECT_EQ(pending.size(), 0);
    const qint64 later = kAt + 7 + chatserver::PendingPresence::kRewriteAfterMs;
    pending.touch(kUsers, later);
    EXPECT_EQ(pending.size(), 1);
    // While that is written a second writer is given nothing, a later poll waits for the next
    // batch, and an earlier one noted late sets nothing back.
    ASSERT_EQ(pending.beginWriting(0).size(), 1);
    EXPECT_TRUE(pending.beginWriting(0).isEmpty());
    pending.touch(kUsers, later + 2);
    pending.touch(kUsers, later + 1);
    pending.written(1);
    EXPECT_EQ(pending.size(), 1);
    EXPECT_EQ(pending.latest(kUsers), later + 2);
}

// Another program on the server's SQLite file (an operator command, a backup) writes, and asks
// for the whole log to be copied into the file and started over. It must not get that while a
// read is under way here, whatever this process keeps of its readers' locks between reads, and it
// must get it soon after the server's reads are done.
TEST(SqliteStoreTest, AnotherProgramEmptiesTheLogOnlyOnceNoReadHereNeedsIt) {
    if (QStandardPaths::findExecutable("sqlite3").isEmpty()) GTEST_SKIP() << "no sqlite3 program here";
    QTemporaryDir dir;
    const QString file = dir.filePath("store.sqlite");
    QString problem;
    const auto store = chatserver::openStorage(*chatserver::StoreLocation::parse("sqlite:" + file, &problem));
    const qint64 ann = store->registerUser({"ann@example.org", "Ann", "ann", "pc", "", "127.0.0.1", 1, {}}).value_or(0);
    ASSERT_NE(ann, 0);
    for (int read = 0; read < 100; ++read)
        ASSERT_TRUE(store->pollHead(ann));
    // The other program's answer to "copy the log and start it over": busy (1) or not (0), then
    // the pages the log still holds.
    const auto other = [&file](const QString& sql) {
        QProcess sqlite;
        sqlite.start("sqlite3", {file, sql});
        sqlite.waitForFinished(10000);
        return QString::fromUtf8(sqlite.readAllStandardOutput()).trimmed();
    };
    const QString truncate = QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE);");

    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.toUtf8().constData(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM users;", nullptr, nullptr, nullptr), SQLITE_OK);
    QThread::msleep(1500); // a long read, past the moment locks no read uses are given back
    EXPECT_TRUE(other("UPDATE users SET display_name = 'Anna'; " + truncate).startsWith("1|"));
    EXPECT_EQ(store->findUser(ann).value_or(chatserver::UserRecord{}).displayName, "Anna");
    EXPECT_GT(QFileInfo(file + "-wal").size(), 0);
    sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(reader);

    ASSERT_TRUE(store->pollHead(ann));
    QString answer;
    for (int look = 0; look < 50 && (answer = other(truncate)) != "0|0|0"; ++look)
        QThread::msleep(200);
    EXPECT_EQ(answer, "0|0|0");
    EXPECT_EQ(QFileInfo(file + "-wal").size(), 0);
    EXPECT_TRUE(store->pollHead(ann));
}

// Whether a contact lists its owner back is kept with each entry, and stays right when two
// servers change both lists at the same moment.
TEST_P(StoreTest, WhetherAContactListsYouBackStaysRightWhenTwoServersChangeBothListsAtOnce) {
    std::unique_ptr<chatserver::Storage> first = open(), second = open();
    const qint64 ids[] = {*first->registerUser({"ann@example.org", "Ann", "", "", "", "", 1, {}}),
                          *first->registerUser({"bob@example.org", "Bob", "", "", "", "", 1, {}})};
    // The first server's change (+ adds, - removes; 1: Ann's entry, 2: Bob's), the second's
    // meanwhile (0: none), then both entries' flags (-1: not listed).
    const int steps[][4] = {{+1, 0, 0, -1},  {+2, 0, 1, 1},  {-1, 0, -1, 0},   {-2, +1, 0, -1},
                            {-1, 0, -1, -1}, {+1, +2, 1, 1}, {-1, -2, -1, -1}, {+2, +1, 1, 1}};
    const auto apply = [&](chatserver::Storage& store, int change) {
        const qint64 owner = ids[std::abs(change) - 1], other = ids[2 - std::abs(change)];
        change > 0 ? void(store.addContact(owner, other, 1, 0)) : store.removeContact(owner, other);
    };
    const auto flag = [&](qint64 owner) {
        const QList<chatserver::UserRecord> list = open()->contactsOf(owner);
        return list.isEmpty() ? -1 : int(list[0].mutual);
    };
    const QString someoneWaits = "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE "
                                 "wait_event_type = 'Lock') THEN RAISE EXCEPTION 'none'; END IF; END $$";
    for (const auto& step : steps) {
        chatserver::Storage::Transaction held(*first);
        apply(*first, step[0]);
        std::atomic<bool> done{step[1] == 0};
        std::thread other([&] {
            if (done) return;
            chatserver::Storage::Transaction transaction(*second);
            apply(*second, step[1]);
            transaction.commit();
            done = true;
        });
        // The first commits once the second waits for it (SQLite's writers take turns anyway).
        while (GetParam() == servertest::Backend::Postgres && !done &&
               !servertest::execOnStore(address, {someoneWaits}, &problem))
            QThread::yieldCurrentThread();
        held.commit();
        other.join();
        EXPECT_EQ(QList<int>({flag(ids[0]), flag(ids[1])}), QList<int>({step[2], step[3]})) << &step - steps;
    }
}

COLLOQ_ON_BOTH_STORES(StoreTest);

} // namespace
