// What the server answers, request by request, on both stores, with a clock moved by hand.
#include "StoreParam.h"
#include "chatserver/ChatService.h"
#include "wire/Protocol.h"

#include <QDateTime>
#include <QMap>

using chatserver::ChatRequest;
using chatserver::ChatService;
using chatserver::ChatSettings;
using servertest::Backend;

namespace {

const QString S = QString(wire::kSep);
const QString kAnnPeer = "127.0.0.2";
const QString kBobPeer = "127.0.0.3";

class ChatServiceTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        const QString address = servertest::freshStoreAddress(GetParam(), m_dir, &skip);
        if (address.isEmpty()) GTEST_SKIP() << skip.toStdString();
        QString error;
        store = chatserver::openStorage(*chatserver::StoreLocation::parse(address, &error));
        ChatSettings settings;
        settings.publicAddress = "10.1.1.1";
        settings.publicPort = "19991";
        settings.presenceTimeoutMs = 60'000;
        settings.maxContacts = 3;
        settings.sites = {{"0", {"10.0.0.1", "www.example.org", "ChatServerIP.asp", ""}},
                          {"2", {"10.0.0.3", "alt.example.org", "InfoDT.asp", "key"}}};
        service = std::make_unique<ChatService>(*store, settings, clock.clock());
    }

    // `plain`: sent unscrambled and without a call address, as while the client waits for a page.
    QString call(const QString& code, const QStringList& args, const QString& address, const QString& peer,
                 bool plain = false) {
        ChatRequest request;
        request.code = code;
        request.args = args;
        request.callAddress = address;
        request.hasAddress = request.scrambled = !plain;
        const ChatService::Outcome outcome = service->handle(request, peer);
        return outcome.reply.value_or("<closed>");
    }
    // Registers and logs in; returns the ID.
    QString join(const QString& email, const QString& name, const QString& peer, int port = 5060) {
        const QString reply = call("3", {"user", "PC", email, name}, peer + ":" + QString::number(port), peer);
        EXPECT_TRUE(reply.startsWith("3" + S)) << reply.toStdString();
        const QString id = reply.section(S, 3, 3);
        EXPECT_TRUE(call("1", {id, email}, peer + ":" + QString::number(port), peer).startsWith("1"));
        return id;
    }
    QString poll(const QString& id, const QString& email, const QString& peer) {
        return call("1", {id, email}, peer + ":5060", peer);
    }
    // What `viewer` is shown in place of `subject`'s ID.
    QString handle(const QString& viewer, const QString& subject) {
        return service->handleFor(viewer.toLongLong(), subject.toLongLong());
    }

    QTemporaryDir m_dir;
    servertest::ManualClock clock;
    std::unique_ptr<chatserver::Storage> store;
    std::unique_ptr<ChatService> service;
};

TEST_P(ChatServiceTest, RegistrationAnswersTheServerAndANewId) {
    const QString reply = call("3", {"ann", "PC-1", "Ann@Example.org", " Ann Lee"}, "127.0.0.2:5060", kAnnPeer);
    const QStringList fields = reply.split(S);
    ASSERT_EQ(fields.size(), 5) << reply.toStdString();
    EXPECT_EQ(fields.mid(0, 3), (QStringList{"3", "10.1.1.1", "19991"}));
    EXPECT_EQ(fields[4], "ann@example.org");
    // Registered with an address: on line from then, and changes are taken from this peer.
    const auto ann = store->findUser(fields[3].toLongLong());
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->displayName, "Ann Lee");
    EXPECT_EQ(ann->address, "127.0.0.2:5060");
    EXPECT_TRUE(ann->online);
    EXPECT_EQ(ann->lastSeenMs, clock.now);
    EXPECT_EQ(ann->loginPeer, kAnnPeer);

    const QString again = call("3", {"x", "PC-2", "ann@example.org", "Someone"}, "", kBobPeer);
    EXPECT_EQ(again, "1985" + S + "The e-mail address ann@example.org is already registered.");
    const QString bob = call("3", {"x", "PC-2", "bob@example.org", "Bob"}, "", kBobPeer).section(S, 3, 3);
    EXPECT_EQ(bob.size(), 15);
    EXPECT_NE(bob, fields[3]);
    EXPECT_FALSE(store->findUser(bob.toLongLong())->online); // no address yet
}

