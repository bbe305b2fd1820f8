#include "call/linphone/EnginePace.h"

#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>

namespace rtc {

namespace {

// The pace with no call (a SIP message that arrives wakes the engine at once), ringing here or in
// a call that is up, and while a call settles (each of its steps waits on the next iteration).
constexpr int kIdleIntervalMs = 100;
constexpr int kBusyIntervalMs = 20;
constexpr int kSettlingIntervalMs = 5;

} // namespace

quint16 udpPortOf(int fd) {
    int type = 0;
    socklen_t typeLength = sizeof type;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_DGRAM ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

int udpSocketOn(quint16 port) {
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString& name : descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        bool number = false;
        const int fd = name.toInt(&number);
        if (number && udpPortOf(fd) == port) return fd;
    }
    return -1;
}

EnginePace::EnginePace(std::function<void()> iterate) : m_iterate(std::move(iterate)), m_timer(new QTimer(this)) {
    connect(m_timer, &QTimer::timeout, this, [this] { tick(); });
}

void EnginePace::start(quint16 sipPort) {
    m_sipPort = sipPort;
    m_timer->start(kIdleIntervalMs);
    watch();
}

void EnginePace::stop() {
    unwatch();
    m_timer->stop();
}

void EnginePace::set(Mode mode) {
    const int interval = mode == Mode::Settling ? kSettlingIntervalMs
                         : mode == Mode::Busy   ? kBusyIntervalMs
                                                : kIdleIntervalMs;
    if (m_timer->interval() != interval) m_timer->setInterval(interval);
}

void EnginePace::tick() {
    if (m_wake) {
        // liblinphone may have closed the socket, and its number may belong to another file now.
        if (udpPortOf(int(m_wake->socket())) == m_sipPort) {
            m_wake->setEnabled(true);
        } else {
            unwatch();
            watch();
        }
    }
    m_iterate();
}

void EnginePace::watch() {
    // The wake-up is armed again by the next tick: a socket that stays readable cannot keep the
    // engine busy. Without the socket the engine only looks at its idle pace.
    const int fd = udpSocketOn(m_sipPort);
    if (fd < 0) return;
    m_wake = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_wake, &QSocketNotifier::activated, this, [this](QSocketDescriptor) {
        if (!m_wake) return;
        m_wake->setEnabled(false);
        m_iterate();
    });
}

void EnginePace::unwatch() {
    if (!m_wake) return;
    m_wake->setEnabled(false);
    m_wake->deleteLater(); // may be the notifier whose wake-up is running
    m_wake.clear();
}

} // namespace rtc
