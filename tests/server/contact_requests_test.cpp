// Requests 80 and 81 against a server in this process: one-sided list entries kept across a
// restart and shown both ways, ignoring one without its sender learning of it, and what a
// stranger, a prober of addresses and a flood of requests get.
#include "ServerTestSupport.h"
#include "wire/ContactRequests.h"

using namespace servertest;
using Kind = wire::ContactRequestEntry::Kind;

namespace {

class ContactRequestsTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        if (!fixture.start(GetParam(), &skip, [](chatserver::ServerConfig& config) { config.lookups = {8, 600'000}; }))
            GTEST_SKIP() << skip.toStdString();
    }
    struct User {
        QString id, email;
        int octet = 0;
    };
    // Registers `name`@example.org from 127.0.0.`octet` and logs it in.
    User user(const QString& name, int octet) {
        User u{{}, name + "@example.org", octet};
        u.id = send({"3", name, "PC", u.email, name.toUpper()}, octet).fields().value(3);
        EXPECT_EQ(logIn(u).code(), "1");
        return u;
    }
    ChatReply logIn(const User& u) { return send({"1", u.id, u.email}, u.octet); }
    ChatReply send(const QStringList& fields, int octet) {
        const QHostAddress from(QStringLiteral("127.0.0.%1").arg(octet));
        return exchange(fixture.host, fixture.chatPort(), chatRequest(fields, callAddress(octet)), from);
    }
    ChatReply add(const User& owner, const QString& email) { return send({"4", owner.id, email}, owner.octet); }
    QList<wire::ContactRequestEntry> requestsOf(const User& u) {
        const std::optional<QList<wire::ContactRequestEntry>> entries =
            wire::parseContactRequests(send({"80", u.id, u.email}, u.octet).fields());
        EXPECT_TRUE(entries);
        return entries.value_or(QList<wire::ContactRequestEntry>{});
    }

    ServerFixture fixture;
};

TEST_P(ContactRequestsTest, AOneSidedContactIsKeptAsWaitingAndTheOtherIsAskedUntilSheAddsHimBack) {
    const User ann = user("ann", 2), carl = user("carl", 3);
    ASSERT_EQ(add(carl, ann.email).code(), "4");

    // Carl starts again: his log-in still lists Ann, and request 80 says she has not added him.
    const QStringList poll = logIn(carl).fields();
    ASSERT_EQ(poll.size(), 6);
    QList<wire::ContactRequestEntry> carlSees = requestsOf(carl);
    ASSERT_EQ(carlSees.size(), 1);
    EXPECT_EQ(carlSees[0].kind, Kind::Waiting);
    EXPECT_EQ(carlSees[0].handle, poll[1]); // the row of his list it speaks of
    EXPECT_EQ(carlSees[0].name, "");
    EXPECT_EQ(carlSees[0].email, ann.email);

    // Ann is asked by Carl, with the name and address he gave.
    QList<wire::ContactRequestEntry> annSees = requestsOf(ann);
    ASSERT_EQ(annSees.size(), 1);
    EXPECT_EQ(annSees[0].kind, Kind::Asking);
    EXPECT_EQ(annSees[0].name, "CARL");
    EXPECT_EQ(annSees[0].email, carl.email);
    EXPECT_FALSE(annSees[0].handle.contains(carl.id));

    // She adds him back: he becomes the row the request named, and neither is asked any more.
    const QStringList added = add(ann, carl.email).fields();
    EXPECT_EQ(added.value(1), annSees[0].handle);
    EXPECT_EQ(added.value(2), "CARL");
    EXPECT_TRUE(requestsOf(ann).isEmpty());
    EXPECT_TRUE(requestsOf(carl).isEmpty());
    EXPECT_EQ(logIn(carl).fields().value(2), "ANN");
}

TEST_P(ContactRequestsTest, IgnoringTellsTheSenderNothingAndTheSenderCannotTellWhoIsRegistered) {
    const User ann = user("ann", 2), dave = user("dave", 4);
    ASSERT_EQ(add(dave, ann.email).code(), "4");
    ASSERT_EQ(add(dave, "nobody@example.org").code(), "4");
    const QString daveSaw = send({"80", dave.id, dave.email}, dave.octet).payload;

    // Ann's registered address and an address nobody has read alike, but for the address.
    const QList<wire::ContactRequestEntry> waiting = requestsOf(dave);
    ASSERT_EQ(waiting.size(), 2);
    for (const wire::ContactRequestEntry& entry : waiting) {
        EXPECT_EQ(entry.kind, Kind::Waiting);
        EXPECT_EQ(entry.name, "");
        EXPECT_EQ(entry.handle.size(), 16);
    }

    // Ann ignores Dave; a made-up handle is answered alike, so that answers reveal nothing.
    const QString handle = requestsOf(ann).value(0).handle;
    EXPECT_EQ(send({"81", ann.id, ann.email, handle}, ann.octet).fields(), (QStringList{"81", handle}));
    EXPECT_EQ(send({"81", ann.id, ann.email, "1234567890123456"}, ann.octet).fields(),
              (QStringList{"81", "1234567890123456"}));
    EXPECT_TRUE(requestsOf(ann).isEmpty());
    // Dave sees what he saw, and removing Ann and adding her again does not ask her again.
    EXPECT_EQ(send({"80", dave.id, dave.email}, dave.octet).payload, daveSaw);
    const auto listedAnn =
        std::find_if(waiting.begin(), waiting.end(), [&](const auto& e) { return e.email == ann.email; });
    ASSERT_NE(listedAnn, waiting.end());
    ASSERT_EQ(send({"5", dave.id, listedAnn->handle}, dave.octet).code(), "5");
    ASSERT_EQ(add(dave, ann.email).code(), "4");
    EXPECT_TRUE(requestsOf(ann).isEmpty());
}

TEST_P(ContactRequestsTest, StrangersGetNothingAndAFloodIsCutShort) {
    const User ann = user("ann", 2), carl = user("carl", 3);
    ASSERT_EQ(add(carl, ann.email).code(), "4");
    struct Case {
        const char* what;
        QStringList fields;
        int octet;
    };
    // Ann's ID from another address with the wrong e-mail, her e-mail with an ID of no one, and
    // an ignore for her from someone who knows only her ID.
    const Case cases[] = {
        {"her ID, another address", {"80", ann.id, carl.email}, 9},
        {"no one's ID", {"80", "123456789012345", ann.email}, 9},
        {"ignore without her e-mail", {"81", ann.id, "", "1234567890123456"}, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ChatReply reply = send(c.fields, c.octet);
        EXPECT_EQ(reply.code(), "1957");
        EXPECT_FALSE(reply.payload.contains("CARL"));
        EXPECT_FALSE(reply.payload.contains(carl.email));
    }
    EXPECT_EQ(requestsOf(ann).size(), 1);

    // Asked again and again from one address, the server stops reading lists for it.
    int answered = 0;
    for (int i = 0; i < 12; ++i)
        answered += send({"80", ann.id, ann.email}, ann.octet).code() == "80";
    EXPECT_LT(answered, 12);
    EXPECT_GT(answered, 0);
}

COLLOQ_ON_BOTH_STORES(ContactRequestsTest);

} // namespace
