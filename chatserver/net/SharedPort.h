#pragma once
// How the serving loops share a port: each listens with a socket of its own, the kernel ties
// every caller to one of them by its address, and each loop keeps an eye on the others' queues.
//
// A caller tied to a loop waits for that loop, and a loop can be kept off its core for tens of
// milliseconds while the others have time to spare: the machine's own threads (a memory monitor
// sampling the whole memory was seen holding one of two cores for 40 ms twice a second) are not
// preempted, and nothing moves a thread that waits for its core to one that is busy too. So each
// loop, whenever it is at its own events, looks at the other loops' queues: a queue with callers
// waiting whose loop has not been at its events for a millisecond is served by the loop that
// looked, which also watches it until its own loop is back. A loop with no callers of its own
// does not look; the callers of a held loop wait then as before.
#include <QHostAddress>
#include <QtGlobal>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace chatserver {

// A socket listening on `address`:`port` (bound only, when not `listening`), or -1 with errno
// telling why. `sharedPort`: sockets of other serving loops may listen on the same port, and the
// kernel hands each new caller to one of them.
int listeningSocket(const QHostAddress& address, quint16 port, bool sharedPort, bool listening = true);
// Ties each caller of the port to one of `loops` sockets by its address; false when the kernel
// refuses the filter (callers then go where its own hash sends them).
bool spreadByAddress(int fd, int loops);
quint16 boundPort(int fd);

// The listening sockets of one port's loops, and how often each loop has been at its events.
class PortQueues {
public:
    explicit PortQueues(int loops);
    PortQueues(const PortQueues&) = delete;
    PortQueues& operator=(const PortQueues&) = delete;

    // The listening socket `fd` of a loop joins; its place, or -1 when every place is taken.
    int join(int fd);
    // The socket at `place` is about to close: no other loop takes from it any more.
    void leave(int place);
    // The loop at `place` is at its events.
    void ran(int place) { m_queues[std::size_t(place)].turns.fetch_add(1, std::memory_order_relaxed); }

private:
    friend class QueueWatch;
    // Each on a cache line of its own: every loop moves its count at each turn.
    struct alignas(64) Queue {
        std::mutex lock; // held while another loop uses `fd`, so that it is not closed meanwhile
        int fd = -1;
        std::atomic<quint64> turns{0};
    };
    std::vector<Queue> m_queues;
    std::atomic<int> m_joined{0};
};

// One loop's look at the others' queues.
class QueueWatch {
public:
    // `take(fd)` accepts the callers waiting at another loop's socket `fd`, or says (false) that
    // this loop takes none now; `epoll` is the loop's own set, in which a held loop's socket is
    // watched (isWatchMark()).
    QueueWatch(std::shared_ptr<PortQueues> queues, int place, int epoll, std::function<bool(int fd)> take);
    ~QueueWatch();
    QueueWatch(const QueueWatch&) = delete;
    QueueWatch& operator=(const QueueWatch&) = delete;

    // The loop is at its events.
    void ran() { m_queues->ran(m_place); }
    // Looks at every other loop's queue at `nowUs` (a steady clock) and takes the callers of the
    // held ones; true when a queue had callers waiting too briefly to tell, and it is worth
    // looking again in a millisecond even without callers of this loop's own.
    bool look(qint64 nowUs);
    // Whether an event of the loop's set with this data is a held loop's socket being watched.
    static bool isWatchMark(quint64 data) { return (data & kMarkBit) != 0; }
    // A watched socket has callers: takes them, or stops watching once its loop is back.
    void onWatched(quint64 data);

    static constexpr qint64 kHeldUs = 1000;

private:
    static constexpr quint64 kMarkBit = quint64(1) << 63;
    struct Seen {
        quint64 turns = 0;    // the other loop's count at the last look
        qint64 waitingUs = 0; // since when its queue had callers and it had not run; 0: not so
        bool watched = false; // its socket is in this loop's set
    };
    // Looks at the loop at `other`; true to look again soon. Its queue's lock is not held.
    bool lookAt(int other, qint64 nowUs);
    void unwatch(int other, PortQueues::Queue& queue);

    std::shared_ptr<PortQueues> m_queues;
    int m_place;
    int m_epoll;
    std::function<bool(int fd)> m_take;
    std::vector<Seen> m_seen;
};

} // namespace chatserver
