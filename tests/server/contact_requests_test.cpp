// Requests 80 and 81 (contact requests) against a server in this process.
#include "ServerTestSupport.h"
#include "wire/ContactRequests.h"

using namespace servertest;
using Kind = wire::ContactRequestEntry::Kind;

namespace {

struct User {
    QString id, email;
    int octet = 0;
};

class ContactRequestsTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (!fixture.start(GetParam(), [](chatserver::ServerConfig& config) { config.lookups = {8, 600'000}; }))
            GTEST_SKIP() << fixture.skipped.toStdString();
    }
    // `name`@example.org, registered from 127.0.0.`octet` and logged in.
    User user(const QString& name, int octet) {
        User u{{}, name + "@example.org", octet};
        u.id = fixture.registered(name.toUpper(), loopback(octet), callAddress(octet));
        EXPECT_EQ(send({"1", u.id, u.email}, octet).code(), "1");
        return u;
    }
    ChatReply send(const QStringList& fields, int octet) {
        return fixture.send(fields, loopback(octet), callAddress(octet));
    }
    QString add(const User& owner, const QString& email) { return send({"4", owner.id, email}, owner.octet).code(); }
    QList<wire::ContactRequestEntry> requestsOf(const User& u) {
        return wire::parseContactRequests(send({"80", u.id, u.email}, u.octet).fields())
            .value_or(QList<wire::ContactRequestEntry>{{Kind::Waiting, "not an answer 80", {}, {}}});
    }

    ServerFixture fixture;
};

// Carl and Dave add Ann, Dave also an address nobody has; Ann adds Carl back and ignores Dave.
TEST_P(ContactRequestsTest, WaitingEntriesTellNothingAndIgnoringTellsTheSenderNothing) {
    const User ann = user("ann", 2), carl = user("carl", 3), dave = user("dave", 4);
    ASSERT_EQ(add(carl, ann.email), "4");
    fixture.clock.now += 60'000; // Dave asks later
    ASSERT_EQ(add(dave, "nobody@example.org"), "4");
    ASSERT_EQ(add(dave, ann.email), "4");
    // Carl's waiting entry is the row of his list, without her name until she adds him back.
    const QString carlsRow = send({"1", carl.id, carl.email}, carl.octet).fields().value(1);
    const QList<wire::ContactRequestEntry> carlSees = requestsOf(carl);
    ASSERT_EQ(carlSees.size(), 1);
    EXPECT_EQ(carlSees[0].kind, Kind::Waiting);
    EXPECT_EQ((QStringList{carlSees[0].handle, carlSees[0].name, carlSees[0].email}),
              (QStringList{carlsRow, "", ann.email}));
    // Ann's registered address and an address nobody has read alike to Dave, but for the address.
    const QString daveSaw = send({"80", dave.id, dave.email}, dave.octet).payload;
    const QList<wire::ContactRequestEntry> waiting = requestsOf(dave);
    ASSERT_EQ(waiting.size(), 2);
    for (const wire::ContactRequestEntry& entry : waiting)
        EXPECT_TRUE(entry.kind == Kind::Waiting && entry.name.isEmpty() && entry.handle.size() == 16);

    // Ann is asked by both, in the order they asked (as her client shows them: client_server_test).
    const QList<wire::ContactRequestEntry> annSees = requestsOf(ann);
    ASSERT_EQ(annSees.size(), 2);
    // Adding Carl back makes him the row the request named, and neither is asked any more.
    EXPECT_EQ(send({"4", ann.id, carl.email}, ann.octet).fields().mid(1, 2), (QStringList{annSees[0].handle, "CARL"}));
    EXPECT_TRUE(requestsOf(carl).isEmpty());
    // Ann ignores Dave; a made-up handle is answered alike.
    for (const QString& named : {annSees[1].handle, QStringLiteral("1234567890123456")})
        EXPECT_EQ(send({"81", ann.id, ann.email, named}, ann.octet).fields(), (QStringList{"81", named}));
    EXPECT_TRUE(requestsOf(ann).isEmpty());
    // Dave sees what he saw; removing Ann and adding her again does not ask her again.
    EXPECT_EQ(send({"80", dave.id, dave.email}, dave.octet).payload, daveSaw);
    const QString annRow = waiting[0].email == ann.email ? waiting[0].handle : waiting[1].handle;
    ASSERT_EQ(send({"5", dave.id, annRow}, dave.octet).code(), "5");
    ASSERT_EQ(add(dave, ann.email), "4");
    EXPECT_TRUE(requestsOf(ann).isEmpty());
}

TEST_P(ContactRequestsTest, StrangersGetNothingAndAFloodIsCutShort) {
    const User ann = user("ann", 2), carl = user("carl", 3);
    ASSERT_EQ(add(carl, ann.email), "4");
    // From another address: Ann's ID with Carl's e-mail, hers with an ID of no one, and an
    // ignore with her ID alone.
    for (const QStringList& fields : {QStringList{"80", ann.id, carl.email},
                                      {"80", "123456789012345", ann.email},
                                      {"81", ann.id, "", "1234567890123456"}}) {
        const ChatReply reply = send(fields, 9);
        EXPECT_EQ(reply.code(), "1957");
        EXPECT_FALSE(reply.payload.contains("CARL") || reply.payload.contains(carl.email));
    }
    EXPECT_EQ(requestsOf(ann).size(), 1);
    // Asked again and again from one address, the server stops reading lists for it.
    int answered = 0;
    for (int i = 0; i < 12; ++i)
        answered += send({"80", ann.id, ann.email}, ann.octet).code() == "80";
    EXPECT_EQ(answered, 7);
}

COLLOQ_ON_BOTH_STORES(ContactRequestsTest);

} // namespace
