#pragma once
// The calls as a tray icon: idle, ringing or in a call, with a menu to show the window, answer or
// decline a ringing call, and quit. Without a tray host nothing shows and nothing changes.
#include "core/CallActivity.h"
#include "desktop/CallPictures.h"

#include <QObject>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace desktop {

class CallRequests;

class TrayIcon : public QObject {
    Q_OBJECT
public:
    using State = CallState;

    // What is picked in the menu, or a click on the icon, goes to `requests`.
    explicit TrayIcon(CallRequests& requests, QObject* parent = nullptr);
    ~TrayIcon() override;

    void follow(const CallActivity& activity);
    State state() const { return m_state; }
    // Whether a tray host shows the icon now, so that a window closed to it can be found again.
    bool available() const;
    // What the user is told the first time the window closes to the tray.
    static QString keptRunningNotice();
    // Tells it, unless it was told before (the settings file remembers).
    static void tellKeptRunningOnce();
    QMenu* menu() const { return m_menu.get(); }

private:
    void setState(State state, const QString& party);

    std::unique_ptr<QMenu> m_menu; // a top-level widget: it has no parent to go with
    QSystemTrayIcon* m_tray = nullptr;
    QAction* m_answer = nullptr;
    QAction* m_decline = nullptr;
    QAction* m_hangUp = nullptr;
    State m_state = State::Idle;
    quint64 m_call = 0; // the call shown, 0 for none
};

} // namespace desktop
