#pragma once
// What the listeners of one port count together, whichever serving loop accepted a connection:
// the connections open from each caller and each network, the answers each caller has not taken
// yet, how fast each opens new ones, and the port's figures. Listeners on several threads share
// one ledger, so a caller has the same room however its connections are spread over the loops.
#include "chatserver/net/RateLimits.h"

#include <QHash>
#include <QString>
#include <atomic>
#include <mutex>

namespace chatserver {

// The keys a connection is counted under: its caller's address and network (empty when no
// limit counts networks).
struct DoorKeys {
    QString address;
    QString network;
};

// The port's figures, counted by every loop that serves it.
struct ListenerStats {
    std::atomic<quint64> accepted{0};
    std::atomic<quint64> answered{0};
    std::atomic<quint64> refusedAtDoor{0}; // over a connection cap
    std::atomic<quint64> shed{0};          // closed to make room for a new one while all connections were in use
    std::atomic<quint64> malformed{0};     // closed for bad or oversized input
    std::atomic<quint64> timedOut{0};
    std::atomic<quint64> failed{0}; // the store failed while answering
    std::atomic<quint64> bytesReceived{0};
};

class DoorLedger {
public:
    struct Caps {
        int perAddress = 0; // open connections from one address; 0 = no cap
        int perNetwork = 0;
        qint64 pendingBytesPerAddress = 0;
        RateLimit connections;        // new connections from one address
        RateLimit networkConnections; // and from one network
        NetworkPrefixes prefixes;
    };
    explicit DoorLedger(const Caps& caps);
    DoorLedger(const DoorLedger&) = delete;
    DoorLedger& operator=(const DoorLedger&) = delete;

    // Counts one more connection under `keys`, or says why it may not be (nothing counted then).
    const char* admit(const DoorKeys& keys, qint64 nowMs);
    // A connection counted under `keys` is gone, with `charged` bytes of answers it was counted for.
    void release(const DoorKeys& keys, qint64 charged);
    // An answer of `bytes` to the caller at `addressKey`, not yet known to be taken.
    void charge(const QString& addressKey, qint64 bytes);
    int openFrom(const QString& addressKey) const;

    ListenerStats& stats() { return m_stats; }
    // Takes a place among the port's open connections when fewer than `cap` (0: no cap) are
    // open, at once, so that two loops never both take the last one.
    bool takeSlot(int cap);
    // Connections open on the port, in all the loops.
    std::atomic<int>& open() { return m_open; }

private:
    Caps m_caps;
    mutable std::mutex m_mutex;
    QHash<QString, int> m_perAddress;
    QHash<QString, int> m_perNetwork;
    QHash<QString, qint64> m_pendingBytes;
    NetworkLimit m_rate;
    ListenerStats m_stats;
    std::atomic<int> m_open{0};
};

} // namespace chatserver
