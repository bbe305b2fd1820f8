// Bad input: random bytes, truncated, oversized and unknown requests, slow callers, a flood from
// one address and a failing store. The server answers or closes, stays up and loses nothing.
#include "StoreParam.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QRandomGenerator>
#include <QTcpSocket>

using servertest::Backend;
using servertest::callAddress;
using servertest::chatRequest;
using servertest::exchange;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kAnn("127.0.0.2");

class BadInputTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        if (!fixture.start(GetParam(), &skip, [](chatserver::ServerConfig& config) {
                config.limits.requestTimeoutMs = 1000;
                config.limits.idleTimeoutMs = 300;
                config.limits.maxPerAddress = 5;
            }))
            GTEST_SKIP() << skip.toStdString();
        const auto reg = exchange(fixture.host, fixture.chatPort(),
                                  chatRequest({"3", "ann", "PC", "ann@example.org", "Ann"}, callAddress(2)), kAnn);
        ASSERT_EQ(reg.code(), "3");
        annId = reg.fields().value(3);
    }
    // The server is up and right: Ann's poll is answered.
    void expectServing() {
        const auto poll = exchange(fixture.host, fixture.chatPort(),
                                   chatRequest({"1", annId, "ann@example.org"}, callAddress(2)), kAnn);
        EXPECT_TRUE(poll.answered);
        EXPECT_EQ(poll.code(), "1");
    }
    chatserver::TcpListener& chat() { return *fixture.server->chatListener(); }
    bool allClosed() {
        return servertest::waitFor([&] { return chat().openConnections() == 0; });
    }

    servertest::ServerFixture fixture;
    QString annId;
};

QList<QHostAddress> sources(int first, int count) {
    QList<QHostAddress> list;
    for (int i = 0; i < count; ++i)
        list.append(QHostAddress(QStringLiteral("127.0.1.%1").arg(first + i)));
    return list;
}

TEST_P(BadInputTest, RandomBytesAreAnsweredOrClosedAndNothingIsLost) {
    QRandomGenerator random(20240607);
    QList<QByteArray> requests;
    for (int i = 0; i < 160; ++i) {
        QByteArray bytes;
        const int size = 1 + int(random.bounded(400));
        for (int b = 0; b < size; ++b)
            bytes.append(char(random.bounded(256)));
        // Half of them start like a real request so that the parser goes deeper.
        static const char* codes[] = {"1", "3", "4", "5", "2005", "2"};
        if (i % 2) bytes.prepend(chatRequest({codes[i % 6]}, QString()).left(2));
        requests.append(bytes);
    }
    const auto replies = servertest::exchangeMany(fixture.host, fixture.chatPort(), requests, sources(1, 40));
    for (qsizetype i = 0; i < replies.size(); ++i)
        EXPECT_TRUE(replies[i].answered || replies[i].closed) << i;
    EXPECT_TRUE(allClosed());
    EXPECT_EQ(chat().stats().failed, 0u);
    expectServing();
    EXPECT_TRUE(fixture.server->storage().findUserByEmail("ann@example.org"));
}

TEST_P(BadInputTest, TruncatedOversizedAndUnknownRequests) {
    const QByteArray registration = chatRequest({"3", "bob", "PC", "bob@example.org", "Bob"}, callAddress(3));
    const QByteArray oversized = chatRequest({"3", "u", "pc", "big@example.org", QString(9000, 'x')}, callAddress(4));
    struct Case {
        const char* what;
        QByteArray bytes;
        bool answered;
        QString code;
    } cases[] = {
        {"half a registration, then silence", registration.left(registration.size() / 2), false, {}},
        {"a request over 8 KiB", oversized, false, {}},
        {"an unknown code", chatRequest({"9", annId}, callAddress(2)), false, {}},
        {"a poll by ID one field short", chatRequest({"77", annId, "x"}, callAddress(2)), false, {}},
        {"a poll by ID from another address",
         chatRequest({"77", annId, "01/15/2007 10:11:12", "203.0.113.9"}, callAddress(9)), true, "1"},
        {"too many fields in a registration", chatRequest({"3", "u", "pc", "a@b.org", "A", "B"}, "1.2.3.4"), true,
         "1985"},
        {"wrong e-mail for the ID", chatRequest({"1", annId, "eve@example.org"}, callAddress(2)), true, "1957"},
        {"an ID that is no number", chatRequest({"1", "1 OR 1=1", "ann@example.org"}, callAddress(2)), true, "1957"},
        {"an HTTP request on the chat port", "GET / HTTP/1.1\r\n\r\n", false, {}},
    };
    for (const Case& c : cases) {
        const auto reply = exchange(fixture.host, fixture.chatPort(), c.bytes, QHostAddress("127.0.0.9"));
        EXPECT_EQ(reply.answered, c.answered) << c.what;
        EXPECT_TRUE(reply.answered || reply.closed) << c.what;
        if (c.answered) {
            EXPECT_EQ(reply.code(), c.code) << c.what;
        }
    }
    EXPECT_FALSE(fixture.server->storage().findUserByEmail("bob@example.org"));
    EXPECT_FALSE(fixture.server->storage().findUserByEmail("big@example.org"));
    EXPECT_TRUE(allClosed());
    expectServing();
}

