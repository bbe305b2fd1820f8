#include "desktop/TrayIcon.h"

#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "desktop/CallDesktop.h"
#include "desktop/CallNotifier.h"
#include "desktop/CallPictures.h"
#include "platform/widgets/MsgBox.h"

#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>

namespace desktop {

TrayIcon::TrayIcon(CallRequests& requests, QObject* parent) : QObject(parent), m_menu(std::make_unique<QMenu>()) {
    QAction* show = m_menu->addAction(QStringLiteral("Show"));
    m_answer = m_menu->addAction(QStringLiteral("Answer"));
    m_decline = m_menu->addAction(QStringLiteral("Decline"));
    m_hangUp = m_menu->addAction(QStringLiteral("Hang up"));
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("Quit"));
    connect(show, &QAction::triggered, &requests, &CallRequests::showRequested);
    connect(m_answer, &QAction::triggered, &requests, [&requests] {
        emit requests.showRequested();
        emit requests.answerRequested();
    });
    connect(m_decline, &QAction::triggered, &requests, &CallRequests::declineRequested);
    // Terminate refuses a ringing call and ends one being placed or connected alike.
    connect(m_hangUp, &QAction::triggered, &requests, &CallRequests::declineRequested);
    connect(quit, &QAction::triggered, &requests, &CallRequests::quitRequested);

    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray, &QSystemTrayIcon::activated, &requests, [&requests](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit requests.showRequested();
    });
    setState(State::Idle, {});
    // On X11 the icon docks whenever a tray host comes, even after the program; elsewhere only a
    // host there now can take it.
    if (QSystemTrayIcon::isSystemTrayAvailable() || QGuiApplication::platformName() == QLatin1String("xcb"))
        m_tray->show();
}

TrayIcon::~TrayIcon() = default;

QString TrayIcon::keptRunningNotice() {
    return QStringLiteral("ColloqChat keeps running in the tray so that you can be called. Choose Quit in its menu "
                          "to stop it, or tick \"Quit when the window is closed\" on the Tools tab.");
}

void TrayIcon::tellKeptRunningOnce() {
    basMain::DesktopSettings settings = basMain::readDesktopSettings();
    if (settings.trayNoticeShown) return;
    vb::MsgBox(keptRunningNotice(), vb::vbInformation | vb::vbOKOnly, QStringLiteral("ColloqChat"));
    settings.trayNoticeShown = true;
    basMain::trySkip(QStringLiteral("hidesToTray"), [&settings] { basMain::writeDesktopSettings(settings); });
}

bool TrayIcon::available() const {
    return m_tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::follow(const CallActivity& activity) {
    const QString party = CallNotifier::plainLine(activity.name.isEmpty() ? activity.email : activity.name);
    switch (activity.phase) {
    case CallActivity::Phase::Ringing:
        if (!activity.incoming) break;
        m_call = activity.call;
        setState(State::Ringing, party);
        break;
    case CallActivity::Phase::Placing:
    case CallActivity::Phase::Connected:
        m_call = activity.call;
        setState(State::InCall, party);
        break;
    case CallActivity::Phase::Ended:
        if (activity.call != m_call) break; // turned away while busy: the call shown goes on
        m_call = 0;
        setState(State::Idle, {});
        break;
    }
}

void TrayIcon::setState(State state, const QString& party) {
    m_state = state;
    m_answer->setEnabled(state == State::Ringing);
    m_decline->setEnabled(state == State::Ringing);
    m_hangUp->setEnabled(state == State::InCall);
    m_tray->setIcon(stateIcon(state));
    // The party names itself: tooltips read rich text, so the name goes in as plain text.
    switch (state) {
    case State::Idle:
        m_tray->setToolTip(QStringLiteral("ColloqChat"));
        break;
    case State::Ringing:
        m_tray->setToolTip(Qt::convertFromPlainText(QStringLiteral("ColloqChat: incoming call from ") + party));
        break;
    case State::InCall:
        m_tray->setToolTip(Qt::convertFromPlainText(QStringLiteral("ColloqChat: in a call with ") + party));
        break;
    }
}

} // namespace desktop
