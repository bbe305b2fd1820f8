// colloqchat-server run as a program.
#include "ServerTestSupport.h"
#include "tests/support/Children.h"
#include "tools/mailsink/MailSink.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <csignal>

using namespace servertest;

namespace {

// One run of the server program, with its own HOME so that its default data folder is private.
struct ServerProcess {
    QProcess process;
    QString err;
    QHostAddress chatAddress;
    quint16 chatPort = 0, webPort = 0;

    explicit ServerProcess(const QString& home) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.remove("XDG_DATA_HOME");
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(home);
    }
    ~ServerProcess() {
        process.kill();
        process.waitForFinished(10000);
    }
    // Starts it and waits for its "ready" line; false when it ended instead.
    bool start(const QStringList& args) {
        testsupport::endWithRun(process);
        process.start(serverProgram(), args);
        QString out;
        const auto ready = [&] {
            return (out += QString::fromLocal8Bit(process.readAllStandardOutput())).contains("ready");
        };
        waitFor([&] { return ready() || process.state() == QProcess::NotRunning; }, 30000);
        const auto chat = QRegularExpression("chat=([0-9.]+):(\\d+)").match(out);
        chatAddress = QHostAddress(chat.captured(1));
        chatPort = quint16(chat.captured(2).toUInt());
        webPort = quint16(QRegularExpression("web=[0-9.]+:(\\d+)").match(out).captured(1).toUInt());
        return chat.hasMatch();
    }
    // Waits for it to end by itself; its exit code, or -1 when it crashed or hung.
    int finish() {
        waitFor([&] { return process.state() == QProcess::NotRunning; }, 30000);
        return process.state() != QProcess::NotRunning || process.exitStatus() != QProcess::NormalExit
                   ? -1
                   : process.exitCode();
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    const QString& errors() { return err += QString::fromLocal8Bit(process.readAllStandardError()); }
};

TEST(ServerProgram, StartsWithoutConfigurationAndStopsCleanlyOnSigterm) {
    QTemporaryDir home;
    QString annId;
    {
        ServerProcess server(home.path());
        // Only the addresses are chosen, and a mail relay where nothing listens (no mail leaves).
        QTcpServer closed;
        closed.listen(QHostAddress("127.0.0.21"), 0);
        const QString relay = "127.0.0.21:" + QString::number(closed.serverPort());
        closed.close();
        ASSERT_TRUE(
            server.start({"--chat-listen", "127.0.0.21:0", "--web-listen", "127.0.0.21:0", "--mail-relay", relay}))
            << server.errors().toStdString();
        const auto reg = exchange(server.chatAddress, server.chatPort,
                                  chatRequest({"3", "ann", "PC", "ann@example.org", "Ann"}, callAddress(2)),
                                  QHostAddress("127.0.0.2"));
        EXPECT_EQ(reg.fields().value(1), "127.0.0.21"); // registered, told the address it answered on
        annId = reg.fields().value(3);
        // Its confirmation waits for a relay that is not there.
        EXPECT_TRUE(waitFor([&] { return server.errors().contains("mail relay " + relay); }))
            << server.errors().toStdString();
        // A caller's text quoted in the log loses its control characters (here a terminal escape),
        // also after a letter beyond ASCII, and the C1 ones too.
        httpExchange(server.chatAddress, server.webPort, clientGet("InfoDT.asp?ReqDt=%1B[2J"));
        httpExchange(server.chatAddress, server.webPort, clientGet("InfoDT.asp?ReqDt=%E9%1B[3J%81"));
        server.signal(SIGTERM);
        EXPECT_EQ(server.finish(), 0) << server.errors().toStdString();
        EXPECT_TRUE(server.errors().contains("alternate code ?[2J")) << server.errors().toStdString();
        EXPECT_TRUE(server.errors().contains(QString::fromUtf8("alternate code \u00e9?[3J?")))
            << server.errors().toStdString();
        EXPECT_FALSE(server.errors().contains(QChar(0x1b)) || server.errors().contains(QChar(0x81)));
    }
    const QString store = home.filePath(".local/share/colloqchat-server/colloqchat.sqlite");
    // E-mail and network addresses are in it: for the server's user only.
    EXPECT_EQ(QFile::permissions(store) & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
              QFile::Permissions());
    QString error;
    const auto storage = chatserver::openStorage(*chatserver::StoreLocation::parse(store, &error));
    // Ann is registered, and waits for her address until she confirms it.
    EXPECT_EQ(storage->pendingEmail(annId.toLongLong()), "ann@example.org");
    EXPECT_FALSE(storage->findUserByEmail("ann@example.org"));
}

TEST(ServerProgram, RefusesBadConfigurationWithAMessage) {
    QTemporaryDir home;
    struct Case {
        QStringList args;
        const char* message;
    } cases[] = {
        {{"--proxy-from", "10.0.0.0/33"}, "prefix length"},
        // What clients are told must pass their own check, or they refuse it at their next start.
        {{"--public-address", "chat.example.org"}, "dotted IPv4"},
        {{"--mail-relay", "relay.example.org:99999"}, "is not HOST:PORT"},
        {{"--mail-from", "chat server@example.org"}, "invisible character"},
    };
    for (const Case& c : cases) {
        ServerProcess process(home.path());
        process.start(c.args);
        const int code = process.finish();
        EXPECT_TRUE(code > 0) << "crashed or served: " << c.args.join(' ').toStdString();
        EXPECT_TRUE(process.errors().contains(QLatin1String(c.message))) << process.errors().toStdString();
    }
}

// The operator, or whoever runs the server on one machine, confirms with the mail's link.
TEST(ServerProgram, ConfirmsAnAddressWithTheLinkOfItsMail) {
    QTemporaryDir home;
    mailsink::MailSink relay;
    QString error;
    ASSERT_TRUE(relay.listen(QHostAddress("127.0.0.1"), 0, &error)) << error.toStdString();
    const QString store = "sqlite:" + home.filePath("store.sqlite");
    ServerProcess server(home.path());
    ASSERT_TRUE(server.start({"--chat-listen", "127.0.0.22:0", "--web-listen", "off", "--store", store, "--mail-relay",
                              QStringLiteral("127.0.0.1:%1").arg(relay.port())}))
        << server.errors().toStdString();
    exchange(server.chatAddress, server.chatPort, chatRequest({"3", "ann", "PC", "ann@example.org", "Ann"}, ""),
             QHostAddress("127.0.0.2"));
    ASSERT_TRUE(waitFor([&] { return !relay.received().isEmpty(); })) << server.errors().toStdString();
    const QString link = QRegularExpression("http://\\S+").match(relay.received().first().body()).captured(0);
    const auto confirm = [&](const QString& code) {
        QProcess command;
        command.start(serverProgram(), {"confirm", "--code", code, "--store", store});
        command.waitForFinished(30000);
        return std::pair(command.exitCode(), QString::fromLocal8Bit(command.readAllStandardOutput()).trimmed());
    };
    EXPECT_EQ(confirm(link), std::pair(0, QString("Thank you: ann@example.org is confirmed. Your contacts can now add "
                                                  "you by it.")));
    EXPECT_EQ(confirm("abcdefghijklmnopqrstuvwxyz").first, 1);
}

class ServerProgramOnStore : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        store = freshStoreAddress(GetParam(), dir, &skip);
        if (store.isEmpty()) GTEST_SKIP() << skip.toStdString();
    }
    QTemporaryDir dir;
    QString store;
};

