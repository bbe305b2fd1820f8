#include "LoadGen.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

struct LoadGen::Conn {
    int fd = -1;
    Exchange exchange;
    std::size_t sent = 0;
    std::string in;
    Clock::time_point started;
    Clock::time_point connectedAt, sentAt, firstByteAt; // as in Outcome
};

uint32_t ipv4(const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return ntohl(address.s_addr);
}

SlowSummary summarizeSlow(const std::vector<Outcome>& outcomes, double overMs) {
    std::vector<const Outcome*> slow;
    for (const Outcome& outcome : outcomes)
        if (outcome.ok && outcome.latencyUs > overMs * 1000) slow.push_back(&outcome);
    SlowSummary summary;
    summary.count = slow.size();
    if (slow.empty()) return summary;
    std::sort(slow.begin(), slow.end(), [](const Outcome* a, const Outcome* b) { return a->started < b->started; });
    std::vector<double> connect, send, answer;
    for (std::size_t i = 0; i < slow.size(); ++i) {
        if (i == 0 || slow[i]->started - slow[i - 1]->started > std::chrono::milliseconds(50)) ++summary.bursts;
        connect.push_back(slow[i]->connectedUs);
        send.push_back(slow[i]->sentUs - slow[i]->connectedUs);
        answer.push_back(slow[i]->firstByteUs - slow[i]->sentUs);
    }
    summary.connectMs = percentile(connect, 50) / 1000;
    summary.sendMs = percentile(send, 50) / 1000;
    summary.answerMs = percentile(answer, 50) / 1000;
    return summary;
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = std::size_t(std::clamp(p / 100.0 * double(values.size() - 1), 0.0, double(values.size() - 1)));
    return values[index];
}

LoadGen::LoadGen(uint32_t serverAddress, uint16_t serverPort)
    : m_epoll(epoll_create1(EPOLL_CLOEXEC)), m_server(serverAddress), m_port(serverPort) {}

LoadGen::~LoadGen() {
    for (Conn* conn : m_open) {
        ::close(conn->fd);
        delete conn;
    }
    ::close(m_epoll);
}

bool LoadGen::start(const Exchange& exchange) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (exchange.source) {
        // Let the kernel pick the port late, per destination: many more connections per source.
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(exchange.source);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return false;
        }
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl(m_server);
    remote.sin_port = htons(m_port);
    auto* conn = new Conn;
    conn->fd = fd;
    conn->exchange = exchange;
    conn->started = Clock::now();
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    conn->connectedAt = Clock::now();
    if (rc != 0 && errno != EINPROGRESS) {
        ::close(fd);
        delete conn;
        return false;
    }
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    event.data.ptr = conn;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    m_open.insert(conn);
    ++m_inFlight;
    return true;
}

void LoadGen::finish(Conn* conn, bool ok, int error, const std::function<void(const Outcome&)>& done) {
    Outcome outcome;
    outcome.id = conn->exchange.id;
    outcome.ok = ok;
    outcome.error = error;
    const auto since = [conn](Clock::time_point when) {
        return when == Clock::time_point() ? 0.0
                                           : std::chrono::duration<double, std::micro>(when - conn->started).count();
    };
    outcome.latencyUs = since(Clock::now());
    outcome.started = conn->started;
    outcome.connectedUs = since(conn->connectedAt);
    outcome.sentUs = since(conn->sentAt);
    outcome.firstByteUs = since(conn->firstByteAt);
    if (ok) {
        if (conn->exchange.httpReply) {
            outcome.reply = conn->in;
        } else {
            const std::size_t sep = conn->in.find('\xD4');
            outcome.reply = conn->in.substr(sep + 1);
        }
    }
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, conn->fd, nullptr);
    ::close(conn->fd);
    m_open.erase(conn);
    delete conn;
    --m_inFlight;
    if (done) done(outcome);
}

namespace {

// A framed chat reply is whole once its announced length has arrived after the prefix.
bool chatReplyComplete(const std::string& in) {
    const std::size_t sep = in.find('\xD4');
    if (sep == std::string::npos) return false;
    const long long length = std::atoll(in.substr(0, sep).c_str());
    return in.size() >= sep + 1 + std::size_t(length);
}

} // namespace

