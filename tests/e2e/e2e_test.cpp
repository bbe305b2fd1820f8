// End to end: the chat server program and two client programs, each in its own folder, on the
// loopback network, every step waiting on what the programs show; nothing sleeps for a fixed time.
#include "e2e/RemoteClient.h"
#include "support/PacketCapture.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using e2e::Client;
using e2e::Program;
using e2e::waitUntil;

// A user of the run: the folder of their client, their display name and e-mail address.
struct User {
    QString folder;
    QString name;
    QString email;
};
const User kAnn{"ann", "Ann Lee", "ann@example.org"};
const User kBob{"bob", "Bob Ray", "bob@example.org"};

class EndToEnd : public ::testing::Test {
protected:
    QTemporaryDir dir;
    quint16 chatPort = 0;
    quint16 mailPort = 0;
    std::unique_ptr<Program> server;
    Program mailRelay{"mail relay"};

    // The relay the server mails its confirmation links through, which keeps them in a mailbox.
    bool startMailRelay() {
        mailPort = e2e::freeTcpPort();
        const QString arguments = QStringLiteral("--listen 127.0.0.1:%1 --mailbox %2").arg(mailPort).arg(inbox());
        return mailRelay.start(QStringLiteral(COLLOQ_MAILSINK_PROGRAM), arguments.split(' '), environment()) &&
               mailRelay.nextLine().value_or(QString()).startsWith("ready ");
    }
    QString inbox() const { return dir.filePath("inbox"); }
    // Opens the link of the last mail to `email` as a browser would, once it has come; the page's text.
    QString confirmFromMailbox(const QString& email) {
        const QRegularExpression link("http://127\\.0\\.0\\.1(/confirm\\?code=[a-z2-7]+)");
        QString path;
        waitUntil([&] {
            QFile file(inbox());
            if (!file.open(QIODevice::ReadOnly)) return false;
            const QStringList mails = QString::fromUtf8(file.readAll())
                                          .split(QRegularExpression("^From ", QRegularExpression::MultilineOption))
                                          .filter("\nTo: <" + email + '>');
            path = link.match(mails.value(mails.size() - 1)).captured(1);
            return !path.isEmpty();
        });
        QTcpSocket browser;
        browser.connectToHost(QHostAddress::LocalHost, 80);
        if (path.isEmpty() || !browser.waitForConnected(e2e::kStepMs)) return {};
        browser.write("GET " + path.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray page;
        while (browser.waitForReadyRead(e2e::kStepMs))
            page += browser.readAll();
        return QString::fromLatin1(page + browser.readAll());
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The clients show their windows on the display the test runs under (Xvfb in CI).
        if (env.contains("DISPLAY")) env.remove("QT_QPA_PLATFORM");
        return env;
    }

    // Starts the chat server; with `chat` false its chat port is off, so clients find no chat
    // server where they look but its web pages still answer.
    bool startServer(bool chat) {
        server = std::make_unique<Program>("server");
        const QString arguments =
            QStringLiteral("--chat-listen %1 --web-listen 127.0.0.1:80 --public-address 127.0.0.1 --public-port %2 "
                           "--data-dir %3 --presence-timeout 5 --mail-relay 127.0.0.1:%4 "
                           "--mail-from colloqchat@example.org")
                .arg(chat ? QStringLiteral("127.0.0.1:%1").arg(chatPort) : QStringLiteral("off"))
                .arg(chatPort)
                .arg(dir.filePath("server"))
                .arg(mailPort);
        return e2e::startServer(*server, arguments.split(' '), environment());
    }

    // Starts `user`'s client in its own folder, pointed at the chat server; it registers at its
    // first start. With `ready`, waits until it has logged on.
    std::unique_ptr<Client> startClient(const User& user, bool ready = true) {
        const QString folder = dir.filePath(user.folder);
        if (!e2e::prepareClientFolder(folder, chatPort)) return nullptr;
        auto client = std::make_unique<Client>(user.folder);
        if (!client->start(QStringLiteral(COLLOQ_E2E_CLIENT), {folder, user.name, user.email}, environment()) ||
            client->nextLine() != "started")
            return nullptr;
        if (ready && (!waitUntil([&] { return client->state("caption").contains("My Internet IP"); }) ||
                      client->command("tick 50") != "ok"))
            return nullptr;
        return client;
    }
};

// Waits until `client` lists `email` with `status`.
::testing::AssertionResult sees(Client& client, const QString& email, const QString& status) {
    if (waitUntil([&] { return client.row(email).value(0) == status; })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << client.name().toStdString() << " does not see " << email.toStdString()
                                         << " " << status.toStdString() << ": " << client.command("rows").toStdString();
}

bool quits(Client& client) {
    return client.command("quit") == "ok" && client.waitFinished();
}

// Calls between two such clients are the NAT lab's (scenario 1 is on public addresses); the
// window's side of calls is the integration tests'.
TEST_F(EndToEnd, RegisterAddAndBeAddedBackSeeQuitAndAlternateServer) {
    ASSERT_TRUE(dir.isValid());
    {
        // The clients look for the web pages on port 80 only.
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 80))
            GTEST_SKIP() << "127.0.0.1:80 cannot be bound here: " << probe.errorString().toStdString();
    }
    chatPort = e2e::freeTcpPort();
    ASSERT_TRUE(startMailRelay()) << mailRelay.errors().toStdString();
    // What someone on the path records of it all, when the test has a network namespace of its own.
    std::unique_ptr<testsupport::PacketCapture> capture;
    if (testsupport::labAvailable()) capture = std::make_unique<testsupport::PacketCapture>();
    ASSERT_TRUE(startServer(true)) << server->errors().toStdString();

