#include "chatserver/net/Listeners.h"

#include "chatserver/net/HostPort.h"
#include "chatserver/net/Logging.h"
#include "chatserver/net/TlsServer.h"

#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <linux/filter.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace chatserver {

namespace {

constexpr int kSweepIntervalMs = 100;
constexpr int kEventBatch = 128;
constexpr int kAcceptBatch = 256; // then the others get their turn
constexpr std::size_t kReadChunk = 16384;

qint64 monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

// ---- TcpListener -------------------------------------------------------------------------------

TcpListener::TcpListener(QString name, const ListenerLimits& limits, QObject* parent)
    : QObject(parent), m_name(std::move(name)), m_limits(limits), m_epoll(epoll_create1(EPOLL_CLOEXEC)),
      m_sweep(new QTimer(this)),
      m_doors(std::make_shared<DoorLedger>(DoorLedger::Caps{limits.maxPerAddress, limits.maxPerNetwork,
                                                            limits.maxPendingBytesPerAddress, limits.connections,
                                                            limits.networkConnections, limits.prefixes})) {
    m_sweep->setInterval(kSweepIntervalMs);
    connect(m_sweep, &QTimer::timeout, this, &TcpListener::onSweep);
    if (m_epoll >= 0) {
        m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &TcpListener::onEvents);
    }
}

TcpListener::~TcpListener() {
    m_connections.clear(); // each closes its socket
    if (m_listenFd >= 0) ::close(m_listenFd);
    if (m_notifier) m_notifier->setEnabled(false);
    if (m_epoll >= 0) ::close(m_epoll);
}

