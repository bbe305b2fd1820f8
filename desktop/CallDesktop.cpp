#include "desktop/CallDesktop.h"

#include "desktop/CallNotifier.h"
#include "desktop/TrayIcon.h"

#include <QFileInfo>

namespace desktop {

namespace {

// The session bus of the user's desktop. Where there is none, none is started for us (the D-Bus
// library would launch one on an X display): nobody would see its notifications.
QDBusConnection desktopBus() {
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        (runtimeDir.isEmpty() || !QFileInfo::exists(runtimeDir + QStringLiteral("/bus"))))
        return QDBusConnection(QStringLiteral("no desktop bus"));
    return QDBusConnection::sessionBus();
}

} // namespace

CallDesktop::CallDesktop(QObject* parent)
    : CallRequests(parent), m_notifier(new CallNotifier(desktopBus(), *this, this)), m_tray(new TrayIcon(*this, this)) {
}

void CallDesktop::follow(const CallActivity& activity) {
    m_notifier->follow(activity);
    m_tray->follow(activity);
}

} // namespace desktop
