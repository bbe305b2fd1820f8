// The chat protocol over real loopback sockets, against a server in this process, on both
// stores: whole exchanges as the client makes them, requests arriving in pieces, framing, and
// connection lifetimes.
#include "StoreParam.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QTcpSocket>

using servertest::Backend;
using servertest::callAddress;
using servertest::chatRequest;
using servertest::exchange;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kAnn("127.0.0.2");
const QHostAddress kBob("127.0.0.3");

class LoopbackTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        if (!fixture.start(GetParam(), &skip, [](chatserver::ServerConfig& config) {
                config.limits.idleTimeoutMs = 300;
                config.limits.requestTimeoutMs = 2000;
                config.sites = {{"1", {"10.0.0.2", "ip.example.org", "infoip.asp", ""}}};
                config.sitesConfigured = true;
            }))
            GTEST_SKIP() << skip.toStdString();
    }
    servertest::ChatReply send(const QStringList& fields, const QString& address, const QHostAddress& from) {
        return exchange(fixture.host, fixture.chatPort(), chatRequest(fields, address), from);
    }
    chatserver::TcpListener& chat() { return *fixture.server->chatListener(); }

    servertest::ServerFixture fixture;
};

TEST_P(LoopbackTest, RegisterLogInAddRemoveAndSignOff) {
    const auto annReg = send({"3", "ann", "PC-A", "ann@example.org", "Ann \u00c9lise"}, "", kAnn);
    ASSERT_TRUE(annReg.answered);
    ASSERT_EQ(annReg.code(), "3") << annReg.payload.toStdString();
    EXPECT_EQ(annReg.fields().value(1), "127.0.0.1");
    EXPECT_EQ(annReg.fields().value(2), QString::number(fixture.chatPort()));
    const QString ann = annReg.fields().value(3);
    const QString bob = send({"3", "bob", "PC-B", "bob@example.org", "Bob"}, "", kBob).fields().value(3);
    ASSERT_FALSE(bob.isEmpty());
    EXPECT_EQ(send({"3", "x", "y", "bob@example.org", "Again"}, "", kAnn).code(), "1985");

    EXPECT_EQ(send({"1", ann, "ann@example.org"}, callAddress(2), kAnn).payload, "1");
    EXPECT_EQ(send({"1", bob, "bob@example.org"}, callAddress(3, 5062), kBob).payload, "1");
    EXPECT_EQ(send({"1", bob, "ann@example.org"}, callAddress(3), kBob).code(), "1957");

    EXPECT_EQ(send({"4", ann, "bob@example.org"}, callAddress(2), kAnn).payload,
              "4" + S + bob + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5062" + S + "1");
    EXPECT_EQ(send({"4", bob, "ann@example.org"}, callAddress(3), kBob).fields().value(2), "Ann \u00c9lise");
    EXPECT_EQ(send({"4", bob, "ann@example.org"}, callAddress(3), kAnn).code(), "1957"); // not Bob's address

    EXPECT_EQ(send({"1", ann, "ann@example.org"}, callAddress(2), kAnn).payload,
              "1" + S + bob + S + "Bob" + S + "bob@example.org" + S + "127.0.0.3:5062" + S + "1");
    const auto signOff = send({"2005", bob}, callAddress(3), kBob);
    EXPECT_EQ(signOff.payload,
              "2005" + S + "1" + S + "10.0.0.2" + S + "ip.example.org" + S + "infoip.asp" + S + "\r\n");
    EXPECT_EQ(send({"1", ann, "ann@example.org"}, callAddress(2), kAnn).fields().value(5), "0");
    EXPECT_EQ(send({"5", ann, bob}, callAddress(2), kAnn).payload, "5" + S + bob);
    EXPECT_EQ(send({"1", ann, "ann@example.org"}, callAddress(2), kAnn).payload, "1");
}

TEST_P(LoopbackTest, LengthPrefixCountsOneCharacterPerByte) {
    const auto reply = send({"3", "u", "pc", "\u00e9@example.org", "\u00c9\u20ac\u00fc"}, "", kAnn);
    ASSERT_TRUE(reply.answered);
    // The test client's framer counts decoded characters; a prefix counting UTF-8 bytes would
    // have left it waiting.
    EXPECT_EQ(reply.fields().value(4), "\u00e9@example.org");
}

TEST_P(LoopbackTest, ARequestArrivingInPiecesIsAnsweredOnceWhole) {
    send({"3", "ann", "PC", "ann@example.org", "Ann"}, "", kAnn);
    const QByteArray request = chatRequest({"1", "1", "ann@example.org"}, callAddress(2));
    QTcpSocket socket;
    socket.bind(kAnn, 0);
    QByteArray received;
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { received += socket.readAll(); });
    socket.connectToHost(fixture.host, fixture.chatPort());
    ASSERT_TRUE(servertest::waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
    const quint64 answeredBefore = chat().stats().answered;
    const quint64 receivedBefore = chat().stats().bytesReceived;
    for (qsizetype i = 0; i < request.size(); i += 7) {
        socket.write(request.mid(i, 7));
        // Each piece reaches the server before the next is sent, and nothing is answered early,
        // not even when a piece ends inside the address with a digit.
        const quint64 sent = quint64(std::min(i + 7, request.size()));
        ASSERT_TRUE(servertest::waitFor([&] { return chat().stats().bytesReceived - receivedBefore >= sent; }));
        if (sent < quint64(request.size())) {
            EXPECT_EQ(chat().stats().answered, answeredBefore) << i;
        }
    }
    ASSERT_TRUE(servertest::waitFor([&] { return !received.isEmpty(); }));
    wire::ReplyFramer framer;
    const auto result = framer.feed(wire::fromCp1252(received));
    EXPECT_EQ(result.status, wire::ReplyFramer::Status::Complete);
    EXPECT_EQ(result.payload.section(S, 0, 0), "1");
    EXPECT_EQ(fixture.server->storage().findUser(1)->address, callAddress(2));
}

TEST_P(LoopbackTest, RequestsWithoutAClearEndAreAnsweredAfterTheirGrace) {
    // A first registration carries an empty address; a plain poll ends in an e-mail address.
    const auto reg = send({"3", "ann", "PC", "ann@example.org", "Ann"}, "", kAnn);
    EXPECT_EQ(reg.code(), "3");
    const QString plainPoll = "1" + S + reg.fields().value(3) + S + "ann@example.org";
    const auto poll = exchange(fixture.host, fixture.chatPort(), wire::toCp1252(plainPoll), kAnn);
    EXPECT_EQ(poll.payload, "1");
}

TEST_P(LoopbackTest, ConnectionsEndWhenTheClientHangsUpOrStaysIdle) {
    send({"3", "ann", "PC", "ann@example.org", "Ann"}, "", kAnn);
    ASSERT_TRUE(servertest::waitFor([&] { return chat().openConnections() == 0; }));

    // A client that keeps the connection after its answer is let go after the idle time.
    QTcpSocket socket;
    bool closed = false;
    QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [&] { closed = true; });
    socket.connectToHost(fixture.host, fixture.chatPort());
    ASSERT_TRUE(servertest::waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
    socket.write(chatRequest({"1", "1", "ann@example.org"}, callAddress(1)));
    ASSERT_TRUE(servertest::waitFor([&] { return socket.bytesAvailable() > 0; }));
    EXPECT_TRUE(servertest::waitFor([&] { return closed; }));
    EXPECT_TRUE(servertest::waitFor([&] { return chat().openConnections() == 0; }));
    EXPECT_GE(chat().stats().timedOut, 1u);
}

COLLOQ_ON_BOTH_STORES(LoopbackTest);

} // namespace
