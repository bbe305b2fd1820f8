#pragma once
// What the desktop shows of the calls, in one piece for the window to wire: the notification of a
// ringing call and the tray icon, each doing nothing where the desktop lacks its host.
#include "core/CallActivity.h"

#include <QObject>

namespace desktop {

class CallNotifier;
class TrayIcon;

// What the user asks of the window from the desktop. The notification and the tray icon emit
// these signals on the one object the window listens to.
class CallRequests : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    // Bring the window up.
    void showRequested();
    // Bring the window up on its call history (a missed call's notification was clicked).
    void historyRequested();
    // Answer or refuse the call ringing now (decline: or end the call in progress), as the
    // window's own buttons do.
    void answerRequested();
    void declineRequested();
    // Sign off and quit, as closing the window does.
    void quitRequested();
};

class CallDesktop : public CallRequests {
    Q_OBJECT
public:
    // On the session bus of the user's desktop, if there is one.
    explicit CallDesktop(QObject* parent = nullptr);

    void follow(const CallActivity& activity);
    TrayIcon& tray() const { return *m_tray; }
    CallNotifier& notifier() const { return *m_notifier; }

private:
    CallNotifier* m_notifier = nullptr;
    TrayIcon* m_tray = nullptr;
};

} // namespace desktop
