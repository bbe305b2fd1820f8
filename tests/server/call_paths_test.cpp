// Request 40 against a server in this process: what a signed-in user is handed for its calls
// through routers. (That the relay and the TURN server take these credentials, relay_tests and
// nat_lab_tests show with the real ones.)
#include "ServerTestSupport.h"
#include "chatserver/CallPaths.h"
#include "wire/CallPaths.h"

using namespace servertest;

namespace {

const QHostAddress kAnn("127.0.0.2");
const QString kRelay = QStringLiteral("203.0.113.12");
constexpr qint64 kLifetime = 3600;

class CallPathsTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (!fixture.start(GetParam(), [](chatserver::ServerConfig& config) {
                config.callPaths.turnServers = {QStringLiteral("203.0.113.11:3478")};
                config.callPaths.turnSecret = "turn-secret";
                config.callPaths.relays = {*chatserver::parseRelayRange(kRelay + ":5060/20000-20001", nullptr)};
                config.callPaths.relaySecret = "relay-secret";
                config.callPaths.lifetimeSeconds = kLifetime;
            }))
            GTEST_SKIP() << fixture.skipped.toStdString();
    }
    QString registered(const QString& name, int octet) {
        return fixture.registered(name, loopback(octet), callAddress(octet));
    }
    ChatReply send(const QStringList& fields, int octet) {
        return fixture.send(fields, loopback(octet), callAddress(octet));
    }
    std::optional<wire::CallPathsReply> paths(const QString& id, const QString& email, int octet) {
        return wire::parseCallPaths(send({"40", id, email}, octet).fields());
    }

    ServerFixture fixture;
};

TEST_P(CallPathsTest, EachUserGetsExpiringCredentialsAndAPortOfTheRelayOfItsOwn) {
    const QString ann = registered("ann", 2);
    const std::optional<wire::CallPathsReply> first = paths(ann, "ann@example.org", 2);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->observedAddress, "127.0.0.2");
    // The TURN user is a number of no use to anyone, never the user's ID. (That the credentials
    // are taken, the NAT lab's calls through the real TURN server and relay show.)
    EXPECT_FALSE(first->turnUser.isEmpty() || first->turnUser.contains(ann));
    EXPECT_EQ(first->relays, QStringList{kRelay + ":5060"});
    EXPECT_EQ(first->relayCallAddress, kRelay + ":20000");

    // Asked again a day later: new credentials, the same call address.
    fixture.clock.now += 86'400'000;
    const std::optional<wire::CallPathsReply> later = paths(ann, "ann@example.org", 2);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->relayCallAddress, first->relayCallAddress);
    EXPECT_NE(later->relayUser, first->relayUser);

    // Bob gets the other port; once the block is full Cy gets TURN but no relay.
    EXPECT_EQ(paths(registered("bob", 3), "bob@example.org", 3)->relayCallAddress, kRelay + ":20001");
    const std::optional<wire::CallPathsReply> cy = paths(registered("cy", 4), "cy@example.org", 4);
    ASSERT_TRUE(cy);
    EXPECT_FALSE(cy->turnUser.isEmpty());
    EXPECT_TRUE(cy->relays.isEmpty());
    EXPECT_TRUE(cy->relayCallAddress.isEmpty());
}

TEST_P(CallPathsTest, SomeoneWithoutTheUsersIdAndEmailGetsNothing) {
    const QString ann = registered("ann", 2);
    struct Case {
        const char* what;
        QStringList fields;
    };
    const Case cases[] = {
        {"another e-mail address", {"40", ann, "bob@example.org"}},
        {"an ID of no one", {"40", "123456789012345", "ann@example.org"}},
        {"no ID at all", {"40", "", "ann@example.org"}},
        {"a field too many", {"40", ann, "ann@example.org", "extra"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ChatReply reply = send(c.fields, 5);
        EXPECT_EQ(reply.code(), "1957");
        EXPECT_FALSE(reply.payload.contains(kRelay));
    }
}

COLLOQ_ON_BOTH_STORES(CallPathsTest);

TEST(CallPathCredentials, ARelayIsAnAddressWithItsSipPortAndABlockOfCallPorts) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"203.0.113.12:5060/20000-20999", true},       {"203.0.113.12:5060/20000-20000", true},
        {"relay.example.org:5060/20000-20999", false}, {"203.0.113.12/20000-20999", false},
        {"203.0.113.12:5060/20999-20000", false},      {"203.0.113.12:5060/5000-6000", false},
        {"203.0.113.12:5060/20000-70000", false},      {"203.0.113.12:5060", false},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_EQ(chatserver::parseRelayRange(QString::fromLatin1(c.text), &error).has_value(), c.ok) << c.text;
        EXPECT_EQ(error.isEmpty(), c.ok) << c.text;
    }
}

} // namespace
