// The settings files: written only when their content changes, read back into the site
// tables, never half written on a full disk, and changed by the replies that may change them.
// The call history beside them: each call kept from its start through a crash and a full disk.
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "core/basMain.h"
#include "history/CallHistory.h"
#include "history/CallHistoryView.h"
#include "platform/vb.h"
#include "support/FileSizeLimit.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"
#include "wire/SettingsLines.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace basMain;

namespace {

constexpr auto msg = testsupport::message;

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
}

class SettingsFiles : public ::testing::Test {
protected:
    testenv::TestEnv env;

    void SetUp() override { env.makeLogsFolder(); }
    // The folder's files (no temporary file may be left behind).
    QStringList files() const { return QDir(env.dir()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
};

TEST_F(SettingsFiles, WrittenOnlyWhenTheContentChangesAndReadBackIntoTheSiteTables) {
    const QString reply = "2005" + msg({"", "0", "10.0.0.1", "r.example", "/a.asp", "12052026"}) + "\r\n\r\n" +
                          msg({"", "2", "10.0.0.3", "alt.example", "/alt.asp", "pw"}) + "\r\n" +
                          msg({"", "1", "10.0.0.2", "w.example", "/w.asp", ""}) + "\r\n" +
                          msg({"", "0", "10.0.0.4", "r2.example", "/b.asp", "11302026"}) + "\r\n" +
                          msg({"", "9", "x", "y", "z", "w"}) + "\r\n" + msg({"", "1", "cut", "short"});
    EXPECT_TRUE(writeUserSettingsFile(reply));
    const QByteArray written = fileBytes(userSettingsFilePath());
    EXPECT_EQ(written, wire::toCp1252(wire::scrambled(wire::settingsTextFromReply(reply))));
    EXPECT_FALSE(writeUserSettingsFile(reply));
    EXPECT_FALSE(writeUserSettingsFile("2005"));
    EXPECT_EQ(fileBytes(userSettingsFilePath()), written);

    loadSiteTables();
    loadSiteTables(); // the same tables again, not twice the rows
    EXPECT_EQ(g_arrRedirectSites, (SiteTable{{"10.0.0.1", "r.example", "/a.asp", "12052026"},
                                             {"10.0.0.4", "r2.example", "/b.asp", "11302026"}}));
    EXPECT_EQ(g_arrWanIPSites, (SiteTable{{"10.0.0.2", "w.example", "/w.asp", ""}}));
    EXPECT_EQ(g_arrAltServerSites, (SiteTable{{"10.0.0.3", "alt.example", "/alt.asp", "pw"}}));

    // A file too long to unscramble in a few seconds counts as missing: it would hold up every start.
    const QString line = msg({"", "1", "10.0.0.2", "w.example", "/w.asp", ""}) + "\r\n";
    testenv::writeScrambledFile(userSettingsFilePath(), line.repeated(kMaxUserSettingsChars / line.size() + 1));
    loadSiteTables();
    EXPECT_EQ(g_arrWanIPSites, (SiteTable{{}}));
    EXPECT_EQ(files(), QStringList{"ColloqChat.kvo"});
}

TEST_F(SettingsFiles, AWriteThatFailsOnAFullDiskKeepsTheOldFileWhole) {
    writeServerAddressFile({.userId = "42", .email = "me@x.org", .serverIp = "10.1.2.3", .serverPort = "19991"});
    ASSERT_TRUE(writeUserSettingsFile("2005" + msg({"", "0", "a", "b", "c", "d"})));
    const QByteArray oldAddress = fileBytes(serverAddressFilePath());
    const QByteArray oldSettings = fileBytes(userSettingsFilePath());
    const QString longText(600, QLatin1Char('x'));
    {
        const testenv::FileSizeLimit fullDisk(64);
        EXPECT_THROW(
            writeServerAddressFile({.userId = "42", .email = longText, .serverIp = "10.9.9.9", .serverPort = "20000"}),
            vb::VbError);
        EXPECT_THROW(writeUserSettingsFile("2005" + msg({"", "0", longText, "b", "c", "d"})), vb::VbError);
    }
    EXPECT_EQ(fileBytes(serverAddressFilePath()), oldAddress);
    EXPECT_EQ(fileBytes(userSettingsFilePath()), oldSettings);
    EXPECT_EQ(files(), (QStringList{"ColloqChat.kvo", "RTC_Chat.kvo"}));
}

// The display name calls carry: kept as registered, and nothing from a file that no registration
// could have written (it goes into every call's SIP identity).
TEST_F(SettingsFiles, TheDisplayNameIsReadBackOnlyWhenItCouldHaveBeenRegistered) {
    EXPECT_EQ(readDisplayNameFile(), QString());
    writeDisplayNameFile(QStringLiteral("Zoë \"Z\" Brown"));
    EXPECT_EQ(readDisplayNameFile(), QStringLiteral("Zoë \"Z\" Brown"));
    const struct {
        QString plain;
        QString read;
    } cases[] = {
        {QString(wire::kMaxDisplayNameChars, QLatin1Char('n')), QString(wire::kMaxDisplayNameChars, QLatin1Char('n'))},
        {QString(wire::kMaxDisplayNameChars + 1, QLatin1Char('n')), {}},
        {QStringLiteral("Ann\r\nVia: evil"), {}},
        {QStringLiteral("Ann") + wire::kSep + QStringLiteral("x"), {}},
    };
    for (const auto& c : cases) {
        testenv::writeScrambledFile(displayNameFilePath(), c.plain);
        EXPECT_EQ(readDisplayNameFile(), c.read) << c.plain.toStdString();
    }
}

TEST_F(SettingsFiles, TheCallHistoryKeepsEachCallThroughACrashAndAFullDisk) {
    using history::CallHistory;
    using Phase = CallActivity::Phase;
    QDateTime now(QDate(2026, 3, 1), QTime(9, 30));
    vb::setClockForTesting([&] { return now; });
    const auto call = [](quint64 serial, Phase phase) {
        return CallActivity{serial, phase, CallActivity::Outcome::Missed, true, "Ann\n", "ann@x.org", "10.0.0.1:5060",
                            false,  "ZRTP"};
    };
    const QString path = env.path("CallHistory.sqlite");
    {
        // A history kept before calls were encrypted: its calls stay, and the next ones say how.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        sqlite3_exec(db,
                     "CREATE TABLE calls(id INTEGER PRIMARY KEY AUTOINCREMENT, started INTEGER NOT NULL, connected "
                     "INTEGER, ended INTEGER, incoming INTEGER NOT NULL, outcome TEXT, name TEXT NOT NULL, email TEXT "
                     "NOT NULL, address TEXT NOT NULL, seen INTEGER NOT NULL DEFAULT 0)",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    auto run = std::make_unique<CallHistory>(path, 3);
    run->record(call(1, Phase::Ringing));
    run->record(call(1, Phase::Connected));
    run = std::make_unique<CallHistory>(path, 3); // the program stopped in the call; the next run
    ASSERT_EQ(run->records().size(), 1u);
    EXPECT_EQ(run->records()[0].outcome, CallActivity::Outcome::Answered);
    EXPECT_EQ(run->records()[0].security, "ZRTP");
    EXPECT_EQ(run->records()[0].name, "Ann"); // one plain line
    {
        const testenv::FileSizeLimit fullDisk(1);
        EXPECT_FALSE(run->record(call(2, Phase::Ringing)));
        EXPECT_FALSE(run->error().isEmpty());
    }
    now = now.addSecs(30);
    const auto missed = run->record(call(2, Phase::Ended)); // the disk has room again when it ends
    ASSERT_TRUE(missed);
    EXPECT_EQ(missed->started, now);
    EXPECT_TRUE(run->error().isEmpty());
    EXPECT_EQ(run->unseenMissed(), 1);
    run->markAllSeen();
    run = std::make_unique<CallHistory>(path, 3);
    EXPECT_EQ(run->unseenMissed(), 0);
}

TEST_F(SettingsFiles, AFullHistoryCountsItsMissedCallsAtOnceAndIsListedWhenLookedAtOrWhenACallComes) {
    using history::CallHistoryView;
    QDateTime now(QDate(2026, 3, 1), QTime(9, 30));
    vb::setClockForTesting([&] { return now; });
    const QString path = env.path("CallHistory.sqlite");
    const int calls = history::CallHistory::kDefaultMaxRows;
    {
        history::CallHistory store(path);
        for (int serial = 1; serial <= calls; ++serial) {
            now = now.addSecs(3600); // an hour apart, so none folds into another
            const auto outcome = serial % 4 == 0 ? CallActivity::Outcome::Missed : CallActivity::Outcome::Answered;
            store.record({quint64(serial), CallActivity::Phase::Ended, outcome, true, QStringLiteral("Ann"),
                          QStringLiteral("ann@x.org"), QStringLiteral("10.0.0.%1:5060").arg(serial % 200), false, ""});
        }
    }
    // At start the tab's title counts the missed calls; the rows wait until they are wanted.
    CallHistoryView hidden;
    hidden.open(path);
    EXPECT_EQ(CallHistoryView::tabTitle(hidden.unseenMissed()), QStringLiteral("History (%1)").arg(calls / 4));
    EXPECT_EQ(hidden.lstHistory->topLevelItemCount(), 0);
    // The user looks: every call, newest first, and none is unseen any more.
    hidden.show();
    ASSERT_EQ(hidden.lstHistory->topLevelItemCount(), calls);
    EXPECT_EQ(hidden.unseenMissed(), 0);
    // In another run a call comes while the tab is not looked at: the list holds it and the rest.
    CallHistoryView next;
    next.open(path);
    now = now.addSecs(3600);
    next.record({quint64(calls + 1), CallActivity::Phase::Ended, CallActivity::Outcome::Missed, true,
                 QStringLiteral("Bob"), QStringLiteral("bob@x.org"), QStringLiteral("10.0.1.1:5060"), false, ""});
    ASSERT_EQ(next.lstHistory->topLevelItemCount(), calls);
    EXPECT_EQ(next.lstHistory->topLevelItem(0)->text(CallHistoryView::kContact), QStringLiteral("Bob"));
    EXPECT_EQ(next.unseenMissed(), 1);
}

// Whatever the process's umask and whatever an older version left behind, each file the client
// writes is the user's alone, and so are the folders it makes for them.
TEST_F(SettingsFiles, EveryFileTheClientWritesAndEveryFolderItMakesIsTheUsersAlone) {
    const mode_t before = ::umask(022);
    const auto mode = [](const QString& path) {
        struct stat info {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
    };
    for (const char* name : {"RTC_Chat.kvo", "ColloqChat.kvo", "RTC_Name.kvo", "CallHistory.sqlite"}) {
        QFile old(env.path(QString::fromLatin1(name)));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly)); // empty, as an earlier run might have left it
        old.close();
        ::chmod(QFile::encodeName(old.fileName()).constData(), 0644);
    }
    writeServerAddressFile({.userId = "42", .email = "me@x.org", .serverIp = "10.0.0.1", .serverPort = "19991"});
    writeUserSettingsFile("2005" + msg({"", "0", "10.0.0.1", "r.example", "/a.asp", "12052026"}));
    writeDisplayNameFile("Ann");
    basMain::fnLogError(QStringLiteral("EveryFile[1]"), false);
    CallActivity call{1, CallActivity::Phase::Ringing, CallActivity::Outcome::Missed, true, "Ann", "a@x.org", "", false,
                      ""};
    history::CallHistory calls(env.path("CallHistory.sqlite"));
    ASSERT_TRUE(calls.record(call));
    ASSERT_EQ(env.logLines().size(), 1);
    for (const QString& name : QDir(env.dir()).entryList(QDir::Files | QDir::Hidden))
        EXPECT_EQ(mode(env.path(name)), 0600) << name.toStdString();
    for (const QString& name : QDir(env.path("logs")).entryList(QDir::Files))
        EXPECT_EQ(mode(env.path("logs/" + name)), 0600) << name.toStdString();

    // The per-user folder of an installed client, with its logs folder, made at the first start and
    // narrowed again where an earlier version left it open.
    const QString user = env.path("home/.local/share/ColloqChat/ColloqChat");
    EXPECT_EQ(vb::chooseAppPath("/usr/bin", user), user);
    for (const QString& folder : {env.path("home/.local"), user, user + "/logs"})
        EXPECT_EQ(mode(folder), 0700) << folder.toStdString();
    ::chmod(QFile::encodeName(user).constData(), 0755);
    vb::chooseAppPath("/usr/bin", user);
    EXPECT_EQ(mode(user), 0700);
    // A folder of the program's own, as scripts/run.sh uses, is the user's choice and left alone.
    ::chmod(QFile::encodeName(env.dir()).constData(), 0755);
    EXPECT_EQ(vb::chooseAppPath(env.dir(), user), env.dir());
    EXPECT_EQ(mode(env.dir()), 0755);
    ::umask(before);
}

// A move announced by a server that proved its key (over a plain link, and unasked, it is refused:
// see chatlink_test); the identity that registration stored goes with it.
TEST_F(SettingsFiles, AMoveOverAProvenLinkKeepsTheIdentityThatRegistrationStored) {
    // Replies arrive through the reply handler, on controls like the window's.
    chatlink::ContactsModel users;
    testenv::setUpUserList(users);
    Identity identity = identityFromFields({"10.1.2.3", "19992", "42", "me@x.org"});
    QTimer registration;
    QTimer serverCall;
    const ReplyTarget target{&users, &identity, [](const QString&, int) {}, &registration, &serverCall};
    writeServerAddressFile(identity);
    g_strMsgReceived = msg({"111", "7", "Ann", "ann@x.org", "10.0.0.7", "1", "10.9.9.9", "20000"});
    fnUseMSGReceived(target, {"1", true});
    EXPECT_EQ(testenv::readScrambledFile(serverAddressFilePath()), msg({"10.9.9.9", "20000", "42", "me@x.org"}));
    EXPECT_EQ(identity, identityFromFields({"10.9.9.9", "20000", "42", "me@x.org"}));
    EXPECT_TRUE(env.logLines().isEmpty());
}

} // namespace