TEST_P(ChatServiceTest, RegistrationRefusesBadInputInPlainWords) {
    struct Case {
        QStringList args;
        QString address;
        const char* expected;
    } cases[] = {
        {{"u", "pc", "not-an-address", "Ann"}, "", "is not an e-mail address"},
        {{"u", "pc", "a@b@c", "Ann"}, "", "is not an e-mail address"},
        {{"u", "pc", "a b@c.org", "Ann"}, "", "is not an e-mail address"},
        {{"u", "pc", QString(300, 'a') + "@x.org", "Ann"}, "", "is not an e-mail address"},
        {{"u", "pc", "a@b.org", "   "}, "", "display name"},
        {{"u", "pc", "a@b.org", QString(65, 'n')}, "", "display name"},
        {{"u", "pc", "a@b.org", "Ann\x01"}, "", "display name"},
        {{"u", "pc", "a@b.org", "Ann EndLookWANIP"}, "", "display name"},
        {{QString(300, 'u'), "pc", "a@b.org", "Ann"}, "", "too long"},
        {{"u", "pc", "a@b.org", "Ann"}, "1.2.3.4:5060<script>", "address"},
        {{"u", "pc", "a\x1b[2J@b.org", "Ann"}, "", "\"a[2j@b.org\" is not"}, // echoed without the escape
    };
    for (const Case& c : cases) {
        const QString reply = call("3", c.args, c.address, kAnnPeer);
        EXPECT_TRUE(reply.startsWith("1985" + S)) << reply.toStdString();
        EXPECT_TRUE(reply.contains(QLatin1String(c.expected))) << reply.toStdString();
    }
    EXPECT_FALSE(store->findUserByEmail("a@b.org"));
    // Requests whose fields cannot be told apart are answered in words too; a sign-off with the
    // site lines all the same.
    for (const char* code : {"3", "1", "4", "5", "77", "2"})
        EXPECT_EQ(service->refuseMalformed(code).reply->section(S, 0, 0), code == QString("3") ? "1985" : "1957");
    EXPECT_EQ(service->refuseMalformed("2005").reply, service->signOffReply());
}

TEST_P(ChatServiceTest, LogInNeedsTheMatchingEmailAndListsContacts) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    const QString bob = join("bob@example.org", "Bob", kBobPeer);
    for (const QStringList& args : {QStringList{ann, "bob@example.org"}, QStringList{"999999", "ann@example.org"},
                                    QStringList{"x1", "ann@example.org"}, QStringList{"", ""}}) {
        const QString reply = call("1", args, "127.0.0.9:5060", "127.0.0.9");
        EXPECT_TRUE(reply.startsWith("1957" + S)) << reply.toStdString();
    }
    EXPECT_EQ(store->findUser(ann.toLongLong())->loginPeer, kAnnPeer); // the refusals changed nothing

    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer), "1"); // no contacts yet
    // Bob does not list Ann: she sees neither where he is nor whether he is on line.
    const QString hidden = "1" + S + handle(ann, bob) + S + "Bob" + S + "bob@example.org" + S + S + "0";
    EXPECT_EQ(call("4", {ann, "bob@example.org"}, "", kAnnPeer), "4" + hidden.mid(1));
    EXPECT_EQ(poll(ann, "ANN@example.org", kAnnPeer), hidden);
    EXPECT_EQ(poll(bob, "bob@example.org", kBobPeer), "1"); // lists are one-way
    // Once he lists her, each sees the other, under a number that is neither's ID.
    EXPECT_EQ(call("4", {bob, "ann@example.org"}, "", kBobPeer),
              "4" + S + handle(bob, ann) + S + "Ann" + S + "ann@example.org" + S + "127.0.0.2:5060" + S + "1");
    EXPECT_EQ(poll(ann, "ANN@example.org", kAnnPeer),
              "1" + S + handle(ann, bob) + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5060" + S + "1");
    for (const QString& shown : {handle(ann, bob), handle(bob, ann)}) {
        EXPECT_EQ(shown.size(), 16);
        EXPECT_NE(shown, ann);
        EXPECT_NE(shown, bob);
    }
    EXPECT_NE(handle(ann, bob), handle(bob, ann));
    // The same number from another service on the store (another server, or after a restart).
    const ChatService other(*store, service->settings(), clock.clock());
    EXPECT_EQ(const_cast<ChatService&>(other).handleFor(ann.toLongLong(), bob.toLongLong()), handle(ann, bob));
    // Signed off, Bob keeps his last address, so that Ann's client lists him after a restart.
    call("2005", {bob}, "", kBobPeer);
    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer),
              "1" + S + handle(ann, bob) + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5060" + S + "0");
}

