#pragma once
// How often the call engine iterates liblinphone: a timer whose interval follows the state of the
// engine's calls, and a wake-up as soon as a SIP message arrives on the engine's socket.
#include <QObject>
#include <QPointer>
#include <functional>

class QSocketNotifier;
class QTimer;

namespace rtc {

// The local port of `fd` when it is a UDP socket, else 0.
quint16 udpPortOf(int fd);
// The descriptor of this process's UDP socket bound to `port`, or -1.
int udpSocketOn(quint16 port);

// A QObject so that the engine can let it go with deleteLater: the engine may be released from
// inside one of its ticks.
class EnginePace final : public QObject {
public:
    enum class Mode { Idle, Busy, Settling }; // no call; a call ringing or up; one set up or torn down
    // `iterate` runs at every tick and wake-up, on the UI thread, until stop().
    explicit EnginePace(std::function<void()> iterate);

    // Starts idle, woken by messages to the UDP socket on `sipPort` when there is one.
    void start(quint16 sipPort);
    void stop();
    void set(Mode mode);

private:
    void tick();
    void watch();
    void unwatch();

    std::function<void()> m_iterate;
    QTimer* m_timer;
    QPointer<QSocketNotifier> m_wake;
    quint16 m_sipPort = 0;
};

} // namespace rtc
