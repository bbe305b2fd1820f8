// The chat protocol over TLS: the same requests and replies as on the plain port, inside a TLS
// session whose key clients can pin; callers that do not speak TLS, or stall in the handshake,
// are closed like any broken caller; the self-signed pair is made once and kept, an operator's
// pair is checked, and a renewal is taken without a restart.
#include "ServerTestSupport.h"

#include "chatserver/net/TlsServer.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QThread>
#include <sys/stat.h>

using namespace servertest;

namespace {

const QHostAddress kAnn("127.0.0.2");

class TlsPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString skip;
        if (!fixture.start(Backend::Sqlite, &skip, [](chatserver::ServerConfig& config) {
                config.chatTlsExplicit = true;
                config.chatTlsAddress = QHostAddress(QStringLiteral("127.0.0.1"));
                config.chatTlsPort = 0;
                config.limits.requestTimeoutMs = 1500;
            }))
            GTEST_SKIP() << skip.toStdString();
        ASSERT_NE(fixture.chatTlsPort(), 0);
    }
    ChatReply overTls(const QStringList& fields, QString* fingerprint = nullptr) {
        return tlsExchange(fixture.host, fixture.chatTlsPort(), chatRequest(fields, callAddress(2)), fingerprint);
    }
    ServerFixture fixture;
};

int modeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

} // namespace

TEST_F(TlsPortTest, RegistrationAndPollsGoOverTlsAsOnThePlainPortUnderThePinnableKey) {
    QString fingerprint;
    const ChatReply registered = overTls({"3", "ann", "PC", "ann@example.org", "Ann"}, &fingerprint);
    ASSERT_TRUE(registered.answered);
    ASSERT_EQ(registered.code(), "3");
    EXPECT_EQ(fingerprint, fixture.server->tlsFingerprint());
    EXPECT_EQ(fingerprint.size(), 32 * 3 - 1); // 32 bytes as "AB:" pairs
    const QString annId = registered.fields().value(3);
    const ChatReply poll = overTls({"1", annId, "ann@example.org"});
    ASSERT_TRUE(poll.answered);
    EXPECT_EQ(poll.code(), "1");
    // The plain port still serves the same account for clients that have no TLS.
    EXPECT_EQ(
        exchange(fixture.host, fixture.chatPort(), chatRequest({"1", annId, "ann@example.org"}, callAddress(2)), kAnn)
            .code(),
        "1");
}

TEST_F(TlsPortTest, CallersThatSpeakNoTlsOrStallInTheHandshakeAreClosed) {
    chatserver::TcpListener& tls = *fixture.server->chatTlsListener();
    // A plain client that dialled the TLS port gets no answer in the clear.
    const ChatReply plain = exchange(fixture.host, fixture.chatTlsPort(),
                                     chatRequest({"3", "bob", "PC", "bob@example.org", "Bob"}, callAddress(3)), kAnn);
    EXPECT_FALSE(plain.answered);
    EXPECT_TRUE(plain.closed);
    // Half a hello, then silence; and a handshake of garbage.
    QTcpSocket stalled;
    QTcpSocket garbage;
    stalled.connectToHost(fixture.host, fixture.chatTlsPort());
    garbage.connectToHost(fixture.host, fixture.chatTlsPort());
    ASSERT_TRUE(waitFor([&] {
        return stalled.state() == QAbstractSocket::ConnectedState && garbage.state() == QAbstractSocket::ConnectedState;
    }));
    stalled.write(QByteArray::fromHex("160301020001"));
    garbage.write(QByteArray(300, '\x16'));
    EXPECT_TRUE(waitFor([&] { return tls.openConnections() == 0; }, 5000)) << tls.openConnections();
    EXPECT_GE(tls.stats().timedOut, 1u);
    // Nothing of it reached the service: the TLS port goes on serving.
    EXPECT_EQ(overTls({"3", "bob", "PC", "bob@example.org", "Bob"}).code(), "3");
}

TEST(TlsKeys, TheSelfSignedPairIsMadeOnceAndKeptAndAnOperatorsPairIsChecked) {
    QTemporaryDir dir;
    QString error;
    bool created = false;
    const auto first =
        chatserver::TlsServerContext::selfSigned(dir.filePath("data"), "colloqchat-server 10.0.0.5", &error, &created);
    ASSERT_TRUE(first) << error.toStdString();
    EXPECT_TRUE(created);
    EXPECT_EQ(modeOf(first->keyFile()), 0600);
    EXPECT_EQ(modeOf(first->certificateFile()), 0600);
    const auto again = chatserver::TlsServerContext::selfSigned(dir.filePath("data"), "ignored", &error, &created);
    ASSERT_TRUE(again);
    EXPECT_FALSE(created);
    EXPECT_EQ(again->fingerprint(), first->fingerprint());
    EXPECT_FALSE(again->reloaded(&error)); // nothing changed

    // Another server's key with this certificate: refused, and the message says so.
    const auto other = chatserver::TlsServerContext::selfSigned(dir.filePath("other"), "other", &error);
    ASSERT_TRUE(other);
    EXPECT_FALSE(chatserver::TlsServerContext::fromFiles(first->certificateFile(), other->keyFile(), &error));
    EXPECT_TRUE(error.contains("cannot be used with the certificate")) << error.toStdString();
    EXPECT_FALSE(chatserver::TlsServerContext::fromFiles(dir.filePath("none.pem"), other->keyFile(), &error));

    // A renewal puts another pair in place of the files: the next look takes it.
    QThread::msleep(20); // a later modification time
    for (const char* name : {"tls-certificate.pem", "tls-key.pem"}) {
        QFile::remove(dir.filePath(QStringLiteral("data/") + QLatin1String(name)));
        QFile::copy(dir.filePath(QStringLiteral("other/") + QLatin1String(name)),
                    dir.filePath(QStringLiteral("data/") + QLatin1String(name)));
    }
    const auto renewed = again->reloaded(&error);
    ASSERT_TRUE(renewed)
        << error.toStdString() << " "
        << QFileInfo(again->certificateFile()).lastModified().toString(Qt::ISODateWithMs).toStdString();
    EXPECT_EQ(renewed->fingerprint(), other->fingerprint());
}
