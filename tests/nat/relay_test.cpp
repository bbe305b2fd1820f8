// The SIP relay (Kamailio with packaging/relay/colloqchat-relay.cfg) on loopback, spoken to in
// raw SIP.
#include "chatserver/CallPaths.h"
#include "e2e/RemoteClient.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>

namespace {

const QHostAddress kLoopback(QStringLiteral("127.0.0.1"));
constexpr quint16 kSipPort = 5097;
constexpr quint16 kFirst = 25000;
constexpr quint16 kLast = 25003;

QByteArray md5(const QByteArray& text) {
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

class Relay : public ::testing::Test {
protected:
    static inline std::unique_ptr<QTemporaryDir> dir;
    static inline std::unique_ptr<e2e::Program> relay;
    static inline QByteArray secret;

    static void SetUpTestSuite() {
        dir = std::make_unique<QTemporaryDir>();
        QProcess configure;
        configure.start(QStringLiteral("bash"),
                        {QStringLiteral(COLLOQ_CALL_SERVICES), dir->path(), QStringLiteral("127.0.0.1"),
                         QStringLiteral("127.0.0.1:%1/%2-%3").arg(kSipPort).arg(kFirst).arg(kLast),
                         QStringLiteral("each")});
        if (!configure.waitForFinished(30'000) || configure.exitCode() != 0) return;
        QFile file(dir->filePath(QStringLiteral("relay-secret")));
        if (file.open(QIODevice::ReadOnly)) secret = file.readAll().trimmed();
        relay = std::make_unique<e2e::Program>(QStringLiteral("relay"));
        relay->start(QStringLiteral("kamailio"),
                     QStringLiteral("-DD -E -m 32 -Y %1 -f %1/relay.cfg").arg(dir->path()).split(QLatin1Char(' ')),
                     QProcessEnvironment::systemEnvironment());
    }
    static void TearDownTestSuite() {
        relay.reset();
        dir.reset();
    }

    void SetUp() override {
        ASSERT_FALSE(secret.isEmpty()) << "call-services.sh wrote no secret";
        ASSERT_TRUE(socket.bind(kLoopback, 0));
        // The relay is up once it answers at all.
        ASSERT_TRUE(e2e::waitUntil(
            [&] { return !request("OPTIONS", "sip:127.0.0.1:5097", {}, nullptr, 300).isEmpty(); }, 20'000))
            << relay->errors().toStdString();
    }

    // Sends a request from `from` (by default our socket) and returns the first line of the answer
    // (or of a request the relay sends us instead), empty when nothing comes within `ms`.
    QByteArray request(const QByteArray& method, const QByteArray& uri, const QByteArray& extra = {},
                       QUdpSocket* from = nullptr, int ms = 2000, QByteArray* whole = nullptr) {
        QUdpSocket& sender = from ? *from : socket;
        const QByteArray here = "127.0.0.1:" + QByteArray::number(sender.localPort());
        const QByteArray branch = QByteArray::number(++m_branch);
        const QByteArray message =
            method + ' ' + uri + " SIP/2.0\r\n" + "Via: SIP/2.0/UDP " + here + ";rport;branch=z9hG4bK" + branch +
            "\r\n" + "Max-Forwards: 70\r\nFrom: <sip:tester@127.0.0.1>" + ";tag=t1\r\n" + "To: <" +
            (method == "REGISTER" ? "sip:ann@127.0.0.1" : uri) + ">\r\n" + "Call-ID: c" + branch + "@test\r\nCSeq: 1 " +
            method + "\r\nContact: <sip:ann@" + here + ">\r\n" + extra + "Content-Length: 0\r\n\r\n";
        sender.writeDatagram(message, kLoopback, kSipPort);
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (!sender.hasPendingDatagrams() && !sender.waitForReadyRead(int(deadline.remainingTime()))) break;
            const QByteArray got = sender.receiveDatagram().data();
            if (got.startsWith("SIP/2.0 100")) continue;
            if (whole) *whole = got;
            return got.left(got.indexOf('\r'));
        }
        return {};
    }

    // Registers from `from` with the credential `name` ("PORT@ADDRESS") that expires at `expiry`,
    // answering the relay's challenge with `password` (by default the chat server's for that name).
    QByteArray registerAs(const QString& name, qint64 expiry, const QString& password = {},
                          QUdpSocket* from = nullptr) {
        const QString user = chatserver::expiringUserName(expiry, name);
        const QByteArray pass = (password.isEmpty() ? chatserver::expiringPassword(secret, user) : password).toUtf8();
        QByteArray challenge;
        const QByteArray uri = "sip:127.0.0.1:5097";
        if (!request("REGISTER", uri, "Expires: 120\r\n", from, 2000, &challenge).startsWith("SIP/2.0 401"))
            return "no challenge";
        const QByteArray nonce = QRegularExpression(QStringLiteral("nonce=\"([^\"]+)\""))
                                     .match(QString::fromLatin1(challenge))
                                     .captured(1)
                                     .toLatin1();
        const QByteArray response =
            md5(md5(user.toUtf8() + ":colloqchat:" + pass) + ':' + nonce + ':' + md5("REGISTER:" + uri));
        return request("REGISTER", uri,
                       "Expires: 120\r\nAuthorization: Digest username=\"" + user.toUtf8() +
                           "\", realm=\"colloqchat\", nonce=\"" + nonce + "\", uri=\"" + uri + "\", response=\"" +
                           response + "\"\r\n",
                       from);
    }

    static qint64 future() { return QDateTime::currentSecsSinceEpoch() + 3600; }

    QUdpSocket socket;
    // Branches and Call-IDs differ across the tests too: the relay keeps its transactions a while.
    static inline int m_branch = 0;
};

TEST_F(Relay, ACallGoesOnlyToAUserRegisteredHereUnderItsPort) {
    // Nobody registered: a call address of the block that no one holds, and one outside it (a
    // callee somewhere else altogether is the last test's).
    EXPECT_EQ(request("INVITE", "sip:127.0.0.1:25002"), "SIP/2.0 480 Not registered");
    EXPECT_EQ(request("INVITE", "sip:25002@127.0.0.1:5097"), "SIP/2.0 480 Not registered");
    EXPECT_EQ(request("INVITE", "sip:127.0.0.1:5097"), "SIP/2.0 404 Not a call address of this relay");

    // Registered under port 25001, the call to that call address comes to us, whoever sent it.
    ASSERT_EQ(registerAs(QStringLiteral("25001@127.0.0.1"), future()), "SIP/2.0 200 OK");
    EXPECT_EQ(request("INVITE", "sip:127.0.0.1:25001"),
              "INVITE sip:ann@127.0.0.1:" + QByteArray::number(socket.localPort()) + " SIP/2.0");
    EXPECT_EQ(request("INVITE", "sip:127.0.0.1:25003"), "SIP/2.0 480 Not registered");
}

TEST_F(Relay, ARegistrationNeedsTheChatServersCredentialForAPortOfThisRelay) {
    const QByteArray refused = "SIP/2.0 401 Unauthorized";
    const QByteArray notOurs = "SIP/2.0 403 Not a call address of this relay";
    const struct {
        const char* what;
        QString name;
        qint64 expiry;
        QString password;
        QByteArray answer;
    } cases[] = {
        {"expired", "25000@127.0.0.1", QDateTime::currentSecsSinceEpoch() - 10, "", refused},
        {"a password of someone's guessing", "25000@127.0.0.1", future(), "c2VjcmV0", refused},
        {"for another relay", "25000@198.51.100.9", future(), "", notOurs},
        {"for a port outside the block", "25004@127.0.0.1", future(), "", notOurs},
        {"for the relay's own port", "5097@127.0.0.1", future(), "", notOurs},
        {"as it should be", "25000@127.0.0.1", future(), "", "SIP/2.0 200 OK"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(registerAs(c.name, c.expiry, c.password), c.answer) << c.what;
}

TEST_F(Relay, ACallCarriesWhoSentItAsTheRelayFoundItAndGoesOutOnlyForAUserFromWhereItRegistered) {
    QUdpSocket callee;
    QUdpSocket stranger;
    ASSERT_TRUE(callee.bind(kLoopback, 0) && stranger.bind(kLoopback, 0));
    ASSERT_EQ(registerAs(QStringLiteral("25002@127.0.0.1"), future(), {}, &callee), "SIP/2.0 200 OK");
    ASSERT_EQ(registerAs(QStringLiteral("25001@127.0.0.1"), future()), "SIP/2.0 200 OK");
    // The identities a call carries when it reaches the callee, however many it was sent with.
    const auto asserted = [&](QUdpSocket& sender, const QByteArray& preferred) {
        request("INVITE", "sip:127.0.0.1:25002",
                "P-Preferred-Identity: <" + preferred +
                    ">\r\nP-Asserted-Identity: <sip:127.0.0.1:25003>\r\nP-Asserted-Identity: <sip:x@10.0.0.1>\r\n",
                &sender, 500);
        const QByteArray callId = "Call-ID: c" + QByteArray::number(m_branch) + "@test";
        QByteArray invite;
        e2e::waitUntil(
            [&] {
                while (callee.hasPendingDatagrams() && !invite.contains(callId))
                    invite = callee.receiveDatagram().data();
                return invite.contains(callId) || !callee.waitForReadyRead(100);
            },
            3000);
        QByteArrayList found;
        for (const QByteArray& line : invite.split('\n'))
            if (line.toLower().startsWith("p-asserted-identity:") || line.toLower().startsWith("p-preferred-identity:"))
                found.append(line.trimmed());
        return found.join('|').toStdString();
    };
    const auto as = [](const QUdpSocket& sender) {
        return "P-Asserted-Identity: <sip:127.0.0.1:" + std::to_string(sender.localPort()) + ">";
    };
    EXPECT_EQ(asserted(socket, "sip:127.0.0.1:25001"), "P-Asserted-Identity: <sip:127.0.0.1:25001>");
    EXPECT_EQ(asserted(stranger, "sip:127.0.0.1:25001"), as(stranger));
    EXPECT_EQ(asserted(socket, "sip:127.0.0.1:25002"), as(socket));       // registered, but elsewhere
    EXPECT_EQ(asserted(socket, "sip:25001@127.0.0.2:25001"), as(socket)); // not of this relay

    // Out to another address: a call of a user from where it registered, to a public address.
    const QByteArray ann = "P-Preferred-Identity: <sip:127.0.0.1:25001>\r\n";
    for (const QByteArray& uri :
         {QByteArray("sip:bob@10.1.2.3:5060"), QByteArray("sip:bob@192.168.1.9"), QByteArray("sip:bob@172.20.0.1"),
          QByteArray("sip:bob@100.64.0.1"), QByteArray("sip:bob@127.0.0.2:5060"), QByteArray("sip:bob@example.org")})
        EXPECT_EQ(request("INVITE", uri, ann).toStdString(), "SIP/2.0 403 Relaying forbidden") << uri.data();
    EXPECT_EQ(request("MESSAGE", "sip:bob@198.51.100.7", ann), "SIP/2.0 403 Relaying forbidden");
    EXPECT_EQ(request("INVITE", "sip:bob@198.51.100.7:5060", ann, &stranger), "SIP/2.0 403 Relaying forbidden");
    EXPECT_EQ(request("INVITE", "sip:bob@198.51.100.7:5060"), "SIP/2.0 403 Relaying forbidden"); // not named
    // On its way (here, with no route there, it fails).
    EXPECT_NE(request("INVITE", "sip:bob@198.51.100.7:5060", ann), "SIP/2.0 403 Relaying forbidden");
}

} // namespace