    // Registration: each client registers through its dialog at its first start, and its user
    // opens the link the server mailed; then it starts again as it will every day from then on.
    std::unique_ptr<Client> ann;
    std::unique_ptr<Client> bob;
    for (auto [client, user] : {std::pair{&ann, kAnn}, std::pair{&bob, kBob}}) {
        auto first = startClient(user, false);
        ASSERT_TRUE(first) << user.folder.toStdString();
        QString id;
        ASSERT_TRUE(waitUntil([&] { return (id = first->command("id")).size() > 3; })) << first->errors().toStdString();
        EXPECT_TRUE(confirmFromMailbox(user.email).contains(user.email + " is confirmed"))
            << server->errors().toStdString();
        ASSERT_TRUE(quits(*first));
        *client = startClient(user);
        ASSERT_TRUE(*client) << user.folder.toStdString();
        EXPECT_EQ((*client)->command("id"), id);
    }

    // Contacts: Ann adds Bob by e-mail through the contacts manager while her quick polls go on.
    // Until he adds her back she sees him waiting; Bob, at his next start, is told that she wants
    // to reach him, and his Add back puts each on the other's list on line, with the name and call
    // address the other registered.
    ASSERT_EQ(ann->command("add " + kBob.email), "ok");
    ASSERT_TRUE(sees(*ann, kBob.email, "Waiting"));
    ASSERT_TRUE(quits(*bob));
    ASSERT_TRUE(bob = startClient(kBob));
    const QString request = "ok Ann Lee (" + kAnn.email + ") wants to add you as a contact";
    ASSERT_TRUE(waitUntil([&] { return bob->command("request") == request; })) << bob->command("request").toStdString();
    ASSERT_EQ(bob->command("addback"), "ok");
    ASSERT_TRUE(sees(*ann, kBob.email, "On"));
    ASSERT_TRUE(sees(*bob, kAnn.email, "On"));
    EXPECT_EQ(ann->row(kBob.email).mid(1), (QStringList{kBob.name, kBob.email, bob->state("address")}));
    EXPECT_EQ(bob->row(kAnn.email).mid(1), (QStringList{kAnn.name, kAnn.email, ann->state("address")}));

    // Registrations, log-ins and polls as recorded on the way: neither ID nor e-mail address can
    // be read off the chat link.
    if (capture) {
        const QStringList secrets{ann->command("id").mid(3), bob->command("id").mid(3), kAnn.email, kBob.email};
        EXPECT_EQ(testsupport::secretsIn(capture->stop(), {chatPort, quint16(chatPort + 1)}, secrets), QStringList());
    }

    // Bob quits; once his presence times out Ann sees him off line.
    ASSERT_TRUE(quits(*bob));
    ASSERT_TRUE(sees(*ann, kBob.email, "Off"));

    // The chat port stops answering; the web pages go on, on the same store. Ann's next poll
    // finds no chat server and from then on goes to the alternate server page.
    server->stop();
    ASSERT_TRUE(startServer(false)) << server->errors().toStdString();
    ASSERT_TRUE(waitUntil([&] { return !ann->state("alt").isEmpty(); }));

    // Bob starts again and, finding no chat server either, logs on through the page. Ann's list
    // can only learn his new address from the page, and his list shows her on line, which only
    // her polls of the page can keep so beyond the presence timeout.
    ASSERT_TRUE(bob = startClient(kBob));
    const QString bobAgain = bob->state("address");
    ASSERT_TRUE(waitUntil([&] { return ann->row(kBob.email).value(3) == bobAgain; }));
    ASSERT_TRUE(sees(*ann, kBob.email, "On"));
    ASSERT_TRUE(sees(*bob, kAnn.email, "On"));

    // The chat server answers again: Ann's window says so, and one click takes her back to it,
    // where she still sees Bob on line.
    server->stop();
    ASSERT_TRUE(startServer(true)) << server->errors().toStdString();
    ASSERT_TRUE(waitUntil([&] { return ann->state("status").contains("The chat server answers again."); }))
        << ann->command("state").toStdString();
    ASSERT_EQ(ann->command("back"), "ok");
    EXPECT_EQ(ann->state("alt"), "");
    ASSERT_TRUE(sees(*ann, kBob.email, "On"));

    EXPECT_TRUE(quits(*bob));
    EXPECT_TRUE(quits(*ann));
}

} // namespace
