// The real client's chat link against real servers at one address: TLS first, and the key of the
// server it first reached encrypted pinned.
#include "ServerTestSupport.h"
#include "app/frmMain.h"
#include "core/ServerKeys.h"
#include "core/TrustStore.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "support/PacketCapture.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

using namespace basMain;
using servertest::Backend;
using servertest::ServerFixture;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kAddress(QStringLiteral("127.0.0.42"));
constexpr quint16 kPort = 19991;

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
}

class ClientTls : public ::testing::Test {
protected:
    testenv::TestEnv env;
    testrtc::ScriptedRtcFactory engines{
        [](testrtc::ScriptedRtc& engine) { engine.externalAddresses = {QStringLiteral("127.0.0.1:5070")}; }};
    std::unique_ptr<ServerFixture> server;
    std::unique_ptr<frmMain> form;

    void SetUp() override { env.makeLogsFolder(); }
    void TearDown() override {
        if (form && !form->isUnloaded()) {
            g_blnQuitNoLogOff = true;
            form->unloadForm();
        }
    }
    // A server at the one address, with a key of its own (a new data folder), TLS or not.
    void startServer(bool tls) {
        form.reset(); // not while a client's exchange is open
        server.reset();
        server = std::make_unique<ServerFixture>();
        server->host = kAddress;
        ASSERT_TRUE(server->start(Backend::Sqlite, [tls](chatserver::ServerConfig& config) {
            config.chatPort = kPort;
            config.chatTlsExplicit = !tls;
            config.chatTlsEnabled = tls;
            config.sites = {{"0", {"127.0.77.1", "localhost", "ChatServerIP.asp", ""}}};
            config.sitesConfigured = true;
        })) << server->skipped.toStdString();
    }
    // The client started as the program starts, registering when it has no identity yet.
    void startClient() {
        vb::setModalHandlerForTesting([](QDialog& dialog) {
            dialog.findChild<QLineEdit*>("txtDisplayNM")->setText("Ann Lee");
            dialog.findChild<QLineEdit*>("txtEmail")->setText("ann@example.com");
            dialog.findChild<QPushButton*>("cmdRegister")->click();
            return dialog.result();
        });
        if (!QFile::exists(env.path("RTC_Chat.kvo")))
            testenv::writeScrambledFile(env.path("RTC_Chat.kvo"), kAddress.toString() + S + QString::number(kPort));
        form = std::make_unique<frmMain>();
        form->Form_Load();
        form->fnInitForm();
    }
    // One more exchange of the client, as a poll starts one; true once the socket is done.
    bool poll(const QString& expectedStatus) {
        servertest::waitFor([&] { return g_lngChatSocketHandle == 0 && !form->tmrServerCall->isActive(); }, 3000);
        form->txtStatus->clear();
        form->sendChatRequest("1" + S + form->identity().userId + S + form->identity().email);
        return servertest::waitFor([&] { return form->txtStatus->toPlainText().startsWith(expectedStatus); }, 15000);
    }
    // The files the client keeps, byte for byte.
    QList<QByteArray> clientFiles() {
        QList<QByteArray> contents;
        for (const char* name : {"RTC_Chat.kvo", "ColloqChat.kvo", "RTC_Name.kvo", "ColloqChat.trust"})
            contents.append(bytesOf(env.path(QString::fromLatin1(name))));
        return contents;
    }
    quint64 requestsOn(chatserver::TcpListener* listener) const {
        return listener ? listener->stats().answered.load() : 0;
    }
};

} // namespace

