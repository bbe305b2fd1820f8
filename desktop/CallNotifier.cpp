#include "desktop/CallNotifier.h"

#include "desktop/CallDesktop.h"
#include "desktop/CallPictures.h"
#include "wire/PeerText.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QImage>
#include <QVariantMap>
#include <functional>

namespace {
// A picture as notification servers take it: the "image-data" hint, (iiibiiay) on the bus.
struct NotificationImage {
    QImage rgba;
};
QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& picture) {
    const QImage& image = picture.rgba;
    argument.beginStructure();
    argument << qint32(image.width()) << qint32(image.height()) << qint32(image.bytesPerLine()) << true << qint32(8)
             << qint32(4) << QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage&) {
    return argument; // only ever sent
}
} // namespace
Q_DECLARE_METATYPE(NotificationImage)

namespace desktop {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr qsizetype kMaxShown = 80;

QDBusMessage method(const QString& name) {
    return QDBusMessage::createMethodCall(kService, kPath, kService, name);
}

QDBusMessage closing(uint id) {
    QDBusMessage close = method(QStringLiteral("CloseNotification"));
    close << id;
    return close;
}

} // namespace

CallNotifier::CallNotifier(const QDBusConnection& bus, CallRequests& requests, QObject* parent)
    : QObject(parent), m_bus(bus), m_requests(requests) {
    if (!m_bus.isConnected()) return;
    qDBusRegisterMetaType<NotificationImage>();
    // Only the service's owner can raise these: another program on the bus cannot answer for the user.
    m_bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), this,
                  SLOT(onNotificationClosed(uint, uint)));
}

CallNotifier::~CallNotifier() {
    // A call's notification must not outlive the program: it would offer to answer a call gone.
    // The program is closing, so this one is waited for, briefly. A notification shown but not
    // yet known by its number is waited for first: the server may show it before it answers.
    uint id = m_id;
    if (id == 0 && m_call != 0 && m_showing.has_value()) {
        m_showing->waitForFinished();
        const QDBusMessage reply = m_showing->reply();
        if (reply.type() == QDBusMessage::ReplyMessage) id = reply.arguments().value(0).toUInt();
    }
    if (id != 0) m_bus.call(closing(id), QDBus::Block, 1000);
}

QString CallNotifier::plainLine(const QString& text) {
    // The caller names itself: a line break, a direction mark or a page of text must not dress
    // up the notification as something else.
    return wire::cleanPeerText(text, kMaxShown);
}

QString CallNotifier::bodyText(const QString& text, bool serverReadsMarkup) {
    if (serverReadsMarkup) return text.toHtmlEscaped();
    // A server that does not say it reads markup may read it all the same; one that really does
    // not would show entities. Characters that look the same but mean nothing to markup suit both.
    QString safe = text;
    safe.replace(QLatin1Char('&'), QChar(0xFF06))
        .replace(QLatin1Char('<'), QChar(0x2039))
        .replace(QLatin1Char('>'), QChar(0x203A));
    return safe;
}

void CallNotifier::follow(const CallActivity& activity) {
    if (!m_bus.isConnected()) return;
    switch (activity.phase) {
    case CallActivity::Phase::Ringing:
        withdraw();
        if (activity.incoming) ring(activity);
        break;
    case CallActivity::Phase::Placing:
        break;
    case CallActivity::Phase::Connected:
        if (activity.call == m_call) withdraw();
        break;
    case CallActivity::Phase::Ended:
        // A call turned away while busy comes with a serial of its own and never rang here.
        if (activity.call == m_call) withdraw();
        if (activity.incoming && activity.outcome == CallActivity::Outcome::Missed) {
            withCapabilities([this, activity] { notifyMissed(activity); });
        }
        break;
    }
}

void CallNotifier::withCapabilities(std::function<void()> then) {
    if (m_capabilitiesKnown) {
        then();
        return;
    }
    // Whether the body is read as markup decides how the caller's text is written into it.
    whenDone(m_bus.asyncCall(method(QStringLiteral("GetCapabilities"))),
             [this, then = std::move(then)](const QDBusMessage& reply) {
                 if (reply.type() != QDBusMessage::ReplyMessage) return; // no notification server
                 m_capabilitiesKnown = true;
                 m_bodyMarkup = reply.arguments().value(0).toStringList().contains(QStringLiteral("body-markup"));
                 then();
             });
}

void CallNotifier::ring(const CallActivity& activity) {
    m_call = activity.call;
    withCapabilities([this, activity] {
        if (m_call == activity.call) notify(activity);
    });
}

QString CallNotifier::callerAddress(const CallActivity& activity) {
    return plainLine(activity.email.isEmpty() ? activity.address : activity.email);
}

QString CallNotifier::callerName(const CallActivity& activity) {
    const QString name = plainLine(activity.name);
    return name.isEmpty() ? callerAddress(activity) : name;
}