namespace {

// Whether closing `fd` resets the connection, throwing away what the caller has not taken, or
// says goodbye and leaves the kernel to deliver what is queued.
void setResetOnClose(int fd, bool reset) {
    const linger option{reset ? 1 : 0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

// A socket listening on `address`:`port` (bound only, when not `listening`), or -1 with errno
// telling why. `sharedPort`: sockets of other serving loops may listen on the same port, and the
// kernel hands each new caller to one of them. `resetOnClose`: accepted sockets start out so.
int listeningSocket(const QHostAddress& address, quint16 port, bool sharedPort, bool resetOnClose,
                    bool listening = true) {
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
    if (resetOnClose) setResetOnClose(fd, true);
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

} // namespace

bool TcpListener::listen(const QHostAddress& address, quint16 port, QString* error) {
    auto refuse = [&](int code) {
        if (error)
            *error = QStringLiteral("cannot listen for %1 on %2:%3: %4")
                         .arg(m_name, address.toString())
                         .arg(port)
                         .arg(QString::fromLocal8Bit(std::strerror(code)));
        if (m_listenFd >= 0) ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    };
    if (m_epoll < 0) return refuse(errno);
    if (sharedPort() && port != 0) {
        // A port shared among our loops is not to be shared with a program that listens there
        // already (even one that shares its port too): a socket that shares nothing tells.
        const int probe = listeningSocket(address, port, false, false, false);
        if (probe < 0) return refuse(errno);
        ::close(probe);
    }
    m_resetsOnClose = callersHangUpFirst();
    m_listenFd = listeningSocket(address, port, sharedPort(), m_resetsOnClose);
    if (m_listenFd < 0) return refuse(errno);
    if (sharedPort() && !spreadByAddress(m_listenFd, m_loops))
        qCWarning(lcServer).noquote() << m_name << "callers go to the loops at random:" << std::strerror(errno);
    m_port = boundPort(m_listenFd);
    m_address = address;
    if (!watchListening()) return refuse(errno);
    m_sweep->start();
    return true;
}

bool TcpListener::serveAlongside(const TcpListener& first, QString* error) {
    m_resetsOnClose = first.m_resetsOnClose;
    m_listenFd = first.m_listenFd < 0 || !first.sharedPort()
                     ? (errno = EBADF, -1)
                     : listeningSocket(first.m_address, first.m_port, true, m_resetsOnClose);
    if (m_epoll < 0 || m_listenFd < 0 || !watchListening()) {
        if (error)
            *error = QStringLiteral("cannot serve %1 from another loop: %2")
                         .arg(m_name, QString::fromLocal8Bit(std::strerror(errno)));
        if (m_listenFd >= 0) ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_loops = first.m_loops;
    m_doors = first.m_doors;
    m_address = first.m_address;
    m_port = first.m_port;
    m_sweep->start();
    return true;
}

bool TcpListener::watchListening() {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0;
    return epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listenFd, &event) == 0;
}

void TcpListener::closeUnserved(int fd) const {
    if (m_resetsOnClose) setResetOnClose(fd, false);
    ::close(fd);
}

void TcpListener::close() {
    if (m_listenFd >= 0) {
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listenFd, nullptr);
        ::close(m_listenFd);
        m_listenFd = -1;
    }
    m_sweep->stop();
}

QString TcpListener::peerText(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) return QHostAddress(v4).toString();
    return address.toString();
}

void TcpListener::watch(int fd, quint64 serial, bool forWriting) {
    epoll_event event{};
    event.events = uint32_t(EPOLLIN | EPOLLRDHUP) | (forWriting ? uint32_t(EPOLLOUT) : 0u);
    event.data.u64 = serial;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
}

template <typename Step> void TcpListener::with(quint64 serial, Step step) {
    const auto it = m_connections.find(serial);
    if (it == m_connections.end()) return;
    Connection& connection = *it->second;
    step(connection);
    if (connection.finished()) dispose(serial);
}

void TcpListener::dispose(quint64 serial) {
    const auto it = m_connections.find(serial);
    if (it == m_connections.end()) return;
    const std::unique_ptr<Connection> gone = std::move(it->second);
    m_connections.erase(it);
    m_unrequested.erase(serial);
    m_idle.erase(serial);
    if (!std::exchange(m_slotForNewcomer, false)) --m_doors->open();
    if (gone->m_doorKeys.address.isEmpty()) return; // a balancer's connection whose header never came
    m_doors->release(gone->m_doorKeys, gone->m_charged);
}

DoorKeys TcpListener::doorKeys(const QString& peer) const {
    // Each connection is counted by its network only when some limit looks at networks.
    const bool byNetwork = m_limits.maxPerNetwork > 0 || m_limits.networkConnections.enabled();
    return {limitKey(peer), byNetwork ? networkKey(peer, m_limits.prefixes) : QString()};
}

void TcpListener::onEvents() {
    epoll_event events[kEventBatch];
    const int count = epoll_wait(m_epoll, events, kEventBatch, 0);
    for (int i = 0; i < count; ++i) {
        const quint64 serial = events[i].data.u64;
        const uint32_t what = events[i].events;
        if (serial == 0) {
            acceptAll();
            continue;
        }
        with(serial, [what](Connection& connection) {
            if (what & EPOLLOUT) connection.onWritable();
            if (connection.finished()) return;
            if ((what & EPOLLRDHUP) && connection.awaitsOnlyHangUp())
                connection.onHungUp(); // what else the caller sent would be dropped unread anyway
            else if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                connection.onReadable();
        });
    }
}

void TcpListener::acceptAll() {
    for (int i = 0; i < kAcceptBatch && m_listenFd >= 0; ++i) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if ((errno == EMFILE || errno == ENFILE) && shedOne()) continue; // its descriptor is free again
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The waiting caller stays in the queue; without a pause the loop would spin on it.
                qCWarning(lcServer).noquote() << m_name << "cannot accept:" << std::strerror(errno);
                epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listenFd, nullptr);
                m_acceptPaused = true;
            }
            return;
        }
        ++mutableStats().accepted;
        const QString peer = callerText(from);
        // The cap holds for the port; a loop makes room among its own connections.
        const int cap = m_limits.maxConnections;
        if (!m_doors->takeSlot(cap) && !shedOne(true)) {
            ++mutableStats().refusedAtDoor;
            qCDebug(lcServer).noquote() << m_name << peer << "refused at the door: too many connections";
            closeUnserved(fd);
            continue;
        }
        // A balancer's connections count against the caller its header names, once it is read.
        const bool viaBalancer = inRanges(m_limits.balancers, peer);
        const DoorKeys keys = viaBalancer ? DoorKeys() : doorKeys(peer);
        if (!viaBalancer && !countAtDoor(peer, keys)) {
            --m_doors->open();
            closeUnserved(fd);
            continue;
        }
        const quint64 serial = m_nextSerial++;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = serial;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        std::unique_ptr<Connection> connection = createConnection(fd, peer, serial);
        connection->m_doorKeys = keys;
        connection->m_awaitingHeader = viaBalancer;
        m_connections.emplace(serial, std::move(connection));
        m_unrequested.insert(serial);
        // Callers write their request as soon as they are connected, yet at full speed it is
        // mostly not here yet; looking at the set once more instead cost more waits than the
        // reads that find nothing (see the server's README).
        with(serial, [](Connection& accepted) { accepted.onReadable(); });
    }
}