TEST_F(ClientTls, ThePinnedKeyKeepsADowngradeFromTheIdentityAndTheFiles) {
    startServer(true);
    startClient();
    const QString id = form->identity().userId;
    ASSERT_FALSE(id.isEmpty()) << form->txtStatus->toPlainText().toStdString();
    // Registered and signed in over TLS, nothing in the clear; the server's key is pinned.
    form->sendChatRequest("1" + S + id + S + "ann@example.com");
    EXPECT_TRUE(servertest::waitFor([&] { return server->server->storage().signsInSecurely(id.toLongLong()); }));
    const QString pin = server->server->tlsFingerprint().remove(':').toLower();
    EXPECT_EQ(trust::pinnedCertificate(kAddress.toString() + ":19991"), pin.toLatin1());

    // The user fears the ID was read (it went in the clear before): New ID, after a question.
    env.answerBoxesWith(vb::vbYes);
    form->cmdNewId->click();
    ASSERT_TRUE(servertest::waitFor([&] { return form->identity().userId != id; }))
        << form->txtStatus->toPlainText().toStdString();
    // (What becomes of the old ID and the new one at the server is tls_test's.)
    EXPECT_EQ(requestsOn(server->server->chatListener()), 0u); // neither the sign-in nor the move
    const QString fresh = form->identity().userId;
    EXPECT_EQ(testenv::readScrambledFile(env.path("RTC_Chat.kvo")),
              QStringList({kAddress.toString(), QString::number(kPort), fresh, "ann@example.com"}).join(S));

    const QList<QByteArray> before = clientFiles();

    // The address without TLS now: the client does not go down to the plain port. To it the chat
    // server cannot be reached, and the alternate server's pages, which carry the ID, are asked
    // only over TLS under the pinned key (see the network test for what goes on the wire).
    startServer(false);
    startClient();
    EXPECT_TRUE(poll("The chat server cannot be reached"));
    EXPECT_EQ(requestsOn(server->server->chatListener()), 0u);
    EXPECT_FALSE(g_strAltServerBase.isEmpty());
    EXPECT_EQ(clientFiles(), before);
}

TEST_F(ClientTls, AServerThatNeverHadTlsIsTakenInTheClearWithAWordAndMayNotMoveTheClient) {
    startServer(false);
    std::unique_ptr<testsupport::PacketCapture> capture;
    if (testsupport::labAvailable()) capture = std::make_unique<testsupport::PacketCapture>();
    startClient();
    const QString id = form->identity().userId;
    ASSERT_FALSE(id.isEmpty());
    // What goes in the clear is there for anyone on the path to read (and what the check of the
    // encrypted link looks for is really found where it travels so).
    if (capture) {
        EXPECT_EQ(testsupport::secretsIn(capture->stop(), {kPort}, {id, "ann@example.com"}),
                  (QStringList{id, "ann@example.com"}));
    }
    EXPECT_TRUE(form->txtStatus->toPlainText().startsWith(PinnedServers::plainText(kAddress.toString() + ":19991")))
        << form->txtStatus->toPlainText().toStdString();
    EXPECT_EQ(vb::ForeColor(*form->txtStatus), vb::vbRed);
    EXPECT_TRUE(trust::pinnedCertificate(kAddress.toString() + ":19991").isEmpty());
    // The operator announces a move, which a poll tells users with a contact: over the plain link
    // it is not taken.
    chatserver::Storage& store = server->server->storage();
    const qint64 bob = store.registerUser({"bob@example.com", "Bob", "bob", "pc", "", "127.0.0.3", 1, ""}).value_or(0);
    store.addContact(id.toLongLong(), bob, server->clock.now, 0);
    store.announceMove("127.0.0.43", "19991", server->clock.now);
    server->server->service().refreshOperatorState();
    const QByteArray addressFile = bytesOf(env.path("RTC_Chat.kvo"));
    const quint64 answered = requestsOn(server->server->chatListener());
    form->sendChatRequest("1" + S + id + S + "ann@example.com");
    ASSERT_TRUE(servertest::waitFor([&] { return requestsOn(server->server->chatListener()) > answered; }));
    ASSERT_TRUE(servertest::waitFor([&] { return env.logLines().join(' ').contains("unauthenticated"); }))
        << env.logLines().join('\n').toStdString();
    EXPECT_EQ(bytesOf(env.path("RTC_Chat.kvo")), addressFile);
}

