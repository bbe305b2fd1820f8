#include "desktop/CallDesktop.h"

#include "desktop/CallNotifier.h"
#include "desktop/TrayIcon.h"

namespace desktop {

CallDesktop::CallDesktop(QObject* parent)
    : QObject(parent), m_notifier(new CallNotifier(QDBusConnection::sessionBus(), this)), m_tray(new TrayIcon(this)) {
    connect(m_notifier, &CallNotifier::showRequested, this, &CallDesktop::showRequested);
    connect(m_notifier, &CallNotifier::answerRequested, this, &CallDesktop::answerRequested);
    connect(m_notifier, &CallNotifier::declineRequested, this, &CallDesktop::declineRequested);
    connect(m_tray, &TrayIcon::showRequested, this, &CallDesktop::showRequested);
    connect(m_tray, &TrayIcon::answerRequested, this, &CallDesktop::answerRequested);
    connect(m_tray, &TrayIcon::declineRequested, this, &CallDesktop::declineRequested);
    connect(m_tray, &TrayIcon::quitRequested, this, &CallDesktop::quitRequested);
}

void CallDesktop::follow(const CallActivity& activity) {
    m_notifier->follow(activity);
    m_tray->follow(activity);
}

} // namespace desktop
