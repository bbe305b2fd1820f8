// An attacker with many addresses: IPv4 addresses of several networks straight from loopback, and
// /64s of one IPv6 network named by a balancer's PROXY headers (which is how the server hears of
// any caller behind one; no IPv6 packet is sent).
#include "ServerTestSupport.h"
#include "chatserver/ChatService.h"

#include <QElapsedTimer>
#include <QMap>
#include <QRandomGenerator>
#include <numeric>
#include <sys/socket.h>
#include <unistd.h>

using namespace servertest;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kBalancer("127.0.0.99");

// What a reply says, in a word or two: its code, or the start of a refusal's text.
QString gist(const ChatReply& reply) {
    if (!reply.answered) return QStringLiteral("<no answer>");
    const QString code = reply.code();
    if (code != "1957" && code != "1985") return code;
    const QString text = reply.fields().value(1);
    for (const char* known : {"network your address", "no more registrations", "from your network address",
                              "does not know this user", "Please wait", "added many contacts"})
        if (text.contains(QLatin1String(known))) return code + ": " + known;
    return code + ": " + text;
}

class ManyAddresses : public ::testing::TestWithParam<ServerShape> {
protected:
    void SetUp() override {
        if (!fixture.start(GetParam(), [](chatserver::ServerConfig& config) {
                config.limits.balancers = {{kBalancer, 32}};
                config.registrationCeiling = {200, 3'600'000};
                // Held connections are let go only to make room, not because they are slow.
                config.limits.requestTimeoutMs = 60'000;
            }))
            GTEST_SKIP() << fixture.skipped.toStdString();
    }
    // Each request from its source in turn, all at once; IPv6 callers through the balancer.
    QMap<QString, int> tally(const QList<QByteArray>& requests, const QStringList& callers) {
        QList<QByteArray> bytes;
        QList<QHostAddress> sources;
        for (qsizetype i = 0; i < requests.size(); ++i) {
            const QString& caller = callers[i % callers.size()];
            const bool v6 = caller.contains(':');
            bytes.append((v6 ? "PROXY TCP6 " + caller.toLatin1() + " ::1 40000 19991\r\n" : QByteArray()) +
                         requests[i]);
            sources.append(v6 ? kBalancer : QHostAddress(caller));
        }
        QMap<QString, int> gists;
        for (const ChatReply& reply : exchangeMany(fixture.host, fixture.chatPort(), bytes, sources, 60000))
            ++gists[gist(reply)];
        return gists;
    }
    QList<QByteArray> registrations(const QString& prefix, int count) {
        QList<QByteArray> requests;
        for (int i = 0; i < count; ++i)
            requests.append(
                chatRequest({"3", "m", "pc", QStringLiteral("%1%2@example.org").arg(prefix).arg(i), "M"}, ""));
        return requests;
    }

    ServerFixture fixture;
};

TEST_P(ManyAddresses, RegistrationsStopAtTheCapsPerNetworkAndInAllOnEveryServerOfTheStore) {
    // 50 IPv4 addresses of two /24s and 50 /64s of one /56, four tries each: 60 per network.
    QStringList v4, v6;
    for (int i = 0; i < 50; ++i) {
        v4.append(QStringLiteral("127.1.%1.%2").arg(i % 2).arg(10 + i));
        v6.append(QStringLiteral("2001:db8:0:%1::7").arg(0x2a00 + i, 0, 16));
    }
    EXPECT_EQ(tally(registrations("four", 200), v4),
              (QMap<QString, int>{{"3", 120}, {"1985: network your address", 80}}));
    EXPECT_EQ(tally(registrations("six", 200), v6),
              (QMap<QString, int>{{"3", 60}, {"1985: network your address", 140}}));
    // Forty more, each from a network of its own: the ceiling of 200 in all takes twenty.
    QStringList spread;
    for (int i = 0; i < 40; ++i)
        spread.append(QStringLiteral("127.2.%1.1").arg(i));
    EXPECT_EQ(tally(registrations("spread", 40), spread),
              (QMap<QString, int>{{"3", 20}, {"1985: no more registrations", 20}}));
    // A second server on the same store counts the same registrations; an hour on, there is room.
    const auto second = fixture.startTwin();
    ASSERT_TRUE(second);
    const auto atSecond = [&](const QString& email) {
        return gist(exchange(fixture.host, second->chatListener()->port(), registrations(email, 1).first(),
                             QHostAddress("127.3.0.1")));
    };
    EXPECT_EQ(atSecond("late"), "1985: no more registrations");
    fixture.clock.now += 3'600'001;
    EXPECT_EQ(atSecond("later"), "3");
}

