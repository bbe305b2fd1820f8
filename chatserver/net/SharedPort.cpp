#include "chatserver/net/SharedPort.h"

#include <QRandomGenerator>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace chatserver {

int listeningSocket(const QHostAddress& address, quint16 port, bool sharedPort, bool listening) {
    sockaddr_storage local{};
    socklen_t length = 0;
    bool dualStack = false;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(local);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof v4;
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol ||
               address.protocol() == QAbstractSocket::AnyIPProtocol) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(local);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&v6.sin6_addr, &bytes, sizeof bytes);
        v6.sin6_scope_id = address.scopeId().toUInt();
        dualStack = address.protocol() == QAbstractSocket::AnyIPProtocol;
        length = sizeof v6;
    } else {
        errno = EAFNOSUPPORT;
        return -1;
    }
    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (sharedPort) ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    if (dualStack) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), length) != 0 || (listening && ::listen(fd, 1024) != 0)) {
        const int why = errno;
        ::close(fd);
        errno = why;
        return -1;
    }
    return fd;
}

// Hands each caller to the same loop every time, by its address (an IPv6 caller by its /64):
// each loop keeps in memory the contact lists of the users who poll it, and a user whose polls
// went to any loop at random had its list read from the store, and kept, by each of them.
// Addresses from a cBPF filter on the port's group of sockets; a caller it cannot place (a loop
// that failed to start) goes where the kernel's own hash sends it.
bool spreadByAddress(int fd, int loops) {
    constexpr auto net = [](int offset) { return quint32(SKF_NET_OFF + offset); };
    // The address's bits are mixed, with a value of this run's own, before they choose:
    // addresses that differ in one byte only (a flood's, say) must still land on every loop, and
    // nobody may pick addresses that all land on one, since a loop with all the connection slots
    // taken makes room only among its own connections.
    constexpr quint32 kMix = 2654435761U;
    const quint32 salt = QRandomGenerator::system()->generate();
    // The header's version tells the address apart, so one program serves every socket of the
    // port, IPv4, IPv6 or both.
    const sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, net(0)),
        BPF_STMT(BPF_ALU | BPF_RSH | BPF_K, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 6, 2, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, net(12)), // an IPv4 source address
        BPF_JUMP(BPF_JMP | BPF_JA, 4, 0, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, net(8)), // an IPv6 source's first 64 bits
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, net(12)),
        BPF_STMT(BPF_ALU | BPF_XOR | BPF_X, 0),
        BPF_STMT(BPF_ALU | BPF_XOR | BPF_K, salt), // the mixing, the same for both
        BPF_STMT(BPF_ALU | BPF_MUL | BPF_K, kMix),
        BPF_STMT(BPF_ALU | BPF_RSH | BPF_K, 16),
        BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, quint32(loops)),
        BPF_STMT(BPF_RET | BPF_A, 0),
    };
    sock_fprog code{};
    code.len = std::size(program);
    code.filter = const_cast<sock_filter*>(program);
    return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &code, sizeof code) == 0;
}

quint16 boundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    return ntohs(bound.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(bound).sin_port
                                            : reinterpret_cast<const sockaddr_in6&>(bound).sin6_port);
}

// ---- PortQueues --------------------------------------------------------------------------------

PortQueues::PortQueues(int loops) : m_queues(std::size_t(std::max(loops, 1))) {}

int PortQueues::join(int fd) {
    const int place = m_joined.fetch_add(1);
    if (place >= int(m_queues.size())) return -1;
    const std::lock_guard lock(m_queues[std::size_t(place)].lock);
    m_queues[std::size_t(place)].fd = fd;
    return place;
}

void PortQueues::leave(int place) {
    const std::lock_guard lock(m_queues[std::size_t(place)].lock);
    m_queues[std::size_t(place)].fd = -1;
}

// ---- QueueWatch --------------------------------------------------------------------------------

namespace {

bool hasCallers(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0;
}

} // namespace

QueueWatch::QueueWatch(std::shared_ptr<PortQueues> queues, int place, int epoll, std::function<bool(int fd)> take)
    : m_queues(std::move(queues)), m_place(place), m_epoll(epoll), m_take(std::move(take)),
      m_seen(m_queues->m_queues.size()) {}

QueueWatch::~QueueWatch() {
    for (std::size_t other = 0; other < m_seen.size(); ++other)
        if (m_seen[other].watched) {
            PortQueues::Queue& queue = m_queues->m_queues[other];
            const std::lock_guard lock(queue.lock);
            unwatch(int(other), queue);
        }
    m_queues->leave(m_place);
}

bool QueueWatch::look(qint64 nowUs) {
    bool again = false;
    for (int other = 0; other < int(m_seen.size()); ++other)
        if (other != m_place) again = lookAt(other, nowUs) || again;
    return again;
}

bool QueueWatch::lookAt(int other, qint64 nowUs) {
    PortQueues::Queue& queue = m_queues->m_queues[std::size_t(other)];
    Seen& seen = m_seen[std::size_t(other)];
    const quint64 turns = queue.turns.load(std::memory_order_relaxed);
    if (turns != seen.turns) {
        // Its loop has been at its events since the last look: its callers are its own again.
        seen.turns = turns;
        seen.waitingUs = 0;
        if (seen.watched) {
            const std::lock_guard lock(queue.lock);
            unwatch(other, queue);
        }
        return false;
    }
    if (seen.watched) return false; // its callers come here as they arrive
    // Another loop may be taking its callers right now; this one need not wait for that.
    const std::unique_lock lock(queue.lock, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    // Asking the queue costs a system call, made only when its loop has not been at its events
    // since this loop last looked.
    if (queue.fd < 0 || !hasCallers(queue.fd)) {
        seen.waitingUs = 0;
        return false;
    }
    if (seen.waitingUs == 0) seen.waitingUs = nowUs;
    if (nowUs - seen.waitingUs < kHeldUs) return true;
    if (!m_take(queue.fd)) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kMarkBit | quint64(other);
    seen.watched = epoll_ctl(m_epoll, EPOLL_CTL_ADD, queue.fd, &event) == 0;
    return false;
}

void QueueWatch::onWatched(quint64 data) {
    const auto other = std::size_t(data & ~kMarkBit);
    if (other >= m_seen.size()) return;
    PortQueues::Queue& queue = m_queues->m_queues[other];
    Seen& seen = m_seen[other];
    const std::lock_guard lock(queue.lock);
    const quint64 turns = queue.turns.load(std::memory_order_relaxed);
    if (turns == seen.turns && queue.fd >= 0 && m_take(queue.fd)) return;
    if (turns != seen.turns) seen.waitingUs = 0;
    seen.turns = turns;
    unwatch(int(other), queue);
}

void QueueWatch::unwatch(int other, PortQueues::Queue& queue) {
    Seen& seen = m_seen[std::size_t(other)];
    // A socket closed meanwhile has left the set by itself.
    if (seen.watched && queue.fd >= 0) epoll_ctl(m_epoll, EPOLL_CTL_DEL, queue.fd, nullptr);
    seen.watched = false;
}

} // namespace chatserver