bool TcpListener::countAtDoor(const QString& peer, const DoorKeys& keys) {
    if (const char* refusal = m_doors->admit(keys, monotonicMs())) {
        ++mutableStats().refusedAtDoor;
        qCDebug(lcServer).noquote() << m_name << peer << "refused at the door:" << refusal;
        return false;
    }
    return true;
}

bool TcpListener::admit(Connection& connection) {
    const DoorKeys keys = doorKeys(connection.peer());
    if (!countAtDoor(connection.peer(), keys)) return false;
    connection.m_doorKeys = keys;
    return true;
}

bool TcpListener::shedOne(bool forNewcomer) {
    // Under a flood of connections that send nothing (or send slowly), these are the flood's own;
    // a client's request comes in its first packet and is answered at once, so it is never among
    // them for long. Those that only wait for a hang-up have had their answer already.
    for (std::set<quint64>* pool : {&m_unrequested, &m_idle}) {
        if (pool->empty()) continue;
        const quint64 serial = *pool->begin();
        pool->erase(pool->begin());
        ++mutableStats().shed;
        m_slotForNewcomer = forNewcomer;
        with(serial, [this](Connection& connection) {
            qCDebug(lcServer).noquote() << m_name << connection.peer() << "closed to make room";
            connection.discard();
        });
        m_slotForNewcomer = false;
        return true;
    }
    return false;
}

void TcpListener::settleLater(quint64 serial, quint64 token, int delayMs) {
    QTimer::singleShot(delayMs, this,
                       [this, serial, token] { with(serial, [token](Connection& c) { c.settled(token); }); });
}

void TcpListener::onSweep() {
    if (m_acceptPaused && m_listenFd >= 0) m_acceptPaused = !watchListening();
    const qint64 now = monotonicMs();
    QList<quint64> late;
    for (const auto& [serial, connection] : m_connections)
        if (connection->deadline() <= now) late.append(serial);
    for (const quint64 serial : late) {
        ++mutableStats().timedOut;
        with(serial, [](Connection& c) { c.expire(); });
    }
}

// ---- Connection --------------------------------------------------------------------------------

Connection::Connection(TcpListener& listener, int fd, QString peer, quint64 serial)
    : m_listener(listener), m_fd(fd), m_peer(std::move(peer)), m_serial(serial),
      m_deadline(monotonicMs() + listener.limits().requestTimeoutMs) {
    if (listener.m_tls) m_tls = std::make_unique<TlsChannel>(listener.m_tls, fd);
}

ssize_t Connection::receiveSome(char* buffer, std::size_t size) {
    if (!m_tls) return ::recv(m_fd, buffer, size, 0);
    const ssize_t got = m_tls->read(buffer, size);
    if (got < 0 && errno == EAGAIN && m_tls->wantsWrite() && !m_writeWatched) {
        // The handshake has more to say than the socket took: go on once it is writable.
        m_listener.watch(m_fd, m_serial, true);
        m_writeWatched = true;
    }
    if (got < 0 && errno != EAGAIN && !m_tls->failure().isEmpty())
        qCDebug(lcServer).noquote() << m_listener.name() << m_peer << "TLS:" << m_tls->failure();
    return got;
}