void LoadGen::poll(int timeoutMs, const std::function<void(const Outcome&)>& done) {
    epoll_event events[256];
    const int n = epoll_wait(m_epoll, events, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
        auto* conn = static_cast<Conn*>(events[i].data.ptr);
        if (events[i].events & EPOLLOUT && conn->sent < conn->exchange.request.size()) {
            const ssize_t wrote = ::send(conn->fd, conn->exchange.request.data() + conn->sent,
                                         conn->exchange.request.size() - conn->sent, MSG_NOSIGNAL);
            if (wrote < 0 && errno != EAGAIN) {
                finish(conn, false, errno, done);
                continue;
            }
            if (wrote > 0) conn->sent += std::size_t(wrote);
            if (conn->sent == conn->exchange.request.size()) {
                conn->sentAt = Clock::now();
                epoll_event event{};
                event.events = EPOLLIN | EPOLLRDHUP;
                event.data.ptr = conn;
                epoll_ctl(m_epoll, EPOLL_CTL_MOD, conn->fd, &event);
            }
        }
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            if (conn->firstByteAt == Clock::time_point()) conn->firstByteAt = Clock::now();
            char buffer[16384];
            bool closed = false;
            int error = 0;
            for (;;) {
                const ssize_t got = ::recv(conn->fd, buffer, sizeof buffer, 0);
                if (got > 0) {
                    conn->in.append(buffer, std::size_t(got));
                    continue;
                }
                if (got == 0)
                    closed = true;
                else if (errno != EAGAIN) {
                    closed = true;
                    error = errno;
                }
                break;
            }
            if (!conn->exchange.httpReply && chatReplyComplete(conn->in)) {
                finish(conn, true, 0, done);
            } else if (closed) {
                const bool httpOk = conn->exchange.httpReply && conn->in.rfind("HTTP/1.", 0) == 0;
                finish(conn, httpOk, error ? error : (httpOk ? 0 : ECONNRESET), done);
            }
        }
    }
}

void LoadGen::closedLoop(int inFlight, const std::function<bool(Exchange&)>& next,
                         const std::function<void(const Outcome&)>& done, Clock::time_point until) {
    bool more = true;
    auto refill = [&] {
        while (more && m_inFlight < inFlight && Clock::now() < until) {
            Exchange exchange;
            if (!next(exchange)) {
                more = false;
                break;
            }
            if (!start(exchange)) {
                Outcome failed;
                failed.id = exchange.id;
                failed.error = errno;
                if (done) done(failed);
            }
        }
    };
    refill();
    while (m_inFlight > 0) {
        poll(10, [&](const Outcome& outcome) {
            if (done) done(outcome);
        });
        refill();
    }
}

void LoadGen::openLoop(double rate, double seconds, const std::function<bool(Exchange&)>& next,
                       const std::function<void(const Outcome&)>& done, const OpenLimits& limits) {
    const Clock::time_point begin = Clock::now();
    const auto interval = std::chrono::duration<double>(1.0 / rate);
    long long issued = 0;
    const auto total = static_cast<long long>(rate * seconds);
    Clock::time_point lastExpiry = begin;
    auto fail = [&](const Exchange& exchange, int error) {
        Outcome failed;
        failed.id = exchange.id;
        failed.error = error;
        if (done) done(failed);
    };
    while (issued < total || (limits.drain && m_inFlight > 0)) {
        const Clock::time_point now = Clock::now();
        while (issued < total &&
               begin + std::chrono::duration_cast<Clock::duration>(interval * double(issued)) <= now) {
            Exchange exchange;
            if (!next(exchange)) {
                issued = total;
                break;
            }
            ++issued;
            if (limits.maxInFlight > 0 && m_inFlight >= limits.maxInFlight)
                fail(exchange, EBUSY);
            else if (!start(exchange))
                fail(exchange, errno);
        }
        if (limits.timeoutSeconds > 0 && now - lastExpiry > std::chrono::milliseconds(100)) {
            expire(limits.timeoutSeconds, done);
            lastExpiry = now;
        }
        // Sleeping up to a millisecond between rounds starts exchanges in small bursts instead of
        // spinning a core the server needs.
        poll(issued < total ? 1 : 10, done);
    }
}

void LoadGen::expire(double timeoutSeconds, const std::function<void(const Outcome&)>& done) {
    const Clock::time_point limit =
        Clock::now() - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    std::vector<Conn*> late;
    for (Conn* conn : m_open)
        if (conn->started < limit) late.push_back(conn);
    for (Conn* conn : late)
        finish(conn, false, ETIMEDOUT, done);
}

int LoadGen::abandon() {
    const int count = m_inFlight;
    const std::vector<Conn*> open(m_open.begin(), m_open.end());
    for (Conn* conn : open)
        finish(conn, false, ECONNABORTED, {});
    return count;
}

std::vector<Outcome> LoadGen::holdConnections(int count, uint32_t source, const std::string& bytes, double maxSeconds) {
    std::vector<Outcome> closed;
    for (int i = 0; i < count; ++i) {
        Exchange exchange;
        exchange.request = bytes;
        exchange.source = source;
        exchange.httpReply = true; // read until the server hangs up
        exchange.id = i;
        start(exchange);
    }
    const Clock::time_point until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(maxSeconds));
    while (m_inFlight > 0 && Clock::now() < until)
        poll(20, [&](const Outcome& outcome) { closed.push_back(outcome); });
    return closed;
}

} // namespace bench
