// The desktop's share of a call from linphonec (Debian's linphone-cli), under the test's own X
// server and session bus with Debian's notification daemon (dunst) and tray host (trayer): a
// ringing call shows a notification naming the caller and turns the tray icon to ringing; the
// notification's actions answer or refuse it, and it goes away however the ring ends.
#include "app/frmMain.h"
#include "core/basMain.h"
#include "desktop/TrayIcon.h"
#include "support/FrmMainCallAccess.h"
#include "support/Linphonec.h"
#include "support/TestEnv.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

bool have(const char* program) {
    return !QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty();
}

// The daemon's menu of actions (dunstctl context) goes to a script that picks the action named in
// the file "choice", as a user picks it.
struct DesktopHosts {
    QTemporaryDir dir;
    QProcess dunst, trayer, monitor;
    QString seen;

    bool start() {
        const QString script = dir.filePath(QStringLiteral("pick"));
        QFile pick(script);
        pick.open(QIODevice::WriteOnly);
        pick.write("#!/bin/sh\ngrep -m1 -i \"$(cat '" + dir.filePath(QStringLiteral("choice")).toUtf8() + "')\"\n");
        pick.close();
        pick.setPermissions(pick.permissions() | QFile::ExeOwner);
        QFile config(dir.filePath(QStringLiteral("dunstrc")));
        config.open(QIODevice::WriteOnly);
        config.write("[global]\n    dmenu = " + script.toUtf8() + "\n");
        config.close();
        dunst.start(QStringLiteral("dunst"), {QStringLiteral("-config"), config.fileName()});
        trayer.start(QStringLiteral("trayer"),
                     {QStringLiteral("--edge"), QStringLiteral("bottom"), QStringLiteral("--height"),
                      QStringLiteral("32"), QStringLiteral("--widthtype"), QStringLiteral("pixel"),
                      QStringLiteral("--width"), QStringLiteral("96")});
        monitor.start(QStringLiteral("dbus-monitor"),
                      {QStringLiteral("--session"), QStringLiteral("interface='org.freedesktop.Notifications'")});
        return testenv::waitFor(
            [] {
                return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                           QStringLiteral("org.freedesktop.Notifications")) &&
                       QSystemTrayIcon::isSystemTrayAvailable();
            },
            30000);
    }
    ~DesktopHosts() {
        for (QProcess* process : {&monitor, &trayer, &dunst}) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    void choose(const char* action) {
        QFile choice(dir.filePath(QStringLiteral("choice")));
        choice.open(QIODevice::WriteOnly);
        choice.write(action);
        choice.close();
        QProcess::execute(QStringLiteral("dunstctl"), {QStringLiteral("context")});
    }
    int shown() {
        QProcess count;
        count.start(QStringLiteral("dunstctl"), {QStringLiteral("count"), QStringLiteral("displayed")});
        count.waitForFinished(10000);
        return count.readAll().trimmed().toInt();
    }
    // The notifications asked for on the bus, as the monitor saw them.
    QStringList notified() {
        seen += QString::fromUtf8(monitor.readAllStandardOutput());
        return seen.split(QStringLiteral("member=Notify")).mid(1);
    }
};

// Pixels of exactly this colour on the screen: the tray icon's disc, once it is docked.
int onScreen(desktop::TrayIcon::State state) {
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    const QRgb colour = desktop::TrayIcon::colour(state).rgb();
    int count = 0;
    for (int y = 0; y < screen.height(); ++y)
        for (int x = 0; x < screen.width(); ++x)
            count += screen.pixel(x, y) == colour ? 1 : 0;
    return count;
}
bool trayShows(desktop::TrayIcon::State state) {
    using State = desktop::TrayIcon::State;
    return testenv::waitFor(
        [&] {
            for (const State other : {State::Idle, State::Ringing, State::InCall})
                if ((onScreen(other) > 0) != (other == state)) return false;
            return true;
        },
        30000);
}

} // namespace

TEST(DesktopCalls, ARingingCallIsNotifiedAndShownInTheTrayAndTheNotificationActsOnIt) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
    if (!testsupport::haveLinphonec() || !have("dunst") || !have("trayer") || !have("dbus-monitor"))
        GTEST_SKIP() << "needs linphonec, dunst, trayer and dbus-monitor";
    using State = desktop::TrayIcon::State;
    DesktopHosts hosts;
    ASSERT_TRUE(hosts.start());
    testenv::TestEnv env;
    env.makeLogsFolder();
    frmMain form;
    FrmMainCallAccess::initRtc(form);
    form.show();
    EXPECT_TRUE(trayShows(State::Idle));
    testsupport::Linphonec peer(false);
    ASSERT_TRUE(peer.started());

    const struct {
        const char* ending;
        const char* action;  // picked in the notification, else the caller hangs up
        const char* peerEnd; // what linphonec prints when the call is over
    } cases[] = {
        {"refused from the notification", "Decline", "declined"},
        {"answered from the notification", "Answer", " ended"},
        {"given up by the caller", nullptr, " ended"},
    };
    for (int index = 0; index < 3; ++index) {
        const auto& test = cases[index];
        SCOPED_TRACE(test.ending);
        // The window rings in a loop of its own: what the user sees and does meanwhile runs in it.
        bool rang = false;
        bool shown = false;
        bool named = false;
        bool trayRang = false;
        QTimer whileRinging;
        whileRinging.setInterval(50);
        QObject::connect(&whileRinging, &QTimer::timeout, [&] {
            if (!form.cmdAnswer->isEnabled()) return;
            whileRinging.stop();
            rang = true;
            shown = testenv::waitFor([&] { return hosts.shown() == 1; }, 30000);
            const QStringList asked = hosts.notified();
            named = asked.size() == index + 1 && asked.last().contains(QStringLiteral("string \"linphonec peer\n"));
            trayRang = trayShows(State::Ringing);
            if (test.action)
                hosts.choose(test.action);
            else
                peer.command("terminate");
        });
        whileRinging.start();
        const qsizetype before = peer.output().size();
        peer.command(
            ("call sip:127.0.0.1:" + basMain::g_strMyWanIP.section(QLatin1Char(':'), -1)).toUtf8().constData());
        const auto peerSays = [&](const char* text) {
            return testenv::waitFor(
                [&] { return peer.output().mid(before).contains(QString::fromLatin1(text), Qt::CaseInsensitive); },
                30000);
        };
        if (QByteArray(test.action) == "Answer") {
            ASSERT_TRUE(peerSays(" connected")) << peer.output().toStdString();
            EXPECT_TRUE(trayShows(State::InCall));
            EXPECT_EQ(hosts.shown(), 0);
            form.cmdTerminate->click();
        }
        ASSERT_TRUE(peerSays(test.peerEnd)) << peer.output().toStdString();
        EXPECT_TRUE(rang && shown && trayRang) << rang << shown << trayRang;
        EXPECT_TRUE(named) << hosts.notified().join(QStringLiteral("-----")).toStdString();
        EXPECT_TRUE(testenv::waitFor([&] { return hosts.shown() == 0; }, 30000));
        EXPECT_TRUE(trayShows(State::Idle));
        ASSERT_TRUE(testenv::waitFor([&] { return !form.g_objSession && form.g_intIncomingCount == 0; }, 30000));
    }
    int cancel = 0;
    form.Form_Unload(cancel);
}
