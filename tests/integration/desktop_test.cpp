// The desktop's share of calls from linphonec (Debian's linphone-cli), under the test's own X
// server and session bus with Debian's notification daemon (dunst) and tray host (trayer): a
// ringing call shows a notification naming the caller and turns the tray icon to ringing; the
// notification's actions answer or refuse it, and it goes away however the ring ends.
#include "EngineWindow.h"
#include "core/SettingsFiles.h"
#include "desktop/Autostart.h"
#include "desktop/CallDesktop.h"
#include "desktop/TrayIcon.h"
#include "support/Children.h"
#include "support/Linphonec.h"
#include "support/RawSipPeer.h"
#include "support/ScriptedChatServer.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include <QApplication>
#include <QCheckBox>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <csignal>
#include <gtest/gtest.h>

using State = desktop::TrayIcon::State;

namespace {

QStringList words(const char* line) {
    return QString::fromLatin1(line).split(QLatin1Char(' '));
}

// The daemon's menu of actions (dunstctl context) goes to a script that picks the action named in
// the file "choice", as a user would.
struct DesktopHosts {
    QTemporaryDir dir;
    QProcess dunst, trayer, monitor; // the monitor sees every call to the notification service
    void put(const char* name, const QByteArray& text) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        if (file.open(QIODevice::WriteOnly)) file.write(text);
        file.setPermissions(file.permissions() | QFile::ExeOwner);
    }
    bool start() {
        put("pick", "#!/bin/sh\ngrep -m1 -i \"$(cat '" + dir.filePath(QStringLiteral("choice")).toUtf8() + "')\"\n");
        put("dunstrc", "[global]\ndmenu = " + dir.filePath(QStringLiteral("pick")).toUtf8() + "\n");
        for (QProcess* part : {&dunst, &trayer, &monitor})
            testsupport::endWithRun(*part);
        dunst.start(QStringLiteral("dunst"), {QStringLiteral("-config"), dir.filePath(QStringLiteral("dunstrc"))});
        trayer.start(QStringLiteral("trayer"), words("--edge bottom --height 32 --widthtype pixel --width 96"));
        monitor.start(QStringLiteral("dbus-monitor"), words("--session interface='org.freedesktop.Notifications'"));
        return testenv::waitFor(
            [] {
                return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                           QStringLiteral("org.freedesktop.Notifications")) &&
                       QSystemTrayIcon::isSystemTrayAvailable();
            },
            30000);
    }
    ~DesktopHosts() {
        for (QProcess* process : {&monitor, &trayer, &dunst})
            process->kill(), process->waitForFinished(5000);
    }
    void choose(const char* action) {
        put("choice", action);
        QProcess::execute(QStringLiteral("dunstctl"), {QStringLiteral("context")});
    }
    int shown() {
        QProcess count;
        count.start(QStringLiteral("dunstctl"), words("count displayed"));
        count.waitForFinished(10000);
        return count.readAll().trimmed().toInt();
    }
};

// Whether the tray at the screen's foot shows the icon's disc in the colour of `state`, and in no
// other (the notification, at the top, shows the ringing picture too).
bool trayShows(State state) {
    return testenv::waitFor(
        [&] {
            const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
            for (const State each : {State::Idle, State::Ringing, State::InCall}) {
                const QRgb colour = desktop::stateColour(each).rgb();
                bool seen = false;
                for (int y = screen.height() - 40; y < screen.height() && !seen; ++y)
                    for (int x = 0; x < screen.width() && !seen; ++x)
                        seen = screen.pixel(x, y) == colour;
                if (seen != (each == state)) return false;
            }
            return true;
        },
        30000);
}

} // namespace

// The window on the real engine, on a desktop with its hosts running.
class DesktopCalls : public ::testing::Test {
protected:
    DesktopHosts hosts;
    testenv::TestEnv env;
    std::unique_ptr<frmMain> window;