void CallNotifier::notify(const CallActivity& activity) {
    const QString caller = callerName(activity);
    const QString address = callerAddress(activity);
    QString body = caller;
    if (!address.isEmpty() && address != caller) body += QLatin1Char('\n') + address;
    body = bodyText(body, m_bodyMarkup);

    QDBusMessage message = method(QStringLiteral("Notify"));
    const QStringList actions{QStringLiteral("default"), QStringLiteral("Show"),    QStringLiteral("answer"),
                              QStringLiteral("Answer"),  QStringLiteral("decline"), QStringLiteral("Decline")};
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(2))); // stays until the call is over
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("colloqchat"));
    hints.insert(QStringLiteral("image-data"),
                 QVariant::fromValue(NotificationImage{
                     statePicture(CallState::Ringing, 64).toImage().convertToFormat(QImage::Format_RGBA8888)}));
    message << QStringLiteral("ColloqChat") << uint(0) << QStringLiteral("call-start")
            << QStringLiteral("Incoming call") << body << actions << hints << qint32(0);
    const quint64 call = activity.call;
    m_showing = m_bus.asyncCall(message, kNotifyWaitMs);
    whenDone(*m_showing, [this, call](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) return;
        const uint id = reply.arguments().value(0).toUInt();
        if (id == 0) return;
        if (call == m_call && m_id == 0) {
            m_id = id;
        } else {
            // The call ended (or another rang) while the server was showing this one.
            m_bus.asyncCall(closing(id));
        }
    });
}

void CallNotifier::notifyMissed(const CallActivity& activity) {
    // A flood of calls (a stranger calling again and again while the line is busy) must not bury the
    // desktop: past a few a minute, one notification counts the rest.
    if (!m_missedWindow.isValid() || m_missedWindow.hasExpired(kMissedWindowMs)) {
        m_missedWindow.start();
        m_missedInWindow = 0;
        m_moreMissedId = 0;
    }
    if (++m_missedInWindow > kMissedPerWindow) {
        countMoreMissed();
        return;
    }
    // The summary is plain text by definition; the address goes in the body, made safe for it.
    const QString caller = callerName(activity);
    const QString address = callerAddress(activity);
    showMissed(QStringLiteral("Missed call from ") + caller,
               bodyText(address == caller ? QString() : address, m_bodyMarkup), 0, [](uint) {});
}

void CallNotifier::countMoreMissed() {
    // One request at a time, each replacing the last: its answer shows the count reached meanwhile.
    if (m_moreMissedAsked) return;
    m_moreMissedAsked = true;
    const int count = m_missedInWindow;
    showMissed(QStringLiteral("More missed calls"),
               QString::number(count - kMissedPerWindow) + QStringLiteral(" more, listed in the call history"),
               m_moreMissedId, [this, count](uint id) {
                   m_moreMissedAsked = false;
                   m_moreMissedId = id;
                   if (m_missedInWindow > count) countMoreMissed();
               });
}

void CallNotifier::showMissed(const QString& summary, const QString& body, uint replaces,
                              std::function<void(uint)> shown) {
    QDBusMessage message = method(QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("colloqchat"));
    hints.insert(QStringLiteral("image-data"),
                 QVariant::fromValue(NotificationImage{
                     statePicture(CallState::Idle, 64).toImage().convertToFormat(QImage::Format_RGBA8888)}));
    message << QStringLiteral("ColloqChat") << replaces << QStringLiteral("call-missed") << summary << body
            << QStringList{QStringLiteral("default"), QStringLiteral("Show the call history")} << hints << qint32(-1);
    // Nothing waits for it: the bus's own long time-out lets a busy server answer with the number.
    whenDone(m_bus.asyncCall(message), [this, shown = std::move(shown)](const QDBusMessage& reply) {
        const uint id = reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).toUInt() : 0;
        if (id != 0 && !m_missed.contains(id)) {
            if (m_missed.size() >= kMaxMissedKept) m_missed.removeFirst();
            m_missed.append(id);
        }
        shown(id);
    });
}

void CallNotifier::withdraw() {
    if (m_id != 0) m_bus.asyncCall(closing(m_id));
    m_id = 0;
    m_call = 0;
    m_showing.reset();
}

void CallNotifier::whenDone(const QDBusPendingCall& call, std::function<void(const QDBusMessage&)> done) {
    // Never waited for: the window's ringing loop goes on while the server answers.
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(done)](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        done(w->reply());
    });
}

void CallNotifier::onActionInvoked(uint id, const QString& action) {
    if (id != 0 && m_missed.contains(id)) {
        emit m_requests.historyRequested();
        return;
    }
    // Only the notification of the call ringing now acts: a late click on an old one must not
    // touch the next call.
    if (id == 0 || id != m_id) return;
    if (action == QLatin1String("answer")) {
        emit m_requests.showRequested();
        emit m_requests.answerRequested();
    } else if (action == QLatin1String("decline")) {
        emit m_requests.declineRequested();
    } else if (action == QLatin1String("default")) {
        emit m_requests.showRequested();
    }
}

void CallNotifier::onNotificationClosed(uint id, uint /*reason*/) {
    // Dismissed by the user: the call rings on in the window.
    if (id != 0 && id == m_id) m_id = 0;
    m_missed.removeOne(id);
    if (id != 0 && id == m_moreMissedId) m_moreMissedId = 0;
}

} // namespace desktop
