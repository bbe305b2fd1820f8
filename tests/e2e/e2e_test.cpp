// End to end: the chat server program and two client programs, each in its own folder, on the
// loopback network, every step waiting on what the programs show; nothing sleeps for a fixed time.
#include "e2e/RemoteClient.h"
#include "support/PacketCapture.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <tuple>

namespace {

using e2e::Client;
using e2e::Program;
using e2e::waitUntil;

class EndToEnd : public ::testing::Test {
protected:
    QTemporaryDir dir;
    quint16 chatPort = 0;
    quint16 mailPort = 0;
    std::unique_ptr<Program> server;
    Program mailRelay{QStringLiteral("mail relay")};

    // The relay the server mails its confirmation links through, which keeps them in a mailbox.
    bool startMailRelay() {
        mailPort = e2e::freeTcpPort();
        if (!mailRelay.start(QStringLiteral(COLLOQ_MAILSINK_PROGRAM),
                             {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(mailPort),
                              QStringLiteral("--mailbox"), dir.filePath(QStringLiteral("inbox"))},
                             environment()))
            return false;
        const std::optional<QString> ready = mailRelay.nextLine();
        return ready && ready->startsWith(QLatin1String("ready "));
    }
    // The mails to `email` in the mailbox, oldest first.
    QStringList mailsTo(const QString& email) const {
        QFile file(dir.filePath(QStringLiteral("inbox")));
        QStringList mails;
        if (!file.open(QIODevice::ReadOnly)) return mails;
        for (const QString& mail :
             QString::fromUtf8(file.readAll())
                 .split(QRegularExpression(QStringLiteral("^From "), QRegularExpression::MultilineOption)))
            if (mail.contains(QStringLiteral("\nTo: <") + email + QLatin1Char('>'))) mails.append(mail);
        return mails;
    }
    // Opens the link of the last mail to `email` as a browser would, once it has come; the page's text.
    QString confirmFromMailbox(const QString& email) {
        QString link;
        waitUntil([&] {
            link = QRegularExpression(QStringLiteral("http://127\\.0\\.0\\.1(/confirm\\?code=[a-z2-7]+)"))
                       .match(mailsTo(email).value(mailsTo(email).size() - 1))
                       .captured(1);
            return !link.isEmpty();
        });
        QTcpSocket browser;
        browser.connectToHost(QHostAddress::LocalHost, 80);
        if (link.isEmpty() || !browser.waitForConnected(e2e::kStepMs)) return {};
        browser.write("GET " + link.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray page;
        while (browser.waitForReadyRead(e2e::kStepMs))
            page += browser.readAll();
        return QString::fromLatin1(page + browser.readAll());
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The clients show their windows on the display the test runs under (Xvfb in CI).
        if (env.contains(QStringLiteral("DISPLAY"))) env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        return env;
    }

    // Starts the chat server; with `chat` false its chat port is off, so clients find no chat
    // server where they look but its web pages still answer.
    bool startServer(bool chat) {
        server = std::make_unique<Program>(QStringLiteral("server"));
        return e2e::startServer(
            *server,
            {QStringLiteral("--chat-listen"),
             chat ? QStringLiteral("127.0.0.1:%1").arg(chatPort) : QStringLiteral("off"),
             QStringLiteral("--web-listen"), QStringLiteral("127.0.0.1:80"), QStringLiteral("--public-address"),
             QStringLiteral("127.0.0.1"), QStringLiteral("--public-port"), QString::number(chatPort),
             QStringLiteral("--data-dir"), dir.filePath(QStringLiteral("server")), QStringLiteral("--presence-timeout"),
             QStringLiteral("5"), QStringLiteral("--mail-relay"), QStringLiteral("127.0.0.1:%1").arg(mailPort),
             QStringLiteral("--mail-from"), QStringLiteral("colloqchat@example.org")},
            environment());
    }

    // Starts a client in its own folder, pointed at the chat server; it registers at its first
    // start. With `ready`, waits until it has logged on.
    std::unique_ptr<Client> startClient(const QString& folderName, const QString& name, const QString& email,
                                        bool ready = true) {
        const QString folder = dir.filePath(folderName);
        if (!e2e::prepareClientFolder(folder, chatPort)) return nullptr;
        auto client = std::make_unique<Client>(folderName);
        if (!client->start(QStringLiteral(COLLOQ_E2E_CLIENT), {folder, name, email}, environment()) ||
            client->nextLine() != QStringLiteral("started"))
            return nullptr;
        if (ready && (!waitUntil([&] { return client->state(QStringLiteral("caption")).contains("My Internet IP"); }) ||
                      client->command(QStringLiteral("tick 50")) != "ok"))
            return nullptr;
        return client;
    }
};

// Waits until `client` lists `email` with `status`.
::testing::AssertionResult sees(Client& client, const QString& email, const QString& status) {
    if (waitUntil([&] { return client.row(email).value(0) == status; })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << client.name().toStdString() << " does not see " << email.toStdString()
                                         << " " << status.toStdString() << ": "
                                         << client.command(QStringLiteral("rows")).toStdString();
}

bool quits(Client& client) {
    return client.command(QStringLiteral("quit")) == "ok" && client.waitFinished();
}

// Calls that connect between two such clients are the NAT lab's (scenario 1 places them on public addresses);
// their keys, codes and SRTP on the wire are call_security_test's, their pictures video_window_test's.
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
    // opens the link the server mailed. A client that has just registered does not poll in that
    // run, so each then quits (signing off) and starts again as a registered user, the way it
    // starts every day from then on.
    const QString annMail = QStringLiteral("ann@example.org");
    const QString bobMail = QStringLiteral("bob@example.org");
    std::unique_ptr<Client> ann;
    std::unique_ptr<Client> bob;
    for (auto [client, folder, name, email] :
         {std::tuple{&ann, "ann", "Ann Lee", annMail}, std::tuple{&bob, "bob", "Bob Ray", bobMail}}) {
        auto first = startClient(folder, name, email, false);
        ASSERT_TRUE(first) << folder;
        QString id;
        ASSERT_TRUE(waitUntil([&] { return (id = first->command(QStringLiteral("id"))).size() > 3; }))
            << first->errors().toStdString();
        EXPECT_TRUE(confirmFromMailbox(email).contains(email + " is confirmed")) << server->errors().toStdString();
        ASSERT_TRUE(quits(*first)) << folder;
        *client = startClient(folder, name, email);
        ASSERT_TRUE(*client) << folder;
        EXPECT_EQ((*client)->command(QStringLiteral("id")), id);
    }

    // Contacts: Ann adds Bob by e-mail through the contacts manager while her quick polls go on.
    // Until he adds her back she sees him waiting, also after she starts again; Bob, at his next
    // start, is told that she wants to reach him, and his Add back puts each on the other's list
    // on line, with the name and call address the other registered.
    ASSERT_EQ(ann->command(QStringLiteral("add ") + bobMail), "ok");
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("Waiting")));
    ASSERT_TRUE(quits(*ann));
    ann = startClient(QStringLiteral("ann"), QStringLiteral("Ann Lee"), annMail);
    ASSERT_TRUE(ann);
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("Waiting")));
    ASSERT_TRUE(quits(*bob));
    bob = startClient(QStringLiteral("bob"), QStringLiteral("Bob Ray"), bobMail);
    ASSERT_TRUE(bob);
    ASSERT_TRUE(waitUntil([&] {
        return bob->command(QStringLiteral("request")) == "ok Ann Lee (" + annMail + ") wants to add you as a contact";
    })) << bob->command(QStringLiteral("request")).toStdString();
    ASSERT_EQ(bob->command(QStringLiteral("addback")), "ok");
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("On")));
    ASSERT_TRUE(sees(*bob, annMail, QStringLiteral("On")));
    EXPECT_EQ(ann->row(bobMail).mid(1), (QStringList{"Bob Ray", bobMail, bob->state(QStringLiteral("address"))}));
    EXPECT_EQ(bob->row(annMail).mid(1), (QStringList{"Ann Lee", annMail, ann->state(QStringLiteral("address"))}));
    EXPECT_NE(ann->state(QStringLiteral("address")), bob->state(QStringLiteral("address")));
    // Both still talk to the chat server itself.
    EXPECT_EQ(ann->state(QStringLiteral("alt")) + bob->state(QStringLiteral("alt")), "");

    // Registrations, log-ins and polls as recorded on the way: neither ID nor e-mail address can
    // be read off the chat link.
    if (capture) {
        const QStringList secrets{ann->command(QStringLiteral("id")).mid(3), bob->command(QStringLiteral("id")).mid(3),
                                  annMail, bobMail};
        EXPECT_EQ(testsupport::secretsIn(capture->stop(), {chatPort, quint16(chatPort + 1)}, secrets), QStringList());
    }

    // Calls that do not connect tell the caller why: Bob declines Ann's first call and lets her
    // second one ring until his client gives up on it.
    for (const QString& reason :
         {QStringLiteral("The call was declined."), QStringLiteral("No answer: the other party did not pick up.")}) {
        ASSERT_EQ(ann->command(QStringLiteral("click 0")), "ok");
        ASSERT_EQ(ann->command(QStringLiteral("connect")), "ok");
        ASSERT_TRUE(waitUntil(
            [&] { return bob->state(QStringLiteral("frame")).startsWith(QLatin1String("Status: INCOMING")); }));
        if (reason.contains(QLatin1String("declined"))) {
            ASSERT_EQ(bob->command(QStringLiteral("terminate")), "ok");
        }
        EXPECT_TRUE(waitUntil([&] { return ann->state(QStringLiteral("status")).startsWith(reason); }, 90'000))
            << ann->command(QStringLiteral("state")).toStdString();
        ASSERT_TRUE(waitUntil(
            [&] { return !bob->state(QStringLiteral("frame")).startsWith(QLatin1String("Status: INCOMING")); }));
    }

    // Bob quits; once his presence times out Ann sees him off line, and a call to him anyway
    // finds nothing at his address and is given up as unreachable within seconds.
    ASSERT_TRUE(quits(*bob));
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("Off")));
    ASSERT_EQ(ann->command(QStringLiteral("click 0")), "ok");
    ASSERT_EQ(ann->command(QStringLiteral("connect")), "ok");
    EXPECT_TRUE(waitUntil(
        [&] {
            return ann->state(QStringLiteral("status")).startsWith(QLatin1String("The other party is unreachable"));
        },
        20'000))
        << ann->command(QStringLiteral("state")).toStdString();

    // Ann's polls slow to none; Bob starts again and, once his log-in is answered, Refresh (F5)
    // on Ann's window shows him on line.
    ASSERT_EQ(ann->command(QStringLiteral("tick 1000000")), "ok");
    bob = startClient(QStringLiteral("bob"), QStringLiteral("Bob Ray"), bobMail);
    ASSERT_TRUE(bob);
    ASSERT_TRUE(waitUntil([&] { return !bob->row(annMail).isEmpty(); }));
    ASSERT_EQ(ann->command(QStringLiteral("refresh")), "ok");
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("On")));
    ASSERT_EQ(ann->command(QStringLiteral("tick 50")), "ok");
    ASSERT_TRUE(quits(*bob));
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("Off")));

    // The chat port stops answering; the web pages go on, on the same store. Ann's next poll
    // finds no chat server and from then on goes to the alternate server page.
    server->stop();
    ASSERT_TRUE(startServer(false)) << server->errors().toStdString();
    ASSERT_TRUE(waitUntil([&] { return !ann->state(QStringLiteral("alt")).isEmpty(); }));

    // Bob starts again and, finding no chat server either, logs on through the page. Ann's list
    // can only learn his new address from the page, and his list shows her on line, which only
    // her polls of the page can keep so beyond the presence timeout.
    bob = startClient(QStringLiteral("bob"), QStringLiteral("Bob Ray"), bobMail);
    ASSERT_TRUE(bob);
    const QString bobAgain = bob->state(QStringLiteral("address"));
    ASSERT_TRUE(waitUntil([&] { return ann->row(bobMail).value(3) == bobAgain; }));
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("On")));
    ASSERT_TRUE(sees(*bob, annMail, QStringLiteral("On")));
    EXPECT_FALSE(bob->state(QStringLiteral("alt")).isEmpty());

    // The chat server answers again: Ann's window says so, and one click takes her back to it,
    // where she still sees Bob on line.
    server->stop();
    ASSERT_TRUE(startServer(true)) << server->errors().toStdString();
    ASSERT_TRUE(waitUntil([&] {
        return ann->state(QStringLiteral("status")).contains(QStringLiteral("The chat server answers again."));
    })) << ann->command(QStringLiteral("state")).toStdString();
    ASSERT_EQ(ann->command(QStringLiteral("back")), "ok");
    EXPECT_EQ(ann->state(QStringLiteral("alt")), "");
    ASSERT_TRUE(sees(*ann, bobMail, QStringLiteral("On")));

    EXPECT_TRUE(quits(*bob));
    EXPECT_TRUE(quits(*ann));
}

} // namespace
