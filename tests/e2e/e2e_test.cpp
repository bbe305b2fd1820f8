// End to end: the chat server program and two client programs, each in its own folder, on the
// loopback network. Ann and Bob register, add each other, see each other on line, Ann calls Bob,
// Bob answers, audio (and video, under a display) runs both ways, Ann hangs up; Bob quits and Ann
// sees him off line. Then the chat port goes silent and the alternate server page keeps both lists
// alive.
//
// Every step waits on what the programs show (list rows, status captions, the server's log),
// each with a generous bound; nothing sleeps for a fixed time.
#include "e2e/RemoteClient.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <tuple>

namespace {

using e2e::Client;
using e2e::freeTcpPort;
using e2e::kStepMs;
using e2e::Program;
using e2e::waitUntil;

const QString kWebListen = QStringLiteral("127.0.0.1:80");

class EndToEnd : public ::testing::Test {
protected:
    QTemporaryDir dir;
    quint16 chatPort = 0;
    std::unique_ptr<Program> server;

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The clients show their windows on the display the test runs under (Xvfb in CI).
        if (env.contains(QStringLiteral("DISPLAY"))) env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        return env;
    }

    // Starts the chat server; with `chat` false its chat port is off, so clients find no chat
    // server where they look but its web pages still answer.
    ::testing::AssertionResult startServer(bool chat) {
        server = std::make_unique<Program>(QStringLiteral("server"));
        const QString chatListen = chat ? QStringLiteral("127.0.0.1:%1").arg(chatPort) : QStringLiteral("off");
        const QStringList arguments = {QStringLiteral("--chat-listen"),      chatListen,
                                       QStringLiteral("--web-listen"),       kWebListen,
                                       QStringLiteral("--public-address"),   QStringLiteral("127.0.0.1"),
                                       QStringLiteral("--public-port"),      QString::number(chatPort),
                                       QStringLiteral("--data-dir"),         dir.filePath(QStringLiteral("server")),
                                       QStringLiteral("--presence-timeout"), QStringLiteral("5")};
        if (!e2e::startServer(*server, arguments, environment()))
            return ::testing::AssertionFailure() << "the server did not start: " << server->errors().toStdString();
        return ::testing::AssertionSuccess();
    }