ssize_t Connection::sendSome(const char* data, std::size_t size) {
    return m_tls ? m_tls->write(data, size) : ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

Connection::~Connection() {
    finish();
}

void Connection::onReadable() {
    // Everything that is there, in one piece, as the caller wrote it; the size cap bounds what
    // is kept, and the level-triggered set brings the rest of a flood back later.
    const qsizetype cap = m_listener.limits().maxRequestBytes + qsizetype(kReadChunk);
    QByteArray bytes;
    bool hungUp = false;
    char buffer[kReadChunk];
    for (;;) {
        const ssize_t got = receiveSome(buffer, sizeof buffer);
        if (got > 0) {
            stats().bytesReceived += quint64(got);
            if (!m_answered) bytes.append(buffer, got); // anything after the answer is dropped
            // A short read emptied the socket: asking again would only say so. (A TLS record is
            // read whole or not at all, so there only the socket's "nothing more" tells.)
            if (bytes.size() > cap || (!m_tls && std::size_t(got) < sizeof buffer)) break;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        hungUp = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    if (m_awaitingHeader && !bytes.isEmpty() && !takeProxyHeader(bytes)) {
        drop();
        return;
    }
    if (!bytes.isEmpty() && !m_answered) {
        try {
            onBytes(bytes);
        } catch (const std::exception& error) {
            ++stats().failed;
            qCWarning(lcServer).noquote() << m_listener.name() << m_peer << "failed:" << error.what();
            drop();
        }
    }
    if (hungUp && awaitsOnlyHangUp()) closeAfterHangUp();
    if (hungUp) finish();
}

void Connection::onHungUp() {
    closeAfterHangUp();
    finish();
}

void Connection::closeAfterHangUp() {
    // The caller hung up. Once the whole answer reached it (nothing of ours is unacknowledged),
    // a reset ends the connection at once, where a goodbye of our own would have its side keep
    // the connection's address pair for a minute and cost us another exchange of packets (a
    // tenth of a poll's work). Nothing is lost: what the caller's side received stays readable.
    int queued = 0;
    m_reset = ::ioctl(m_fd, SIOCOUTQ, &queued) == 0 && queued == 0;
}

bool Connection::takeProxyHeader(QByteArray& bytes) {
    m_header += bytes;
    bytes.clear();
    const ProxyHeader header = parseProxyHeader(m_header);
    if (header.status == ProxyHeader::Status::Incomplete) return true;
    if (header.status == ProxyHeader::Status::Invalid) {
        ++stats().malformed;
        qCInfo(lcServer).noquote() << m_listener.name() << m_peer << "balancer connection closed:" << header.reason;
        return false;
    }
    m_awaitingHeader = false;
    if (!header.address.isEmpty()) {
        qCDebug(lcServer).noquote() << m_listener.name() << header.address << "through the balancer" << m_peer;
        m_peer = header.address;
    }
    if (!m_listener.admit(*this)) return false;
    bytes = m_header.sliced(header.length);
    m_header = QByteArray();
    return true;
}

void Connection::onWritable() {
    if (m_tls && !m_tls->handshakeDone()) {
        if (m_writeWatched) m_listener.watch(m_fd, m_serial, false);
        m_writeWatched = false;
        onReadable(); // the handshake goes on
        return;
    }
    flush();
}

void Connection::settled(quint64 token) {
    if (token != m_settleToken || m_finished || m_answered) return;
    try {
        onSettled();
    } catch (const std::exception& error) {
        ++stats().failed;
        qCWarning(lcServer).noquote() << m_listener.name() << m_peer << "failed:" << error.what();
        drop();
    }
}

void Connection::answer(const QByteArray& bytes, bool closeAfterwards) {
    if (m_finished) return;
    requestComplete();
    m_answered = true;
    ++stats().answered;
    m_deadline = monotonicMs() + m_listener.limits().idleTimeoutMs;
    m_out = bytes;
    m_outSent = 0;
    m_charged += bytes.size();
    if (!m_doorKeys.address.isEmpty()) m_listener.m_doors->charge(m_doorKeys.address, bytes.size());
    m_closeAfterSend = closeAfterwards;
    flush();
    emit m_listener.exchanged();
}

void Connection::flush() {
    while (!m_finished && m_outSent < m_out.size()) {
        const ssize_t sent = sendSome(m_out.constData() + m_outSent, std::size_t(m_out.size() - m_outSent));
        if (sent > 0) {
            m_outSent += sent;
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!m_writeWatched) m_listener.watch(m_fd, m_serial, true);
            m_writeWatched = true;
            return;
        } else {
            finish(); // the caller is gone
            return;
        }
    }
    if (m_finished) return;
    m_out.clear();
    m_outSent = 0;
    if (m_writeWatched) m_listener.watch(m_fd, m_serial, false);
    m_writeWatched = false;
    if (m_closeAfterSend)
        finish();
    else if (m_answered)
        m_listener.m_idle.insert(m_serial);
}

void Connection::drop() {
    finish();
}

void Connection::expire() {
    qCDebug(lcServer).noquote() << m_listener.name() << m_peer << (m_answered ? "idle" : "too slow") << "- closed";
    discard();
}

void Connection::discard() {
    // An answer still queued for a caller that does not read would stay in the kernel after the
    // close, retried for minutes: a reset throws it away.
    int queued = 0;
    m_reset = m_outSent < m_out.size() || (::ioctl(m_fd, SIOCOUTQ, &queued) == 0 && queued > 0);
    drop();
}

void Connection::finish() {
    if (m_finished) return;
    m_finished = true;
    if (m_reset != m_listener.m_resetsOnClose) setResetOnClose(m_fd, m_reset);
    // Closing takes the socket out of the epoll set as well; the listener disposes of us.
    ::close(m_fd);
    m_fd = -1;
}

} // namespace chatserver
