// The chat protocol over TLS: the same requests and replies as on the plain port, inside a TLS
// session whose key clients can pin.
#include "ServerTestSupport.h"

#include "chatserver/AccountMoves.h"
#include "chatserver/SecureAccounts.h"
#include "chatserver/net/TlsServer.h"

#include <QFile>
#include <QTcpSocket>
#include <QThread>
#include <sys/stat.h>

using namespace servertest;

namespace {

const QHostAddress kAnn("127.0.0.2");

class TlsPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fixture.start(Backend::Sqlite, [](chatserver::ServerConfig& config) {
                config.chatTlsExplicit = true;
                config.chatTlsAddress = QHostAddress(QStringLiteral("127.0.0.1"));
                config.chatTlsPort = 0;
                config.limits.requestTimeoutMs = 1500;
                config.servingLoops = 2; // whichever loop takes a caller, it speaks TLS alike
            }))
            GTEST_SKIP() << fixture.skipped.toStdString();
        ASSERT_NE(fixture.chatTlsPort(), 0);
    }
    ChatReply overTls(const QStringList& fields) {
        return tlsExchange(fixture.host, fixture.chatTlsPort(), chatRequest(fields, callAddress(2)));
    }
    ServerFixture fixture;
};

int modeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

} // namespace

// Once an account has signed in over TLS, its ID read off an old plain capture (or a client
// pushed onto the plain port) gains nothing there; accounts that never had TLS keep the plain port.
TEST_F(TlsPortTest, ThePlainPortRefusesAnAccountOnceItSignedInOverTls) {
    const auto plain = [&](const QStringList& fields, const QHostAddress& from) {
        return fixture.send(fields, from, callAddress(9));
    };
    const QString ann = overTls({"3", "ann", "PC", "ann@example.org", "Ann"}).fields().value(3);
    const QString bob = fixture.registered("Bob", loopback(3), callAddress(9));
    // Registered over TLS, not yet signed in there: the plain port still serves Ann.
    EXPECT_EQ(plain({"1", ann, "ann@example.org"}, kAnn).code(), "1");
    // A log-in over TLS that is refused (the wrong e-mail address) marks nothing.
    EXPECT_EQ(overTls({"1", ann, "eve@example.org"}).code(), "1957");
    EXPECT_EQ(plain({"1", ann, "ann@example.org"}, kAnn).code(), "1");
    ASSERT_EQ(overTls({"1", ann, "ann@example.org"}).code(), "1");
    // From now on every request naming Ann is refused in the clear, from any address, with the
    // same words, and acts for nobody; over TLS she goes on.
    const QHostAddress attacker("127.0.0.66");
    for (const QStringList& request :
         QList<QStringList>{{"1", ann, "ann@example.org"}, {"4", ann, "bob@example.org"}, {"2005", ann}}) {
        const ChatReply refused = plain(request, attacker);
        EXPECT_EQ(refused.code(), "1957") << request.join(' ').toStdString();
        EXPECT_EQ(refused.fields().value(1), chatserver::SecureAccounts::refusalText());
    }
    EXPECT_EQ(fixture.server->storage().contactCount(ann.toLongLong()), 0);
    EXPECT_NE(fixture.server->storage().findUser(ann.toLongLong())->loginPeer, attacker.toString());
    EXPECT_EQ(overTls({"1", ann, "ann@example.org"}).code(), "1");
    EXPECT_EQ(plain({"1", bob, "bob@example.org"}, loopback(3)).code(), "1");
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

    // A renewal puts another pair in place of the files: the next look takes it.
    QThread::msleep(20); // a later modification time
    for (const char* name : {"tls-certificate.pem", "tls-key.pem"}) {
        QFile::remove(dir.filePath(QStringLiteral("data/") + QLatin1String(name)));
        QFile::copy(dir.filePath(QStringLiteral("other/") + QLatin1String(name)),
                    dir.filePath(QStringLiteral("data/") + QLatin1String(name)));
    }
    const auto renewed = again->reloaded(&error);
    ASSERT_TRUE(renewed) << error.toStdString();
    EXPECT_EQ(renewed->fingerprint(), other->fingerprint());
}

// A user whose ID someone else read moves the account to a new ID: over TLS only, with the ID
// and e-mail address that sign in. Contacts stay both ways (Bob keeps seeing Ann under the same
// number), the old ID works no more and says why, and the new one signs in over TLS only.
TEST_F(TlsPortTest, AnAccountMovesToANewIdOverTlsOnlyAndItsOldIdIsToldItWasReplaced) {
    const auto plain = [&](const QStringList& fields) { return fixture.send(fields, kAnn, callAddress(2)); };
    const QString ann = fixture.registered("Ann", kAnn, callAddress(2));
    const QString bob = fixture.registered("Bob", kAnn, callAddress(2));
    ASSERT_EQ(plain({"4", ann, "bob@example.org"}).code(), "4");
    const ChatReply added = plain({"4", bob, "ann@example.org"});
    ASSERT_EQ(added.code(), "4");
    const QString annAsBobSeesHer = added.fields().value(1);

    EXPECT_EQ(plain({"50", ann, "ann@example.org"}).fields().value(1),
              "An account moves to a new ID only over an encrypted connection.");
    EXPECT_EQ(overTls({"50", ann, "eve@example.org"}).fields().value(1),
              "The server does not know this user ID with this e-mail address. Please register again.");
    const ChatReply moved = overTls({"50", ann, "ann@example.org"});
    ASSERT_EQ(moved.code(), "50");
    const QString fresh = moved.fields().value(1);

    const QString replaced = chatserver::AccountMoves::replacedText(fixture.clock.now);
    for (const ChatReply& reply : {plain({"1", ann, "ann@example.org"}), overTls({"1", ann, "ann@example.org"}),
                                   overTls({"50", ann, "ann@example.org"}), plain({"4", ann, "bob@example.org"})})
        EXPECT_EQ(reply.fields().value(1), replaced);
    const ChatReply signedIn = overTls({"1", fresh, "ann@example.org"});
    ASSERT_EQ(signedIn.code(), "1");
    EXPECT_EQ(signedIn.fields().value(3), "bob@example.org");
    EXPECT_EQ(plain({"1", fresh, "ann@example.org"}).fields().value(1), chatserver::SecureAccounts::refusalText());
    const ChatReply bobsPoll = fixture.send({"1", bob, "bob@example.org"}, kAnn, callAddress(3));
    EXPECT_EQ(bobsPoll.fields().value(1), annAsBobSeesHer);
    EXPECT_EQ(bobsPoll.fields().value(3), "ann@example.org");
}