// An attacker alternating between two servers of the store has the room it would have at one:
// its ID probes, guesses, look-ups and failures at an account count on both.
TEST_P(ManyAddresses, AnAttackerAlternatingBetweenTwoServersOfTheStoreGetsNoMoreTriesThanAtOne) {
    const auto second = fixture.startTwin();
    ASSERT_TRUE(second);
    int turn = 0;
    const auto send = [&](const QStringList& fields, const QString& from) {
        return fixture.send(fields, QHostAddress(from), {}, turn++ % 2 ? second->chatListener()->port() : 0);
    };
    const QString annId = fixture.registered("Ann", loopback(2));
    const QString eveId = fixture.registered("Eve", QHostAddress("127.7.0.9"), {}, second->chatListener()->port());
    const struct {
        QString code, id, second, from; // the request's fields (an empty ID: a made-up one each time)
        QMap<QString, int> gists;
    } cases[] = {
        {"5", "", "%1", "127.7.0.1", {{"1957: Please wait", 20}, {"1957: from your network address", 6}}},
        {"1",
         annId,
         "g%1@example.org",
         "127.7.0.2",
         {{"1957: does not know this user", 20}, {"1957: from your network address", 6}}},
        {"4", eveId, "l%1@example.org", "127.7.0.9", {{"4", 30}, {"1957: added many contacts", 6}}},
    };
    for (const auto& c : cases) {
        QMap<QString, int> gists;
        for (int i = 0; i < std::accumulate(c.gists.begin(), c.gists.end(), 0); ++i)
            ++gists[gist(
                send({c.code, c.id.isEmpty() ? QString::number(1e14 + i, 'f', 0) : c.id, c.second.arg(i)}, c.from))];
        EXPECT_EQ(gists, c.gists) << c.code.toStdString();
    }
    // Twenty strangers fail at Ann's account: her log-in from one of them is not heard on either
    // server, from anywhere else it is.
    fixture.clock.now += 600'001; // the windows above are over
    for (int i = 0; i < 20; ++i)
        send({"1", annId, QStringLiteral("h%1@example.org").arg(i)}, QStringLiteral("127.8.0.%1").arg(1 + i));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(gist(send({"1", annId, "ann@example.org"}, "127.8.0.1")), "1957: does not know this user") << i;
    EXPECT_EQ(send({"1", annId, "ann@example.org"}, "127.8.1.1").code(), "1");
}