    void SetUp() override {
        if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
        for (const char* program : {"linphonec", "dunst", "trayer", "dbus-monitor"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) GTEST_SKIP() << program;
        ASSERT_TRUE(hosts.start());
        window = std::make_unique<frmMain>();
        FrmMainCallAccess::initRtc(*window);
        window->show();
    }
};

TEST_F(DesktopCalls, ARingingCallIsNotifiedAndShownInTheTrayAndTheNotificationAnswersOrRefusesIt) {
    frmMain& form = *window;
    EXPECT_TRUE(trayShows(State::Idle));
    testsupport::Linphonec peer(false);
    ASSERT_TRUE(peer.started());

    const struct {
        const char* action;  // picked in the notification; none: the caller hangs up
        const char* peerEnd; // what linphonec prints when the call is over
    } cases[] = {{"Decline", "declined"}, {"Answer", " ended"}, {nullptr, " ended"}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.action ? test.action : "caller hangs up");
        form.SSTab1->setCurrentWidget(form.viewHistory); // Answer and Terminate are not in sight
        // Closed, the window goes to the tray (saying so the first time only); a call brings it back.
        form.close();
        ASSERT_TRUE(form.isHidden() && !form.isUnloaded());
        bool shown = false;
        bool trayRang = false;
        const auto whileRinging = enginewindow::whenRinging(form, [&] {
            shown = testenv::waitFor([&] { return hosts.shown() == 1; }) && form.SSTab1->currentIndex() == 0 &&
                    form.isVisible();
            trayRang = trayShows(State::Ringing);
            test.action ? hosts.choose(test.action) : peer.command("terminate");
        });
        const qsizetype before = peer.output().size();
        peer.command(("call sip:" + enginewindow::sipTarget()).toUtf8().data());
        const auto peerSays = [&](const char* text) {
            return testenv::waitFor(
                [&] { return peer.output().mid(before).contains(QString::fromLatin1(text), Qt::CaseInsensitive); },
                30000);
        };
        if (QByteArray(test.action) == "Answer") {
            ASSERT_TRUE(peerSays(" connected")) << peer.output().toStdString();
            EXPECT_TRUE(trayShows(State::InCall));
            // The call is ended from the tray's menu.
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* menu = qobject_cast<QMenu*>(widget))
                    for (QAction* action : menu->actions())
                        if (action->text() == QStringLiteral("Hang up") && action->isEnabled()) action->trigger();
        }
        ASSERT_TRUE(peerSays(test.peerEnd)) << peer.output().toStdString();
        EXPECT_TRUE(shown && trayRang) << shown << trayRang;
        ASSERT_TRUE(testenv::waitFor([&] { return !form.g_objSession && form.g_intIncomingCount == 0; }, 30000));
        // A call nobody answered stays on the desktop as missed, and leads to the history.
        EXPECT_TRUE(testenv::waitFor([&] { return hosts.shown() == (test.action ? 0 : 1); }));
        if (!test.action) hosts.choose("call history");
        EXPECT_TRUE(testenv::waitFor([&] { return hosts.shown() == 0; }));
        EXPECT_EQ(form.SSTab1->currentWidget() == form.viewHistory, !test.action);
        EXPECT_TRUE(trayShows(State::Idle));
        // Read on the bus: the notifications named the caller.
        const QByteArray notified = hosts.monitor.readAll();
        EXPECT_EQ(notified.count("member=Notify"), test.action ? 1 : 2);
        EXPECT_TRUE(notified.contains("string \"Unknown caller: linphonec peer\nsip:127.0.0.1:")) << notified.data();
        EXPECT_EQ(notified.count("string \"Missed call from Unknown caller: linphonec peer\""), test.action ? 0 : 1);
    }
    EXPECT_EQ(env.boxes().size(), 1); // the notice that it runs on in the tray, once
    enginewindow::unload(form);

    // A ringing call's notification does not outlive the program that asked for it.
    {
        desktop::CallDesktop calls;
        CallActivity ring;
        ring.call = 1;
        ring.incoming = true;
        calls.follow(ring);
        ASSERT_TRUE(testenv::waitFor([&] { return hosts.shown() == 1; }));
    }
    // The daemon takes it away once it has heard the close, a moment later on a busy machine.
    EXPECT_TRUE(testenv::waitFor([&] { return hosts.shown() == 0; }, 5000));

    // A flood of missed calls shows five, then one notification that counts the rest.
    desktop::CallDesktop calls;
    CallActivity missed;
    missed.phase = CallActivity::Phase::Ended;
    missed.outcome = CallActivity::Outcome::Missed;
    missed.incoming = true;
    for (missed.call = 2; missed.call < 42; ++missed.call) {
        missed.name = QStringLiteral("Mallory ") + QString::number(missed.call);
        calls.follow(missed);
    }
    QByteArray bus;
    EXPECT_TRUE(testenv::waitFor([&] {
        bus += hosts.monitor.readAll();
        return bus.contains("string \"35 more, listed in the call history\"");
    }));
    EXPECT_EQ(bus.count("string \"Missed call from Mallory "), 5);
    // Five new notifications and one for the rest, which each count after the first replaces.
    EXPECT_EQ(bus.count("uint32 0\n   string \"call-missed\""), 6) << bus.data();
}