TEST_P(ChatServiceTest, FloodsFromOneAddressAreThrottled) {
    const QString flood = "127.0.0.77";
    int registered = 0;
    for (int i = 0; i < 100; ++i)
        registered += call("3", {"u", "pc", QString("r%1@example.org").arg(i), "R"}, "", flood).startsWith("3" + S);
    EXPECT_EQ(registered, 20);
    // An ID probe: after 20 refusals the address is told to wait, and nothing is looked up.
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    QMap<QString, int> answers;
    for (int i = 0; i < 1000; ++i)
        ++answers[call("5", {QString::number(100'000'000'000'000 + i), "1"}, "", flood).section(S, 1).left(20)];
    EXPECT_EQ(answers, (QMap<QString, int>{{"Please wait for the ", 20}, {"Too many refused req", 980}}));
    EXPECT_TRUE(call("1", {ann, "ann@example.org"}, "127.0.0.77:5060", flood).startsWith("1957" + S + "Too many"));
    EXPECT_TRUE(poll(ann, "ann@example.org", kAnnPeer).startsWith("1")); // others go on
    // Guesses at Ann's ID spread over many addresses: then only her own address logs in as her.
    for (int i = 0; i < 25; ++i) {
        const QString peer = QString("127.0.1.%1").arg(i);
        call("1", {QString::number(200'000'000'000'000 + i), "ann@example.org"}, peer + ":5060", peer);
    }
    EXPECT_TRUE(call("1", {ann, "ann@example.org"}, "127.0.0.9:5060", "127.0.0.9").startsWith("1957" + S + "Too"));
    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer), "1");
    // Ten minutes later all may try again.
    clock.now += 600'000;
    EXPECT_EQ(call("1", {ann, "ann@example.org"}, "127.0.0.9:5060", "127.0.0.9"), "1");
    EXPECT_TRUE(call("3", {"u", "pc", "late@example.org", "R"}, "", flood).startsWith("3" + S));
}

TEST_P(ChatServiceTest, PresenceTimesOutAndComesBackWithAPoll) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    const QString bob = join("bob@example.org", "Bob", kBobPeer);
    call("4", {bob, "ann@example.org"}, "", kBobPeer);
    call("4", {ann, "bob@example.org"}, "", kAnnPeer);
    auto annStatus = [&] { return poll(bob, "bob@example.org", kBobPeer).split(S).value(5); };
    EXPECT_EQ(annStatus(), "1");
    clock.now += 60'000; // exactly the time-out: still on line
    EXPECT_EQ(annStatus(), "1");
    clock.now += 1;
    EXPECT_EQ(annStatus(), "0");
    poll(ann, "ann@example.org", kAnnPeer);
    EXPECT_EQ(annStatus(), "1");
    const QString signOff = call("2005", {ann}, "127.0.0.2:5060", kAnnPeer);
    EXPECT_TRUE(signOff.startsWith("2005" + S));
    EXPECT_EQ(annStatus(), "0");
}