// Strangers who know Ann's e-mail address fail at her account from twenty addresses, and one of
// them replays a log-in of hers it captured: Ann signs in from a new address every time, and
// takes her account back from wherever the replay put it.
TEST_P(ManyAddresses, FailedLogInsAndAReplayNeverKeepTheOwnerOut) {
    const auto send = [&](const QStringList& fields, const QString& address, const QString& from) {
        return fixture.send(fields, QHostAddress(from), address);
    };
    const QString annId = fixture.registered("Ann", loopback(2));
    const QByteArray captured = chatRequest({"1", annId, "ann@example.org"}, callAddress(2));
    ASSERT_EQ(exchange(fixture.host, fixture.chatPort(), captured, QHostAddress("127.0.0.2")).code(), "1");
    QList<QByteArray> failures;
    QStringList strangers;
    for (int i = 0; i < 20; ++i) {
        failures.append(chatRequest({"1", QString::number(300'000'000'000'000 + i), "ann@example.org"}, ""));
        failures.append(chatRequest({"1", annId, QStringLiteral("guess%1@example.org").arg(i)}, ""));
        strangers.append(QStringLiteral("127.4.%1.%2").arg(i % 4).arg(1 + i));
    }
    EXPECT_EQ(tally(failures, strangers), (QMap<QString, int>{{"1957: does not know this user", 40}}));
    // The replay from a stranger that failed at her account is not even heard ...
    EXPECT_EQ(gist(exchange(fixture.host, fixture.chatPort(), captured, QHostAddress(strangers[0]))),
              "1957: does not know this user");
    // ... from a fresh one it is (it is Ann's own log-in), and that address acts for her ...
    EXPECT_EQ(exchange(fixture.host, fixture.chatPort(), captured, QHostAddress("127.5.0.1")).code(), "1");
    EXPECT_EQ(send({"4", annId, "ann@example.org"}, "", "127.5.0.1").fields().value(1),
              "You cannot add your own e-mail address.");
    // ... until Ann signs in, from a new address, while the strangers go on failing.
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(send({"1", annId, "ann@example.org"}, "127.6.0.1:5060", "127.6.0.1").code(), "1") << i;
        send({"1", QString::number(400'000'000'000'000 + i), "ann@example.org"}, "", strangers[i % 20]);
        fixture.clock.now += 3000;
    }
    EXPECT_EQ(fixture.server->storage().findUser(annId.toLongLong())->loginPeer, "127.6.0.1");
    EXPECT_TRUE(send({"4", annId, "ann@example.org"}, "", "127.5.0.1").fields().value(1).startsWith("Please wait"));
}

// Connections an attacker opens and then sends nothing on (or a request begun and never ended),
// kept on raw sockets: thousands of them cost the test no Qt object each.
struct HeldConnections {
    std::vector<int> fds;
    ~HeldConnections() {
        for (const int fd : fds)
            ::close(fd);
    }
    // False when a connection could not even be begun.
    bool open(const QString& from, const QHostAddress& server, quint16 port, int count) {
        bool begun = true;
        for (int i = 0; i < count; ++i) {
            const int fd = rawSocketFrom(QHostAddress(from), server, port, SOCK_NONBLOCK);
            begun = begun && fd >= 0;
            if (fd >= 0) fds.push_back(fd);
        }
        return begun;
    }
    // A request begun on every other one, where the connection is made by now.
    void beginRequests(const QByteArray& start) {
        for (std::size_t i = 0; i < fds.size(); i += 2)
            [[maybe_unused]] const ssize_t sent =
                ::send(fds[i], start.constData(), std::size_t(start.size()), MSG_NOSIGNAL);
    }
};

// 5,000 connections from 100 addresses of 100 networks, held open with nothing (or half a request)
// sent and more coming all the time, fill every slot the server has: the polls of a user it
// knows are still answered, each at once, in place of the oldest of the flood's.
TEST_P(ManyAddresses, FiveThousandHeldConnectionsLeaveThePollsOfKnownUsersAnswered) {
    chatserver::TcpListener& chat = *fixture.server->chatListener();
    const QString annId = fixture.registered("Ann", loopback(2));
    const QByteArray poll = chatRequest({"1", annId, "ann@example.org"}, callAddress(2));
    HeldConnections flood;
    const quint64 acceptedBefore = chat.stats().accepted;
    // In rounds the listen queue can hold: handshakes it had to drop would only complete much later.
    for (int address = 0; address < 100; ++address) {
        ASSERT_TRUE(flood.open(QStringLiteral("127.10.%1.1").arg(address), fixture.host, fixture.chatPort(), 50));
        if (address % 10 == 9) {
            ASSERT_TRUE(
                waitFor([&] { return chat.stats().accepted - acceptedBefore >= quint64(address + 1) * 50; }, 30000))
                << chat.stats().accepted - acceptedBefore;
        }
    }
    flood.beginRequests(poll.left(5));
    EXPECT_EQ(chat.openConnections(), chat.limits().maxConnections);
    // With two loops, each holds some of them: whichever is free takes the next caller.
    if (GetParam().loops > 1) {
        EXPECT_LT(chat.openHere(), chat.openConnections());
    }

    int fast = 0;
    QStringList times;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(flood.open(QStringLiteral("127.11.%1.1").arg(i), fixture.host, fixture.chatPort(), 20));
        QElapsedTimer timer;
        timer.start();
        const bool answered = exchange(fixture.host, fixture.chatPort(), poll, loopback(2)).code() == "1";
        times.append(QString::number(timer.elapsed()));
        fast += answered && timer.elapsed() < 1000;
    }
    EXPECT_GE(fast, 95) << "poll times (ms): " << times.join(' ').toStdString();
    EXPECT_LE(chat.openConnections(), chat.limits().maxConnections);
    EXPECT_GE(chat.stats().shed, 100u);
}

