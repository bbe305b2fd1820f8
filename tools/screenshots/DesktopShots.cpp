#include "DesktopShots.h"
#include "ShotSupport.h"

#include "desktop/CallDesktop.h"
#include "desktop/CallPictures.h"
#include "desktop/TrayIcon.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextStream>
#include <QThread>

namespace {

// Runs the event loop until `done` holds or `milliseconds` pass.
template <class Done> bool runUntil(Done done, int milliseconds) {
    const QDeadlineTimer deadline(milliseconds);
    while (!done() && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return done();
}

// The part of `area` on the screen that is not the bare black root window, with a margin.
bool saveShown(const QRect& area, const QString& folder, const char* name) {
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    QRect shown;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(screen.pixel(x, y)) > 0) shown |= QRect(x, y, 1, 1);
    return savePicture(shown.isEmpty() ? QImage() : screen.copy(shown.adjusted(-8, -8, 8, 8)), folder, name);
}

// The tray icon's three pictures side by side, idle, ringing and in a call, at twice tray size.
bool iconPictures(const QString& folder) {
    using desktop::CallState;
    QImage row(3 * 56 + 8, 64, QImage::Format_ARGB32);
    row.fill(Qt::transparent);
    QPainter painter(&row);
    int x = 8;
    for (const CallState state : {CallState::Idle, CallState::Ringing, CallState::InCall}) {
        painter.drawPixmap(x, 8, desktop::statePicture(state, 48));
        x += 56;
    }
    painter.end();
    return savePicture(row, folder, "tray-icons.png");
}

} // namespace

bool desktopPictures(const QString& folder) {
    desktop::CallDesktop calls;
    const auto* tray = calls.findChild<QSystemTrayIcon*>();
    if (!runUntil([&] { return QSystemTrayIcon::isSystemTrayAvailable() && tray->geometry().isValid(); }, 10000)) {
        QTextStream(stderr) << "no tray host" << Qt::endl;
        return false;
    }
    CallActivity ring;
    ring.call = 1;
    ring.incoming = true;
    ring.name = QStringLiteral("Bob Miller");
    ring.email = QStringLiteral("bob.miller@example.com");
    ring.address = QStringLiteral("192.168.1.23:5060");
    calls.follow(ring);
    runUntil([] { return false; }, 1500); // the daemon shows it
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    bool ok =
        saveShown(QRect(screen.center().x(), 0, screen.width() / 2, screen.height() / 2), folder, "notification.png");

    // The menu as a right click on the icon opens it: above the tray at the screen's foot.
    QMenu* menu = calls.tray().menu();
    menu->popup(tray->geometry().topLeft() - QPoint(0, menu->sizeHint().height() + 4));
    runUntil([] { return false; }, 500);
    ok = saveShown(QRect(screen.center().x(), screen.center().y(), screen.width() / 2, screen.height() / 2), folder,
                   "tray-menu.png") &&
         ok;
    menu->hide();
    ok = iconPictures(folder) && ok;

    // Nobody answered: the ring's notification goes, the missed call's comes.
    ring.phase = CallActivity::Phase::Ended;
    ring.outcome = CallActivity::Outcome::Missed;
    calls.follow(ring);
    runUntil([] { return false; }, 1500);
    ok = saveShown(QRect(screen.center().x(), 0, screen.width() / 2, screen.height() / 2), folder,
                   "notification-missed.png") &&
         ok;

    // What the window says the first time it closes to the tray.
    QMessageBox notice(QMessageBox::Information, QStringLiteral("ColloqChat"), desktop::TrayIcon::keptRunningNotice(),
                       QMessageBox::Ok);
    notice.show();
    runUntil([] { return false; }, 300);
    return savePicture(notice.grab().toImage(), folder, "tray-notice.png") && ok;
}
