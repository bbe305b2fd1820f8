#pragma once
// The engine's SIP socket, screened. liblinphone reads its UDP socket only while the engine
// iterates it, one datagram per turn, on the window's thread; before each turn the guard looks at
// the datagrams waiting there (without taking them) and takes out, answers or drops each one
// the screen (call/rtc/SipScreen.h) refuses, up to the first one it lets through. So the engine
// never parses a message that could harm it, and a flood is read and dropped by plain code
// without ever becoming a call. The source address of every new call is kept for its session.
#include "call/rtc/SipScreen.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <deque>
#include <functional>
#include <optional>

namespace rtc {

class SipGuard {
public:
    struct Refusal {
        sip::Verdict verdict;
        QString source; // "address:port" the datagram came from
    };
    using RefusalSink = std::function<void(const Refusal&)>;
    // Where a new call came from: the datagram's source and its Contact, "host:port" each.
    struct Origin {
        QString source;
        QString contact;
    };

    explicit SipGuard(RefusalSink sink) : m_sink(std::move(sink)) {}

    // Screens what waits on the UDP socket bound to `port`, up to the first datagram the engine
    // may read. `nowMs` is a monotonic clock.
    void screen(quint16 port, qint64 nowMs);
    std::optional<Origin> originOf(const QByteArray& callId) const;
    // New calls dropped so far because their source called too often.
    qint64 droppedCalls() const { return m_droppedCalls; }

    // How many datagrams one pass reads at most, so that a flood cannot hold up the window.
    static constexpr int kMaxPerPass = 256;
    // How many calls' origins (and refused calls) are remembered.
    static constexpr int kRemembered = 64;

private:
    // Decides one datagram: true when the engine may read it (it stays on the socket).
    bool judge(int fd, const QByteArray& datagram, qsizetype size, const QString& source, const void* address,
               unsigned addressLength, qint64 nowMs);
    void remember(QHash<QByteArray, Origin>& map, std::deque<QByteArray>& order, const QByteArray& key,
                  const Origin& origin);

    RefusalSink m_sink;
    int m_fd = -1;
    sip::CallPace m_pace;
    QHash<QByteArray, Origin> m_origins; // calls let through, by Call-ID
    std::deque<QByteArray> m_originOrder;
    QHash<QByteArray, Origin> m_turnedAway; // calls refused or dropped, by Call-ID and CSeq
    std::deque<QByteArray> m_turnedAwayOrder;
    qint64 m_droppedCalls = 0;
    QByteArray m_buffer;
};

} // namespace rtc