    // The client's error logs, for failure messages.
    QString logsOf(const QString& folderName) const {
        QString text;
        QDir logs(dir.filePath(folderName + QStringLiteral("/logs")));
        for (const QString& name : logs.entryList(QDir::Files)) {
            QFile file(logs.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                text += name + QStringLiteral(":\n") + QString::fromLatin1(file.readAll());
        }
        return text;
    }

    // Starts a client in its own folder, pointed at the chat server; it registers at start.
    std::unique_ptr<Client> startClient(const QString& folderName, const QString& name, const QString& email) {
        const QString folder = dir.filePath(folderName);
        if (!e2e::prepareClientFolder(folder, chatPort)) return nullptr;
        auto client = std::make_unique<Client>(folderName);
        if (!client->start(QStringLiteral(COLLOQ_E2E_CLIENT), {folder, name, email}, environment())) return nullptr;
        const std::optional<QString> started = client->nextLine();
        if (!started || *started != QLatin1String("started")) return nullptr;
        return client;
    }
};

// When the server's store last saw the user with `email` on line, in ms since the epoch; 0 when
// it cannot tell.
qint64 lastSeenInStore(const QString& storeFile, const QString& email) {
    const QString name = QStringLiteral("e2e-store");
    qint64 seen = 0;
    {
        QSqlDatabase store = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        store.setDatabaseName(storeFile);
        store.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (store.open()) {
            QSqlQuery query(store);
            query.prepare(QStringLiteral("SELECT last_seen_ms FROM users WHERE email = ?"));
            query.addBindValue(email);
            if (query.exec() && query.next()) seen = query.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return seen;
}

// Registered once its user ID is known: the registration reply has been handled.
bool registered(Client& client) {
    return waitUntil([&] { return client.command(QStringLiteral("id")).size() > 3; });
}

TEST_F(EndToEnd, RegisterAddSeeCallHangUpQuitAndAlternateServer) {
    ASSERT_TRUE(dir.isValid());
    {
        // The clients look for the web pages on port 80 only.
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 80))
            GTEST_SKIP() << "127.0.0.1:80 cannot be bound here: " << probe.errorString().toStdString();
    }
    chatPort = freeTcpPort();
    ASSERT_NE(chatPort, 0);
    ASSERT_TRUE(startServer(true));

    // Registration: each client starts in its own folder and registers through its dialog. A
    // client that has just registered does not poll in that run, so each then quits (signing
    // off) and starts again as a registered user, the way it starts every day from then on.
    std::unique_ptr<Client> ann;
    std::unique_ptr<Client> bob;
    for (auto [client, folder, name, email] : {std::tuple{&ann, "ann", "Ann Lee", "ann@example.org"},
                                               std::tuple{&bob, "bob", "Bob Ray", "bob@example.org"}}) {
        auto first = startClient(folder, name, email);
        ASSERT_TRUE(first) << folder;
        ASSERT_TRUE(registered(*first)) << first->errors().toStdString() << first->boxes().join('\n').toStdString();
        const QString id = first->command(QStringLiteral("id"));
        ASSERT_EQ(first->command(QStringLiteral("quit")), "ok");
        ASSERT_TRUE(first->waitFinished()) << folder;
        // A named pointer: lambdas may not capture structured bindings in every compiler we use.
        auto& again = *client;
        again = startClient(folder, name, email);
        ASSERT_TRUE(again) << folder;
        ASSERT_TRUE(waitUntil([&] { return again->state(QStringLiteral("caption")).contains("My Internet IP"); }));
        EXPECT_EQ(again->command(QStringLiteral("id")), id);
    }
    // Polls every 30 ticks; ticks of 50 ms make that a poll every second and a half.
    ASSERT_EQ(ann->command(QStringLiteral("tick 50")), "ok");
    ASSERT_EQ(bob->command(QStringLiteral("tick 50")), "ok");

    // Contacts: each adds the other by e-mail through the contacts manager.
    ASSERT_EQ(ann->command(QStringLiteral("add bob@example.org")), "ok");
    ASSERT_EQ(bob->command(QStringLiteral("add ann@example.org")), "ok");
    // Presence: both see the other on line after their polls.
    ASSERT_TRUE(waitUntil([&] { return ann->row(QStringLiteral("bob@example.org")).value(0) == "On"; }))
        << ann->command(QStringLiteral("rows")).toStdString() << ann->boxes().join('\n').toStdString();
    ASSERT_TRUE(waitUntil([&] { return bob->row(QStringLiteral("ann@example.org")).value(0) == "On"; }))
        << bob->command(QStringLiteral("rows")).toStdString()
        << "\nann: " << ann->command(QStringLiteral("state")).toStdString()
        << "\nbob: " << bob->command(QStringLiteral("state")).toStdString() << "\n"
        << logsOf(QStringLiteral("ann")).toStdString() << logsOf(QStringLiteral("bob")).toStdString();
    EXPECT_EQ(ann->row(QStringLiteral("bob@example.org")).value(1), "Bob Ray");
    EXPECT_EQ(bob->row(QStringLiteral("ann@example.org")).value(1), "Ann Lee");
    // Both still talk to the chat server itself, although each added a contact while its log-in
    // was on its way.
    EXPECT_EQ(ann->state(QStringLiteral("alt")), "");
    EXPECT_EQ(bob->state(QStringLiteral("alt")), "");

    // Each client has a call address of its own on this machine.
    const QString annAddress = bob->row(QStringLiteral("ann@example.org")).value(3);
    const QString bobAddress = ann->row(QStringLiteral("bob@example.org")).value(3);
    EXPECT_NE(annAddress, bobAddress);
    EXPECT_EQ(annAddress, ann->state(QStringLiteral("address")));
    EXPECT_EQ(bobAddress, bob->state(QStringLiteral("address")));
    for (const QString& address : {annAddress, bobAddress})
        EXPECT_TRUE(address.startsWith(QLatin1String("127.0.0.1:"))) << address.toStdString();

    // A call: Ann picks Bob's row and connects; Bob's client rings and he answers.
    ASSERT_EQ(ann->command(QStringLiteral("click 0")), "ok");
    ASSERT_EQ(ann->command(QStringLiteral("connect")), "ok");
    ASSERT_TRUE(waitUntil([&] { return bob->state(QStringLiteral("frame")).startsWith("Status: INCOMING"); }))
        << bob->command(QStringLiteral("state")).toStdString();
    ASSERT_TRUE(waitUntil([&] { return bob->command(QStringLiteral("answer")) == "ok"; }))
        << bob->command(QStringLiteral("state")).toStdString();
    for (Client* client : {ann.get(), bob.get()}) {
        ASSERT_TRUE(waitUntil([&] { return client->state(QStringLiteral("frame")).startsWith("Status: CONNECTED"); }))
            << client->name().toStdString() << ": " << client->command(QStringLiteral("state")).toStdString();
        EXPECT_EQ(client->state(QStringLiteral("connected")), "1");
        // Audio flows both ways: the engine has started sending and receiving.
        EXPECT_TRUE(waitUntil([&] { return client->audio().startsWith("send=1 receive=1"); }))
            << client->name().toStdString() << ": " << client->audio().toStdString();
        // Under a display, video runs both ways too, each picture in its own drawer of the window.
        if (qEnvironmentVariableIsSet("DISPLAY")) {
            EXPECT_TRUE(waitUntil([&] { return client->command(QStringLiteral("video")) == "ok send=1 receive=1"; }))
                << client->name().toStdString() << ": " << client->command(QStringLiteral("video")).toStdString();
        }
    }

    // Ann hangs up; both return to idle.
    ASSERT_EQ(ann->command(QStringLiteral("terminate")), "ok");
    for (Client* client : {ann.get(), bob.get()}) {
        EXPECT_TRUE(waitUntil([&] {
            const QString frame = client->state(QStringLiteral("frame"));
            return client->state(QStringLiteral("connected")) == "0" &&
                   (frame == "Status: DISCONNECTED" || frame == "Status: IDLE");
        })) << client->name().toStdString()
            << ": " << client->command(QStringLiteral("state")).toStdString();
        EXPECT_TRUE(waitUntil([&] { return client->audio().startsWith("send=0 receive=0"); }))
            << client->name().toStdString() << ": " << client->audio().toStdString();
    }

    // Bob quits; once his presence times out Ann sees him off line.
    ASSERT_EQ(bob->command(QStringLiteral("quit")), "ok");
    EXPECT_TRUE(bob->waitFinished());
    ASSERT_TRUE(waitUntil([&] { return ann->row(QStringLiteral("bob@example.org")).value(0) == "Off"; }))
        << ann->command(QStringLiteral("rows")).toStdString();

    // The chat port stops answering; the web pages go on, on the same store. Ann's next poll
    // finds no chat server and from then on goes to the alternate server page.
    server->stop();
    const qint64 chatPortClosed = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(startServer(false));
    ASSERT_TRUE(waitUntil([&] { return !ann->state(QStringLiteral("alt")).isEmpty(); }))
        << ann->command(QStringLiteral("state")).toStdString();
    // Her polls of the page keep her on line at the server.
    const QString store = dir.filePath(QStringLiteral("server/colloqchat.sqlite"));
    ASSERT_TRUE(waitUntil([&] { return lastSeenInStore(store, QStringLiteral("ann@example.org")) > chatPortClosed; }))
        << logsOf(QStringLiteral("ann")).toStdString();

    // Bob starts again and, finding no chat server either, logs on through the page; Ann's list
    // can only learn that from the page, and his list shows her on line.
    bob = startClient(QStringLiteral("bob"), QStringLiteral("Bob Ray"), QStringLiteral("bob@example.org"));
    ASSERT_TRUE(bob);
    ASSERT_TRUE(waitUntil([&] { return bob->state(QStringLiteral("caption")).contains("My Internet IP"); }));
    ASSERT_EQ(bob->command(QStringLiteral("tick 50")), "ok");
    const QString bobAgain = bob->state(QStringLiteral("address"));
    ASSERT_TRUE(waitUntil([&] {
        const QStringList row = ann->row(QStringLiteral("bob@example.org"));
        return row.value(0) == "On" && row.value(3) == bobAgain;
    })) << ann->command(QStringLiteral("rows")).toStdString()
        << "\n"
        << logsOf(QStringLiteral("ann")).toStdString();
    ASSERT_TRUE(waitUntil([&] { return bob->row(QStringLiteral("ann@example.org")).value(0) == "On"; }))
        << bob->command(QStringLiteral("rows")).toStdString() << "\n"
        << logsOf(QStringLiteral("bob")).toStdString();
    EXPECT_FALSE(bob->state(QStringLiteral("alt")).isEmpty());
    EXPECT_TRUE(server->waitForError(QStringLiteral("InfoDT.asp -> 200 poll: 1 contacts")))
        << server->errors().toStdString();

    for (Client* client : {bob.get(), ann.get()}) {
        ASSERT_EQ(client->command(QStringLiteral("quit")), "ok");
        EXPECT_TRUE(client->waitFinished()) << client->name().toStdString();
    }
}

} // namespace