TEST_P(BadInputTest, SlowCallersAreLetGoWhileOthersAreServed) {
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 4; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(40 + i)), 0);
        socket->connectToHost(fixture.host, fixture.chatPort());
        slow.push_back(std::move(socket));
    }
    ASSERT_TRUE(servertest::waitFor([&] { return chat().openConnections() == 4; }));
    // One of them trickles the start of a request.
    slow[0]->write(chatRequest({"1", annId, "ann@example.org"}, callAddress(2)).left(3));
    expectServing();
    ASSERT_TRUE(servertest::waitFor([&] {
        for (const auto& socket : slow)
            if (socket->state() != QAbstractSocket::UnconnectedState) return false;
        return true;
    }));
    EXPECT_GE(chat().stats().timedOut, 4u);
    EXPECT_TRUE(allClosed());
}

TEST_P(BadInputTest, AFloodFromOneAddressIsCappedAtTheDoor) {
    const QHostAddress flooder("127.0.0.50");
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    const quint64 acceptedBefore = chat().stats().accepted;
    for (int i = 0; i < 20; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(flooder, 0);
        socket->connectToHost(fixture.host, fixture.chatPort());
        flood.push_back(std::move(socket));
    }
    ASSERT_TRUE(servertest::waitFor([&] { return chat().stats().accepted - acceptedBefore >= 20; }));
    EXPECT_EQ(chat().stats().refusedAtDoor, 15u);
    EXPECT_EQ(chat().openConnections(), 5);
    expectServing(); // another address is not held up
    for (auto& socket : flood)
        socket->abort();
    ASSERT_TRUE(allClosed());
    const auto again = exchange(fixture.host, fixture.chatPort(),
                                chatRequest({"1", annId, "ann@example.org"}, callAddress(2)), flooder);
    EXPECT_EQ(again.code(), "1");
}

TEST_P(BadInputTest, AFailingStoreClosesTheConnectionAndTheServerStaysUp) {
    QString problem;
    // Break the store behind the server's back.
    ASSERT_TRUE(servertest::execOnStore(fixture.server->config().store, {"DROP TABLE contacts"}, &problem))
        << problem.toStdString();
    const auto poll =
        exchange(fixture.host, fixture.chatPort(), chatRequest({"1", annId, "ann@example.org"}, callAddress(2)), kAnn);
    EXPECT_FALSE(poll.answered);
    EXPECT_TRUE(poll.closed);
    EXPECT_GE(chat().stats().failed, 1u);
    const auto web = servertest::httpExchange(fixture.host, fixture.webPort(), servertest::clientGet("infoip.asp"));
    EXPECT_EQ(web.status, 200);
    const auto webPoll = servertest::httpExchange(
        fixture.host, fixture.webPort(),
        servertest::clientGet("InfoDT.asp?ReqDt=77" + S + annId + S + "x" + S + callAddress(2) + S + "k"), kAnn);
    EXPECT_EQ(webPoll.status, 500);
    // Requests that do not need the broken table still work.
    const auto reg = exchange(fixture.host, fixture.chatPort(),
                              chatRequest({"3", "cid", "PC", "cid@example.org", "Cid"}, callAddress(5)), kAnn);
    EXPECT_EQ(reg.code(), "3");
}

TEST_P(BadInputTest, APostgresRestartFailsRequestsCleanlyAndTheServerReconnectsByItself) {
    if (GetParam() != Backend::Postgres) GTEST_SKIP() << "a PostgreSQL server restart";
    expectServing();
    const auto bob = exchange(fixture.host, fixture.chatPort(),
                              chatRequest({"3", "bob", "PC", "bob@example.org", "Bob"}, callAddress(3)), kAnn);
    ASSERT_EQ(bob.code(), "3");

    QString problem;
    if (!servertest::setPostgresRunning(false, &problem)) GTEST_SKIP() << problem.toStdString();
    // While the store is away every kind of request is refused by closing, none hangs, and the
    // server stays up.
    const quint64 failedBefore = chat().stats().failed;
    for (const QByteArray& request : {chatRequest({"1", annId, "ann@example.org"}, callAddress(2)),
                                      chatRequest({"3", "cid", "PC", "cid@example.org", "Cid"}, callAddress(4)),
                                      chatRequest({"4", annId, "bob@example.org"}, callAddress(2))}) {
        const auto refused = exchange(fixture.host, fixture.chatPort(), request, kAnn);
        EXPECT_FALSE(refused.answered) << refused.payload.toStdString();
        EXPECT_TRUE(refused.closed);
    }
    EXPECT_EQ(chat().stats().failed - failedBefore, 3u);
    fixture.server->flushPresence(); // a write that fails quietly
    ASSERT_TRUE(servertest::setPostgresRunning(true, &problem)) << problem.toStdString();

    // The first requests once it is back are served on a fresh connection: one that writes in a
    // transaction, then a poll.
    const auto cid = exchange(fixture.host, fixture.chatPort(),
                              chatRequest({"3", "cid", "PC", "cid@example.org", "Cid"}, callAddress(4)), kAnn);
    EXPECT_EQ(cid.code(), "3");
    const auto add =
        exchange(fixture.host, fixture.chatPort(), chatRequest({"4", annId, "bob@example.org"}, callAddress(2)), kAnn);
    EXPECT_EQ(add.code(), "4");
    expectServing();
    // Everything answered before the outage is still there.
    for (const QString email : {"ann@example.org", "bob@example.org", "cid@example.org"})
        EXPECT_TRUE(fixture.server->storage().findUserByEmail(email)) << email.toStdString();
}

COLLOQ_ON_BOTH_STORES(BadInputTest);

} // namespace
