// The desktop's share of calls from linphonec (Debian's linphone-cli), under the test's own X
// server and session bus with Debian's notification daemon (dunst) and tray host (trayer): a
// ringing call shows a notification naming the caller and turns the tray icon to ringing; the
// notification's actions answer or refuse it, and it goes away however the ring ends.
#include "app/frmMain.h"
#include "core/basMain.h"
#include "desktop/CallDesktop.h"
#include "desktop/TrayIcon.h"
#include "support/FrmMainCallAccess.h"
#include "support/Linphonec.h"
#include "support/TestEnv.h"

#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
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

TEST(DesktopCalls, ARingingCallIsNotifiedAndShownInTheTrayAndTheNotificationAnswersOrRefusesIt) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
    for (const char* program : {"linphonec", "dunst", "trayer", "dbus-monitor"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) GTEST_SKIP() << program;
    DesktopHosts hosts;
    ASSERT_TRUE(hosts.start());
    testenv::TestEnv env;
    frmMain form;
    FrmMainCallAccess::initRtc(form);
    form.show();
    EXPECT_TRUE(trayShows(State::Idle));
    testsupport::Linphonec peer(false);
    ASSERT_TRUE(peer.started());

    const struct {
        const char* action;  // picked in the notification; none: the caller hangs up
        const char* peerEnd; // what linphonec prints when the call is over
    } cases[] = {{"Decline", "declined"}, {"Answer", " ended"}, {nullptr, " ended"}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.action ? test.action : "caller hangs up");
        // The window rings in a loop of its own: what the user sees and does meanwhile runs in it.
        bool shown = false;
        bool trayRang = false;
        QTimer whileRinging;
        QObject::connect(&whileRinging, &QTimer::timeout, [&] {
            if (!form.cmdAnswer->isEnabled()) return;
            whileRinging.stop();
            shown = testenv::waitFor([&] { return hosts.shown() == 1; });
            trayRang = trayShows(State::Ringing);
            test.action ? hosts.choose(test.action) : peer.command("terminate");
        });
        whileRinging.start(50);
        const qsizetype before = peer.output().size();
        peer.command(("call sip:127.0.0.1:" + basMain::g_strMyWanIP.section(QLatin1Char(':'), -1)).toUtf8().data());
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
        EXPECT_TRUE(shown && trayRang) << shown << trayRang;
        // Read on the bus: the notification named the caller.
        const QByteArray notified = hosts.monitor.readAll();
        EXPECT_EQ(notified.count("member=Notify"), 1);
        EXPECT_TRUE(notified.contains("string \"Unknown caller: linphonec peer\nsip:127.0.0.1:")) << notified.data();
        EXPECT_TRUE(testenv::waitFor([&] { return hosts.shown() == 0; }));
        EXPECT_TRUE(trayShows(State::Idle));
        ASSERT_TRUE(testenv::waitFor([&] { return !form.g_objSession && form.g_intIncomingCount == 0; }, 30000));
    }
    int cancel = 0;
    form.Form_Unload(cancel);

    // A ringing call's notification does not outlive the program that asked for it.
    {
        desktop::CallDesktop calls;
        CallActivity ring;
        ring.call = 1;
        ring.incoming = true;
        calls.follow(ring);
        ASSERT_TRUE(testenv::waitFor([&] { return hosts.shown() == 1; }));
    }
    EXPECT_EQ(hosts.shown(), 0);
}
