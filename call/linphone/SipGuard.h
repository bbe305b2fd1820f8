#pragma once
// The engine's SIP socket, screened. liblinphone reads its UDP socket only while the engine
// iterates it, one datagram per turn, on the window's thread; before each turn, and again each
// time the engine's own poll finds the socket readable (call/rtc/ScreenedPoll.h), the guard looks
// at the datagrams waiting there (without taking them) and takes out, answers or drops each one
// the screen (call/rtc/SipScreen.h) refuses, up to the first one it lets through. So the engine
// never parses a message that could harm it, however it is timed against the engine's turns,
// and a flood is read and dropped by plain code without ever becoming a call. Where every new
// call came from is kept for its session: the datagram's source, or, for a call forwarded by a
// relay of the user's chat server, whom that relay names as its sender (sip::originOf).
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
    // Where a new call came from: its source and its Contact, "host:port" each.
    struct Origin {
        QString source;
        QString contact;
    };
    struct Refusal {
        sip::Verdict verdict;
        QString source; // "address:port" the datagram came from
        Origin origin;  // for a request that would start a call, where that call came from
    };
    using RefusalSink = std::function<void(const Refusal&)>;

    explicit SipGuard(RefusalSink sink) : m_sink(std::move(sink)) {}
    SipGuard(const SipGuard&) = delete;
    SipGuard& operator=(const SipGuard&) = delete;

    enum class Waiting {
        Nothing,     // the socket was empty
        NothingLeft, // everything that waited was taken out
        Readable,    // the datagram at the head may be read
    };
    // Screens what waits on the UDP socket bound to `port`, up to the first datagram the engine
    // may read. `nowMs` is a monotonic clock.
    Waiting screen(quint16 port, qint64 nowMs);
    // The socket screen() last found on its port; -1 before.
    int socket() const { return m_fd; }
    std::optional<Origin> originOf(const QByteArray& callId) const;
    // The relays of the user's chat server, "address:port" each as they send: from these alone a
    // call's P-Asserted-Identity is believed.
    void setRelays(const QStringList& relays);
    // New calls dropped so far because their source called too often.
    qint64 droppedCalls() const { return m_droppedCalls; }

    // How many datagrams one pass reads at most, so that a flood cannot hold up the window.
    static constexpr int kMaxPerPass = 256;
    // How many calls' origins (and refused calls) are remembered.
    static constexpr int kRemembered = 64;

private:
    // The last kRemembered values put in, by key; older ones are forgotten.
    template <class Value> class Recent {
    public:
        const Value* find(const QByteArray& key) const {
            const auto found = m_values.constFind(key);
            return found == m_values.cend() ? nullptr : &*found;
        }
        void put(const QByteArray& key, Value value) {
            if (!m_values.contains(key)) {
                if (m_order.size() >= size_t(kRemembered)) {
                    m_values.remove(m_order.front());
                    m_order.pop_front();
                }
                m_order.push_back(key);
            }
            m_values.insert(key, std::move(value));
        }

    private:
        QHash<QByteArray, Value> m_values;
        std::deque<QByteArray> m_order;
    };

    // Decides one datagram: true when the engine may read it (it stays on the socket).
    bool judge(int fd, const QByteArray& datagram, qsizetype size, const QString& source, const void* address,
               unsigned addressLength, qint64 nowMs);
    // Refuses a request inside a call that would send the call's media somewhere the call never named.
    void keepMediaInPlace(sip::Verdict& verdict);

    RefusalSink m_sink;
    int m_fd = -1;
    sip::CallPace m_pace;
    QList<QByteArray> m_relays;
    Recent<Origin> m_origins;          // calls let through, by Call-ID
    Recent<bool> m_turnedAway;         // requests refused or dropped, by Call-ID and CSeq
    Recent<QList<QByteArray>> m_media; // addresses the peer's first description of a call named
    qint64 m_droppedCalls = 0;
    QByteArray m_buffer;
};

} // namespace rtc