// 100,000 failed log-ins with random IDs and e-mail addresses from 100 addresses (of ten IPv4
// networks and five IPv6 ones) make the server forget none of the callers it stopped hearing.
TEST(FailedLogIns, AHundredThousandWithRandomKeysLiftNoLockOut) {
    QTemporaryDir dir;
    QString problem;
    const auto store = chatserver::openStorage(
        *chatserver::StoreLocation::parse(freshStoreAddress(Backend::Sqlite, dir, &problem), &problem));
    qint64 now = 1'700'000'000'000;
    chatserver::ChatService service(*store, {}, [&] { return now; });
    const auto send = [&](const QStringList& fields, const QString& peer) {
        return service.handle({fields.first(), fields.mid(1), QString(), true, true}, peer).reply.value_or("");
    };
    const auto registered = [&](const QString& name) {
        return send({"3", name, "pc", name + "@example.org", name}, "203.0.113.1").split(S).value(3);
    };
    const QString annId = registered("ann"), bobId = registered("bob");
    // One stranger is refused for its own failures, and Ann's account stops hearing another.
    const QString thrower = "198.51.100.7", prober = "198.51.100.8";
    for (int i = 0; i < 20; ++i)
        send({"1", QString::number(500'000'000'000'000 + i), "ann@example.org"}, thrower);
    send({"1", "1", "ann@example.org"}, prober);
    const QString sourceRefused = send({"1", bobId, "bob@example.org"}, thrower);
    const QString accountRefused = send({"1", annId, "ann@example.org"}, prober);
    EXPECT_TRUE(sourceRefused.contains("from your network address")) << sourceRefused.toStdString();
    EXPECT_TRUE(accountRefused.contains("does not know this user")) << accountRefused.toStdString();

    QStringList flooders;
    for (int i = 0; i < 50; ++i) {
        flooders.append(QStringLiteral("10.%1.0.%2").arg(i % 10).arg(i));
        flooders.append(QStringLiteral("2001:db8:%1:%2::1").arg(i % 5).arg(i, 0, 16));
    }
    QRandomGenerator random(33);
    QMap<QString, int> refusals;
    for (int i = 0; i < 100'000; ++i) {
        const QString id = QString::number(random.bounded(1, 999'999'999) * 1'000'000LL + random.bounded(1'000'000));
        const QString email = QStringLiteral("x%1@example.org").arg(random.generate());
        ++refusals[send({"1", id, email}, flooders[i % 100]).section(S, 1).left(28)];
    }
    EXPECT_EQ(refusals.value("The server does not know thi"), 100 * 20);
    EXPECT_EQ(send({"1", bobId, "bob@example.org"}, thrower), sourceRefused);
    EXPECT_EQ(send({"1", annId, "ann@example.org"}, prober), accountRefused);
    // Bob and Ann are heard from anywhere else, the prober too for any other account.
    EXPECT_EQ(send({"1", bobId, "bob@example.org"}, prober), "1");
    EXPECT_EQ(send({"1", annId, "ann@example.org"}, "203.0.113.9"), "1");
}

COLLOQ_ON_EVERY_SHAPE(ManyAddresses);

} // namespace