TEST_P(ChatServiceTest, ContactChangesComeOnlyFromTheLogInAddress) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    const QString bob = join("bob@example.org", "Bob", kBobPeer);
    const QString cid = join("cid@example.org", "Cid", "127.0.0.4");
    const QString dan = join("dan@example.org", "Dan", "127.0.0.5");
    join("eve@example.org", "Eve", "127.0.0.6");
    struct Case {
        QString code;
        QStringList args;
        QString peer;
        QString expected; // reply start
    } cases[] = {
        {"4", {ann, "bob@example.org"}, kBobPeer, "1957" + S + "Please wait"},
        {"4", {ann, "nobody@example.org"}, kAnnPeer, "1957" + S + "No user is registered"},
        {"4", {ann, "ANN@example.org"}, kAnnPeer, "1957" + S + "You cannot add your own"},
        {"4", {ann, "bob@example.org"}, kAnnPeer, "4" + S + handle(ann, bob) + S},
        {"4", {ann, "bob@example.org"}, kAnnPeer, "1957" + S + "bob@example.org is already"},
        {"4", {ann, "cid@example.org"}, kAnnPeer, "4" + S},
        {"4", {ann, "dan@example.org"}, kAnnPeer, "4" + S},
        {"4", {ann, "eve@example.org"}, kAnnPeer, "1957" + S + "Your contact list is full."},
        // An unknown ID is refused as one logged in elsewhere: no telling the two apart.
        {"4", {"424242", "bob@example.org"}, kAnnPeer, "1957" + S + "Please wait"},
        {"5", {ann, handle(ann, bob)}, kBobPeer, "1957" + S + "Please wait"},
        {"5", {"424242", handle(ann, bob)}, kAnnPeer, "1957" + S + "Please wait"},
        {"5", {ann, "x"}, kAnnPeer, "1957" + S},
        {"5", {ann, handle(ann, bob)}, kAnnPeer, "5" + S + handle(ann, bob)},
        {"5", {ann, handle(ann, bob)}, kAnnPeer, "5" + S + handle(ann, bob)}, // answered the same
        // The sign-off always gets the site lines the client waits for.
        {"2005", {ann}, kBobPeer, "2005" + S + "0" + S},
        {"2005", {"0"}, kAnnPeer, "2005" + S + "0" + S},
    };
    for (const Case& c : cases) {
        const QString reply = call(c.code, c.args, "", c.peer);
        EXPECT_TRUE(reply.startsWith(c.expected))
            << c.code.toStdString() << " " << c.args.join(',').toStdString() << " -> " << reply.toStdString();
    }
    EXPECT_TRUE(store->findUser(ann.toLongLong())->online); // the refused sign-off did nothing
    // A poll lists the contacts in the order they were added, not by ID.
    clock.now += 1;
    call("5", {ann, cid}, "", kAnnPeer); // a row from before handles is named by the ID
    call("4", {ann, "cid@example.org"}, "", kAnnPeer);
    const QStringList listed = poll(ann, "ann@example.org", kAnnPeer).split(S);
    ASSERT_EQ(listed.size(), 11);
    EXPECT_EQ((QStringList{listed[1], listed[6]}), (QStringList{handle(ann, dan), handle(ann, cid)}));
}

TEST_P(ChatServiceTest, SignOffAnswersTheSiteLines) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    EXPECT_EQ(call("2005", {ann}, "", kAnnPeer), "2005" + S + "0" + S + "10.0.0.1" + S + "www.example.org" + S +
                                                     "ChatServerIP.asp" + S + "\r\n" + S + "2" + S + "10.0.0.3" + S +
                                                     "alt.example.org" + S + "InfoDT.asp" + S + "key\r\n");
    EXPECT_FALSE(store->findUser(ann.toLongLong())->online);
    // Without sites the reply still holds one line, of a type nobody reads.
    ChatSettings bare = service->settings();
    bare.sites.clear();
    service->setSettings(bare);
    EXPECT_EQ(service->signOffReply(), "2005" + S + "9" + S + S + S + S + "\r\n");
}

TEST_P(ChatServiceTest, NoticesAndMovesRideOnTheNextPollOnce) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    const QString bob = join("bob@example.org", "Bob", kBobPeer);
    const QString record = handle(ann, bob) + S + "Bob" + S + "bob@example.org" + S + S + "0";
    store->queueNotice(std::nullopt, "Maintenance tonight", "Server news", clock.now);
    store->announceMove("10.8.8.8", "19999", clock.now); // only the latest move is told
    store->announceMove("10.9.9.9", "20000", clock.now);
    service->refreshOperatorState();

    // Without a contact the client could not read the trailing fields: they wait.
    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer), "1");
    call("4", {ann, "bob@example.org"}, "", kAnnPeer);
    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer), "111" + S + record + S + "10.9.9.9" + S + "20000");
    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer),
              "11" + S + record + S + "Maintenance tonight" + S + "Server news");
    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer), "1" + S + record);

    // A notice queued by another process is seen once the service looks again.
    store->queueNotice(ann.toLongLong(), "Just you", "Hi", clock.now);
    service->refreshOperatorState();
    EXPECT_EQ(poll(ann, "ann@example.org", kAnnPeer), "11" + S + record + S + "Just you" + S + "Hi");
    // New users register straight onto the new address, and are told neither the move nor the
    // notice to everybody that came before them.
    clock.now += 1;
    const QString late = call("3", {"u", "pc", "late@example.org", "Late"}, "127.0.0.7:5060", "127.0.0.7");
    EXPECT_EQ(late.section(S, 1, 2), "10.9.9.9" + S + "20000");
    const QString lateId = late.section(S, 3, 3);
    call("4", {lateId, "bob@example.org"}, "", "127.0.0.7");
    EXPECT_EQ(poll(lateId, "late@example.org", "127.0.0.7"),
              "1" + S + handle(lateId, bob) + S + "Bob" + S + "bob@example.org" + S + S + "0");
}

