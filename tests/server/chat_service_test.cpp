// What the server answers, request by request, on both stores, with a clock moved by hand.
#include "StoreParam.h"
#include "chatserver/ChatService.h"
#include "wire/Protocol.h"

#include <QDateTime>

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
    EXPECT_GT(bob.toLongLong(), fields[3].toLongLong());
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
    };
    for (const Case& c : cases) {
        const QString reply = call("3", c.args, c.address, kAnnPeer);
        EXPECT_TRUE(reply.startsWith("1985" + S)) << reply.toStdString();
        EXPECT_TRUE(reply.contains(QLatin1String(c.expected))) << reply.toStdString();
    }
    EXPECT_FALSE(store->findUserByEmail("a@b.org"));
    EXPECT_EQ(service->refuseMalformed("3").reply->section(S, 0, 0), "1985");
    EXPECT_FALSE(service->refuseMalformed("1").reply);
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
    EXPECT_EQ(call("4", {ann, "bob@example.org"}, "", kAnnPeer),
              "4" + S + bob + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5060" + S + "1");
    EXPECT_EQ(poll(ann, "ANN@example.org", kAnnPeer),
              "1" + S + bob + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5060" + S + "1");
    EXPECT_EQ(poll(bob, "bob@example.org", kBobPeer), "1"); // lists are one-way
}

TEST_P(ChatServiceTest, PresenceTimesOutAndComesBackWithAPoll) {
    const QString ann = join("ann@example.org", "Ann", kAnnPeer);
    const QString bob = join("bob@example.org", "Bob", kBobPeer);
    call("4", {bob, "ann@example.org"}, "", kBobPeer);
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
        {"4", {ann, "bob@example.org"}, kAnnPeer, "4" + S + bob + S},
        {"4", {ann, "bob@example.org"}, kAnnPeer, "1957" + S + "bob@example.org is already"},
        {"4", {ann, "cid@example.org"}, kAnnPeer, "4" + S},
        {"4", {ann, "dan@example.org"}, kAnnPeer, "4" + S},
        {"4", {ann, "eve@example.org"}, kAnnPeer, "1957" + S + "Your contact list is full."},
        {"4", {"424242", "bob@example.org"}, kAnnPeer, "1957" + S + "The server does not know"},
        {"5", {ann, bob}, kBobPeer, "1957" + S},
        {"5", {ann, "x"}, kAnnPeer, "1957" + S},
        {"5", {ann, bob}, kAnnPeer, "5" + S + bob},
        {"5", {ann, bob}, kAnnPeer, "5" + S + bob}, // not listed any more: answered the same
        {"2005", {ann}, kBobPeer, "1957" + S},
        {"2005", {"0"}, kAnnPeer, "1957" + S},
    };
    for (const Case& c : cases) {
        const QString reply = call(c.code, c.args, "", c.peer);
        EXPECT_TRUE(reply.startsWith(c.expected))
            << c.code.toStdString() << " " << c.args.join(',').toStdString() << " -> " << reply.toStdString();
    }
    EXPECT_TRUE(store->findUser(ann.toLongLong())->online); // the refused sign-off did nothing
    // A poll lists the contacts in the order they were added, not by ID.
    clock.now += 1;
    call("5", {ann, cid}, "", kAnnPeer);
    call("4", {ann, "cid@example.org"}, "", kAnnPeer);
    const QStringList listed = poll(ann, "ann@example.org", kAnnPeer).split(S);
    ASSERT_EQ(listed.size(), 11);
    EXPECT_EQ((QStringList{listed[1], listed[6]}), (QStringList{dan, cid}));
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
    const QString record = bob + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5060" + S + "1";
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
    EXPECT_EQ(poll(lateId, "late@example.org", "127.0.0.7"), "1" + S + record);
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
    const QString bobRecord = bob + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5060" + S + "1";
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
    EXPECT_EQ(dated->records[0], (QStringList{never, "Cid", "cid@example.org", "", "0", ""}));
    EXPECT_EQ(dated->records[1], (QStringList{bob, "Bob", "bob@example.org", "127.0.0.3:5060", "1", seen}));
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