// What a caller names itself, 950 characters of it with right-to-left overrides and markup, rings
// as one clean line of bounded length in the caption, in dunst's notification and in the history.
TEST_F(DesktopCalls, AHostileNameShowsAsOneCleanBoundedLineEverywhere) {
    frmMain& form = *window;
    testenv::waitFor([] { return false; }, 300); // laid out
    const QSize size = form.size();

    // Markup, an override of the writing direction and a page of text, within what the engine takes.
    const QString rlo(QChar(0x202E));
    QString name = rlo + QStringLiteral("<b>Bank</b> <a href='http://x.example/'>call back</a> <u>now</u>") + rlo +
                   QStringLiteral("gnp.exe ");
    for (int part = 0; name.size() < 950; ++part)
        name += (part % 5 == 4 ? rlo : QString()) + QStringLiteral("&amp; more <i>text</i> ");
    name.truncate(950);
    testsupport::RawSipPeer mallory(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(mallory.bound());
    mallory.fromValue = '"' + name.toUtf8() + "\" <sip:m@127.0.0.2>;tag=1";
    ASSERT_LE(mallory.fromValue.size(), 1000); // what the engine takes

    QString caption;
    const auto whileRinging = enginewindow::whenRinging(form, [&] {
        caption = form.fraStatus->title();
        testenv::waitFor([&] { return hosts.shown() == 1; });
        form.cmdTerminate->click();
    });
    mallory.send(mallory.invite(enginewindow::sipTarget(), {}));
    ASSERT_FALSE(mallory.waitFor("SIP/2.0 603", "INVITE").isEmpty());
    ASSERT_TRUE(testenv::waitFor([&] { return !form.g_objSession && form.g_intIncomingCount == 0; }));

    // The caption: no override, the window as wide as before.
    EXPECT_FALSE(caption.contains(rlo)) << caption.toStdString();
    EXPECT_EQ(form.size(), size);
    // The notification, read on the bus: the name cut to 80 characters, markup written as text.
    const QString notified = QString::fromUtf8(hosts.monitor.readAll());
    const qsizetype body = notified.indexOf(QStringLiteral("string \"Unknown caller: "));
    ASSERT_GE(body, 0) << notified.toStdString();
    const QString shownName = notified.mid(body + 8).section(QLatin1Char('\n'), 0, 0);
    EXPECT_FALSE(shownName.contains(rlo));
    EXPECT_FALSE(shownName.contains(QLatin1Char('<'))) << shownName.toStdString();
    EXPECT_TRUE(shownName.endsWith(QChar(0x2026))) << shownName.toStdString();
    EXPECT_LE(shownName.size(), 80 + 40); // escaped markup takes more characters than it shows
    // The history: the same clean line.
    EXPECT_FALSE(enginewindow::historyRow(form).value(history::CallHistoryView::kContact).contains(rlo));
    enginewindow::unload(form);
}

// The end of the session while the window is in the tray: it signs off at the chat server and the
// program's event loop ends, as Quit in the tray's menu does.
TEST_F(DesktopCalls, TheSessionsEndSignsOffFromTheTrayAndEndsTheProgram) {
    frmMain& form = *window;
    testsupport::ScriptedChatServer server;
    ASSERT_TRUE(server.listen());
    server.enqueue(testsupport::ScriptedChatServer::Reply::framed(QStringLiteral("2005")));
    basMain::g_strServerIP = server.host();
    basMain::g_strServerPort = QString::number(server.port());
    form.setIdentity(
        {QStringLiteral("17"), QStringLiteral("ann@example.com"), {}, server.host(), basMain::g_strServerPort});
    form.createSocketsForTesting();
    form.quitOnSessionEnd();
    form.close();
    ASSERT_TRUE(form.isHidden());
    QTimer::singleShot(100, [] { std::raise(SIGTERM); });
    QTimer::singleShot(60000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(form.isUnloaded());
    ASSERT_GE(server.connectionCount(), 1);
    EXPECT_TRUE(wire::unscrambled(wire::fromCp1252(server.request(server.connectionCount() - 1)))
                    .startsWith(QStringLiteral("2005") + wire::kSep + QStringLiteral("17")));
}

// The box "Desktop": quitting instead of the tray is kept and obeyed; start at login writes the
// desktop's autostart entry running this program, and removes it.
TEST_F(DesktopCalls, TheDesktopSettingsAreKeptAndObeyed) {
    frmMain& form = *window;
    env.makeLogsFolder();
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const QString entry = config.filePath(QStringLiteral("autostart/colloqchat.desktop"));
    form.chkStartAtLogin->click();
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains(
        "\nExec=" + desktop::execLine(QCoreApplication::applicationFilePath()).toUtf8() + "\n"));
    form.chkStartAtLogin->click();
    EXPECT_FALSE(QFile::exists(entry) || form.chkStartAtLogin->isChecked());
    qunsetenv("XDG_CONFIG_HOME");

    form.chkQuitOnClose->click();
    EXPECT_TRUE(basMain::readDesktopSettings().quitOnClose);
    basMain::g_blnQuitNoLogOff = true;
    form.close();
    basMain::g_blnQuitNoLogOff = false;
    EXPECT_TRUE(form.isUnloaded());
    EXPECT_TRUE(env.boxes().isEmpty());
}

// The autostart entry's Exec line runs the program wherever it lies, whatever its path holds.
TEST(StartAtLogin, TheExecLineQuotesAndEscapesThePath) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/colloqchat", "/usr/bin/colloqchat"},
        {"/opt/Colloq Chat/colloqchat", "\"/opt/Colloq Chat/colloqchat\""},
        {"/home/a\"b/$HOME/`x`/c", "\"/home/a\\\\\"b/\\\\$HOME/\\\\`x\\\\`/c\""},
        {"/tmp/back\\slash", "\"/tmp/back\\\\\\\\slash\""},
        {"/tmp/100%/x%u", "/tmp/100%%/x%%u"},
    };
    for (const auto& [path, exec] : cases)
        EXPECT_EQ(desktop::execLine(QString::fromUtf8(path)), QString::fromUtf8(exec)) << path;
}