TEST_P(ChatServiceTest, PlainRequestsKeepTheKnownAddress) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer, 5070);
    EXPECT_EQ(call("1", {ann, "ann@example.org"}, "", kAnnPeer, true), "1");
    EXPECT_EQ(store->findUser(ann.toLongLong())->address, "127.0.0.2:5070");
}

TEST_P(ChatServiceTest, PollByIdCountsOnlyFromTheLogInAddress) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    const QString bob = join("bob@example.org", "Bob", kBobPeer);
    call("4", {bob, "ann@example.org"}, "", kBobPeer);
    call("4", {ann, "bob@example.org"}, "", kAnnPeer);
    call("2005", {ann}, "", kAnnPeer);
    const QString date = "01/15/2007 10:11:12";
    const QString bobRecord = handle(ann, bob) + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5060" + S + "1";
    struct Case {
        QString id;
        QString address;
        QString peer;
        QString expected;
        bool annOnLine;
    } cases[] = {
        {ann, "127.0.0.2:5070", kBobPeer, "1", false},      // someone else's machine
        {"424242", "127.0.0.2:5070", kAnnPeer, "1", false}, // unknown ID
        {ann, "127.0.0.2:5070<x>", kAnnPeer, "1", false},   // unreadable call address
        {ann, "127.0.0.2:5070", kAnnPeer, "1" + S + bobRecord, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(call("77", {c.id, date, "203.0.113.9"}, c.address, c.peer), c.expected) << c.id.toStdString();
        const auto annUser = store->findUser(ann.toLongLong());
        EXPECT_EQ(annUser->online, c.annOnLine) << c.id.toStdString();
        EXPECT_EQ(annUser->address, c.annOnLine ? "127.0.0.2:5070" : "127.0.0.2:5060");
    }
    // A pending notice rides on it as on any poll.
    store->queueNotice(ann.toLongLong(), "Just you", "Hi", clock.now);
    service->refreshOperatorState();
    EXPECT_EQ(call("77", {ann, date, ""}, "127.0.0.2:5070", kAnnPeer),
              "11" + S + bobRecord + S + "Just you" + S + "Hi");

    // A plain request carries no call address: answered empty.
    EXPECT_EQ(call("77", {ann, date, ""}, "", kAnnPeer, true), "1");
}

TEST_P(ChatServiceTest, AlternateServerPollAndSignOff) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    const QString bob = join("bob@example.org", "Bob", kBobPeer);
    const QString never = call("3", {"u", "pc", "cid@example.org", "Cid"}, "", "127.0.0.4").section(S, 3, 3);
    call("4", {ann, "cid@example.org"}, "", kAnnPeer);
    call("4", {bob, "ann@example.org"}, "", kBobPeer);
    clock.now += 1; // listed in the order added, not by ID
    call("4", {ann, "bob@example.org"}, "", kAnnPeer);
    QString note;
    EXPECT_FALSE(service->alternatePoll(ann, "127.0.0.9:5060", kBobPeer, &note));
    EXPECT_FALSE(service->alternatePoll("nonsense", "", kAnnPeer, &note));
    EXPECT_FALSE(service->alternatePoll(ann, "bad address!", kAnnPeer, &note));

    clock.now += 1000;
    const auto dated = service->alternatePoll(ann, "127.0.0.2:5099", kAnnPeer, &note);
    ASSERT_TRUE(dated);
    ASSERT_EQ(dated->records.size(), 2);
    const QString seen =
        QDateTime::fromMSecsSinceEpoch(store->findUser(bob.toLongLong())->lastSeenMs).toString("MM/dd/yyyy hh:mm:ss");
    EXPECT_EQ(dated->records[0], (QStringList{handle(ann, never), "Cid", "cid@example.org", "", "0", ""}));
    EXPECT_EQ(dated->records[1],
              (QStringList{handle(ann, bob), "Bob", "bob@example.org", "127.0.0.3:5060", "1", seen}));
    const auto annUser = store->findUser(ann.toLongLong());
    EXPECT_EQ(annUser->address, "127.0.0.2:5099");
    EXPECT_EQ(annUser->lastSeenMs, clock.now);

    EXPECT_FALSE(service->alternateSignOff(ann, kBobPeer, &note));
    EXPECT_TRUE(store->findUser(ann.toLongLong())->online);
    EXPECT_TRUE(service->alternateSignOff(ann, kAnnPeer, &note));
    EXPECT_FALSE(store->findUser(ann.toLongLong())->online);
}

COLLOQ_ON_BOTH_STORES(ChatServiceTest);

} // namespace