// Someone on the path redirects the chat server's address to a server of theirs (a DNAT rule,
// as a hostile router or access point would set): its certificate is not the one the client
// pinned, so it gets not one byte of the ID or the e-mail address, and the client's files stay
// byte for byte. The lab is this test's own network namespace, on lab addresses only.
TEST_F(ClientTls, AnImpostorBehindARedirectingRouterGetsNeitherTheIdNorTheEmail) {
    if (!testsupport::labAvailable()) GTEST_SKIP() << "needs tcpdump and nft in a namespace of the test's own";
    const QString real = QStringLiteral("203.0.113.10");
    const QString fake = QStringLiteral("198.51.100.66");
    for (const QString& address : {real, fake})
        ASSERT_TRUE(testsupport::labCommand("ip", {"addr", "add", address + "/32", "dev", "lo"}));
    const auto serverAt = [](const QString& address) {
        auto fixture = std::make_unique<ServerFixture>();
        fixture->host = QHostAddress(address);
        EXPECT_TRUE(fixture->start(Backend::Sqlite, [](chatserver::ServerConfig& config) { config.chatPort = kPort; }))
            << fixture->skipped.toStdString();
        return fixture;
    };
    server = serverAt(real);
    const auto impostor = serverAt(fake);
    testenv::writeScrambledFile(env.path("RTC_Chat.kvo"), real + S + QString::number(kPort));
    startClient();
    const QString id = form->identity().userId;
    ASSERT_FALSE(id.isEmpty());
    form->sendChatRequest("1" + S + id + S + "ann@example.com");
    ASSERT_TRUE(servertest::waitFor([&] { return requestsOn(server->server->chatTlsListener()) >= 2; }));
    const QList<QByteArray> before = clientFiles();

    testsupport::PacketCapture capture;
    ASSERT_TRUE(capture.started());
    ASSERT_TRUE(testsupport::labRules(
        QStringLiteral("add table ip colloq_dnat\n"
                       "add chain ip colloq_dnat out { type nat hook output priority -100; }\n"
                       "add rule ip colloq_dnat out ip daddr %1 tcp dport { 19991, 19992, 80, 443 } dnat to %2\n")
            .arg(real, fake)));
    // A poll of the running client, then the client started again (its start-up lookups too).
    EXPECT_TRUE(poll("The chat server at 203.0.113.10:19991 shows another key"));
    EXPECT_TRUE(form->txtStatus->toPlainText().contains(impostor->server->tlsFingerprint()));
    startClient();
    EXPECT_TRUE(
        servertest::waitFor([&] { return form->txtStatus->toPlainText().contains("shows another key"); }, 15000));
    const QList<testsupport::CapturedPacket> packets = capture.stop();
    testsupport::labRules(QStringLiteral("delete table ip colloq_dnat\n"));

    const quint32 fakeAddress = QHostAddress(fake).toIPv4Address();
    EXPECT_TRUE(std::any_of(packets.begin(), packets.end(), [&](const testsupport::CapturedPacket& packet) {
        return packet.destination == fakeAddress && packet.destinationPort == kPort + 1 && !packet.payload.isEmpty();
    })); // it was asked, and what the checks below read is what went to it
    EXPECT_EQ(requestsOn(impostor->server->chatTlsListener()), 0u);
    EXPECT_EQ(requestsOn(impostor->server->chatListener()), 0u);
    EXPECT_EQ(impostor->server->chatTlsListener()->stats().malformed, 0u); // not a byte of a request came
    EXPECT_EQ(testsupport::secretsIn(packets, {kPort, kPort + 1, 80, 443}, {id, "ann@example.com"}), QStringList());
    EXPECT_EQ(clientFiles(), before);
    EXPECT_TRUE(g_strAltServerBase.isEmpty());
}