TEST_P(ServerProgramOnStore, SigkillDuringALoadLosesNoAnsweredRegistration) {
    QHash<QString, QString> answered; // e-mail -> ID
    {
        ServerProcess server(dir.path());
        ASSERT_TRUE(server.start({"--chat-listen", "127.0.0.24:0", "--web-listen", "off", "--store", store,
                                  "--log-level", "warning", "--mail-relay", "off", "--registration-rate", "off",
                                  "--registration-rate-per-network", "off"}))
            << server.errors().toStdString();
        // Rounds of registrations at once from many addresses; the server is killed in the middle
        // of the last, after 300 answered.
        int told = 0;
        for (int round = 0; round < 100 && told < 300; ++round) {
            QList<QByteArray> requests;
            QList<QHostAddress> sources;
            for (int i = 0; i < 40; ++i) {
                requests.append(chatRequest({"3", "u", "pc", QString("load%1-%2@example.org").arg(round).arg(i), "L"},
                                            callAddress(9)));
                sources.append(QHostAddress(QStringLiteral("127.0.2.%1").arg(1 + i)));
            }
            const auto replies = exchangeMany(server.chatAddress, server.chatPort, requests, sources, 20000,
                                              [&](const ChatReply& reply) {
                                                  if (reply.code() == "3") ++told;
                                                  if (told == 300) server.signal(SIGKILL);
                                              });
            for (const ChatReply& reply : replies)
                if (reply.code() == "3") answered.insert(reply.fields().value(4), reply.fields().value(3));
        }
        EXPECT_EQ(server.finish(), -1);
    }
    ASSERT_GE(answered.size(), 300);
    // The store opens again, every answered registration in it.
    QString error;
    const auto storage = chatserver::openStorage(*chatserver::StoreLocation::parse(store, &error));
    for (auto it = answered.cbegin(); it != answered.cend(); ++it)
        ASSERT_EQ(storage->findUser(it.value().toLongLong()).value_or(chatserver::UserRecord{}).email, it.key())
            << "answered but gone";
}

COLLOQ_ON_BOTH_STORES(ServerProgramOnStore);

} // namespace
