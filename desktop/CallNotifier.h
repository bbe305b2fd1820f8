#pragma once
// An incoming call as a desktop notification (the freedesktop Notifications service on the session
// bus) naming the caller, with "Answer" and "Decline"; it is withdrawn as soon as the call is
// answered, refused or given up. Each call that rang unanswered then leaves a notification of its
// own, "Missed call from ...", which opens the call history. Without a bus or a notification
// server it does nothing, quietly.
#include "core/CallActivity.h"

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QObject>
#include <functional>
#include <optional>

class QDBusPendingCall;

namespace desktop {

class CallRequests;

class CallNotifier : public QObject {
    Q_OBJECT
public:
    // The user's choices in the notification go to `requests`.
    CallNotifier(const QDBusConnection& bus, CallRequests& requests, QObject* parent = nullptr);
    ~CallNotifier() override;

    // Follows one report of the window's calls.
    void follow(const CallActivity& activity);

    // The caller as a notification shows it: one line of printable text, at most 80 characters.
    static QString plainLine(const QString& text);
    // Plain text made safe for a notification's body: escaped where the server says it reads
    // markup, markup's characters replaced by look-alikes where it does not say so.
    static QString bodyText(const QString& text, bool serverReadsMarkup);

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onNotificationClosed(uint id, uint reason);

private:
    // Runs `then` once the server's capabilities are known (asked once, on the first need); never
    // where no server answers.
    void withCapabilities(std::function<void()> then);
    void ring(const CallActivity& activity);
    void notify(const CallActivity& activity);
    void notifyMissed(const CallActivity& activity);
    void countMoreMissed();
    // A missed call's notification, in place of notification `replaces` (0: a new one); `shown` gets
    // its number (0: not shown).
    void showMissed(const QString& summary, const QString& body, uint replaces, std::function<void(uint)> shown);
    // Who called, as the notifications name the caller: the name, else the address.
    static QString callerName(const CallActivity& activity);
    static QString callerAddress(const CallActivity& activity);
    void withdraw();
    void whenDone(const QDBusPendingCall& call, std::function<void(const QDBusMessage&)> done);

    QDBusConnection m_bus;
    CallRequests& m_requests;
    bool m_capabilitiesKnown = false;
    bool m_bodyMarkup = false; // the server reads the body as markup: the caller's text is escaped
    quint64 m_call = 0;        // the ringing call shown, 0 for none
    uint m_id = 0;             // its notification, 0 until the server has answered
    // The request that shows the ringing call's notification, answered or not.
    std::optional<QDBusPendingCall> m_showing;
    // The missed calls' notifications still shown, whose click opens the history; the oldest are
    // forgotten past a bound (the server may never say they were closed).
    QList<uint> m_missed;
    static constexpr qsizetype kMaxMissedKept = 64;
    // At most this many missed calls a minute are notified one by one.
    static constexpr int kMissedPerWindow = 5;
    static constexpr qint64 kMissedWindowMs = 60000;
    QElapsedTimer m_missedWindow;
    int m_missedInWindow = 0;
    uint m_moreMissedId = 0; // the notification that counts the rest, 0 for none yet
    bool m_moreMissedAsked = false;
    static constexpr int kNotifyWaitMs = 5000;
};

} // namespace desktop
