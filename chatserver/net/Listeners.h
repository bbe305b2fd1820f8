#pragma once
// A TCP listener on the one Qt event loop, what the two front doors (Doors.h) are made of.
// Each connection carries one exchange. Limits protect the server from any one caller: a size
// cap on requests, deadlines for slow and idle connections, and a cap on open connections per
// network address and in all.
//
// A connection from a load balancer named in `balancers` must begin with the balancer's PROXY
// header, and the caller it names counts as the connection's address (limits, log-in rules, log).
//
// Connections are plain non-blocking sockets watched by one epoll set per listener; the Qt loop
// watches only that set. A Qt socket object per connection (its notifiers, signals and deferred
// deletion) cost several times the work of the exchange itself.
//
// Several serving loops may serve one port: each has a listener of its own on its thread, the
// first made with setSharedPort() and the others with serveAlongside(), each with a listening
// socket of its own on the port, and the kernel hands each new caller to one of them (one socket
// for all woke every loop for each caller, and all but one found nothing to accept). They count
// their callers in one ledger (DoorLedger.h), so the limits hold for the port as a whole.
#include "chatserver/net/DoorLedger.h"
#include "chatserver/net/ProxyHeader.h"
#include "chatserver/net/RateLimits.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <memory>
#include <set>
#include <unordered_map>

class QSocketNotifier;
class QTimer;

namespace chatserver {

class TlsServerContext;
class TlsChannel;

struct ListenerLimits {
    qsizetype maxRequestBytes = 8192;
    int requestTimeoutMs = 5000;                // the whole request must be in by then
    int idleTimeoutMs = 5000;                   // after the answer, the caller has this long to hang up
    int settleMs = 30;                          // grace for a request whose last field may still be growing
    int maxPerAddress = 64;                     // open connections from one network address; 0 = no cap
    int maxPerNetwork = 256;                    // open connections from one network of addresses; 0 = no cap
    int maxConnections = 4096;                  // open connections in all; 0 = no cap
    RateLimit connections{600, 60'000};         // new connections from one network address
    RateLimit networkConnections{2400, 60'000}; // new connections from one network of addresses
    NetworkPrefixes prefixes;                   // what counts as one network
    // Answers to one network address not yet known to be taken (their connections still open);
    // past this its new connections are refused. 0 = no cap.
    qint64 maxPendingBytesPerAddress = 1 << 20;
    QList<AddressRange> balancers; // peers whose connections start with a PROXY header
};

class Connection;

class TcpListener : public QObject {
    Q_OBJECT
public:
    TcpListener(QString name, const ListenerLimits& limits, QObject* parent = nullptr);
    ~TcpListener() override;

    // False and a message when the address cannot be listened on (in use, not ours, ...).
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    // Before listen(): how many loops will serve the same port, this listener's among them.
    void setSharedPort(int loops) { m_loops = loops; }
    // Listens on the port of `first` (which shares it) on this listener's thread, counting its
    // callers in `first`'s ledger as one of the loops `first` was told of; false and a message when
    // it cannot.
    bool serveAlongside(const TcpListener& first, QString* error);
    void close(); // stops accepting; open connections finish their exchange
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }

    const ListenerLimits& limits() const { return m_limits; }
    // The port's figures and open connections, in every loop that serves it.
    const ListenerStats& stats() const { return m_doors->stats(); }
    int openConnections() const { return m_doors->open().load(); }
    // Those of them this listener's loop holds.
    int openHere() const { return int(m_connections.size()); }
    // Open connections counted against the caller at `peer` (a balancer's count as their callers').
    int connectionsFrom(const QString& peer) const { return m_doors->openFrom(limitKey(peer)); }
    const QString& name() const { return m_name; }
    // Connections accepted from now on speak TLS with this certificate (null: plain). Set again
    // with a renewed certificate, it serves the connections that come after.
    void setTls(std::shared_ptr<TlsServerContext> tls) { m_tls = std::move(tls); }
    bool secure() const { return m_tls != nullptr; }

    // The keys a connection from `peer` is counted under: its address and its network.
    DoorKeys doorKeys(const QString& peer) const;
    // The caller's network address in its plain form ("1.2.3.4" also for IPv4 over IPv6).
    static QString peerText(const QHostAddress& address);

signals:
    // After every exchange that was answered (tests wait on it).
    void exchanged();

protected:
    virtual std::unique_ptr<Connection> createConnection(int fd, const QString& peer, quint64 serial) = 0;
    // Nearly every connection on the port ends with the caller hanging up after its answer,
    // where a reset is the close wanted: the listening socket is set to reset on close, which
    // accepted sockets take over, and only the other closes change it back (one system call
    // fewer for each of the many).
    virtual bool callersHangUpFirst() const { return false; }
    ListenerStats& mutableStats() { return m_doors->stats(); }

private:
    friend class Connection;
    void onEvents();
    void acceptAll();
    void onSweep();
    // Runs `step` on the connection with this serial, if it is still open, and disposes of it
    // when the step finished it.
    template <typename Step> void with(quint64 serial, Step step);
    void dispose(quint64 serial);
    // Counts a connection against the limits of its caller (its peer()) and remembers the key
    // it was counted under; false (and the connection is to be closed) when it is over them.
    bool admit(Connection& connection);
    // Counts one more connection from `peer` under `keys`, or logs why it is refused.
    bool countAtDoor(const QString& peer, const DoorKeys& keys);
    void settleLater(quint64 serial, quint64 token, int delayMs);
    void watch(int fd, quint64 serial, bool forWriting);
    // Other loops listen on the same port.
    bool sharedPort() const { return m_loops > 1; }
    // Puts the listening socket into the epoll set; false when it cannot be.
    bool watchListening();
    // Closes an accepted socket that is not served, with a goodbye as for any other refusal.
    void closeUnserved(int fd) const;
    // Makes room for one more connection while all are in use: closes the oldest that has not
    // sent a whole request yet, or else the oldest that only waits for its caller to hang up.
    // False when every connection is in the middle of an exchange. `forNewcomer`: the place it
    // had among the port's connections goes to the one being accepted, not to another loop.
    bool shedOne(bool forNewcomer = false);

    QString m_name;
    ListenerLimits m_limits;
    int m_epoll = -1;
    int m_listenFd = -1;
    bool m_resetsOnClose = false;   // accepted sockets reset when closed, unless told otherwise
    bool m_acceptPaused = false;    // out of file descriptors: try again at the next sweep
    bool m_slotForNewcomer = false; // the connection being disposed of leaves its place to a new one
    int m_loops = 1;                // how many loops serve the port, this one's among them
    QHostAddress m_address;
    quint16 m_port = 0;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_sweep = nullptr;
    quint64 m_nextSerial = 1; // 0 stands for the listening socket in the epoll set
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
    // Open connections by age (serials grow): those without a whole request yet, and those whose
    // answer is all sent and only wait for the caller to hang up. The first to go under pressure.
    std::set<quint64> m_unrequested;
    std::set<quint64> m_idle;
    std::shared_ptr<DoorLedger> m_doors; // shared with the listeners of other loops on the same socket
    std::shared_ptr<TlsServerContext> m_tls;
};

// One accepted connection, owned by its listener, which drops it once it is finished: when the
// caller hangs up, on refusal or on time-out.
class Connection {
public:
    Connection(TcpListener& listener, int fd, QString peer, quint64 serial);
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The caller's network address: the other end of the socket, or the caller a balancer's
    // header names. Limits, log-in rules and log lines all go by this.
    const QString& peer() const { return m_peer; }
    // The connection speaks TLS: nobody on the path read or changed what it carries.
    bool secure() const { return m_tls != nullptr; }
    qint64 deadline() const { return m_deadline; }
    bool finished() const { return m_finished; }
    void expire();
    // Ends the connection at once, throwing away whatever of the answer the caller did not take.
    void discard();

protected:
    virtual void onBytes(const QByteArray& bytes) = 0;
    // The grace asked for with settleLater() is over.
    virtual void onSettled() {}
    // Sends `bytes` and waits for the caller to hang up (or hangs up itself once sent).
    void answer(const QByteArray& bytes, bool closeAfterwards);
    void drop(); // ends the connection without an answer
    // Calls onSettled() after `delayMs`, unless asked again before that (the latest wins).
    void settleLater(int delayMs) { m_listener.settleLater(m_serial, ++m_settleToken, delayMs); }
    // The whole request is in: from now on the connection is not among the first to be shed.
    void requestComplete() { m_listener.m_unrequested.erase(m_serial); }
    bool answered() const { return m_answered; }
    TcpListener& listener() { return m_listener; }
    ListenerStats& stats() { return m_listener.mutableStats(); }

private:
    friend class TcpListener;
    void onReadable();
    // Takes a balancer's header from the front of `bytes` (which keeps what follows it); false
    // when the connection is to end.
    bool takeProxyHeader(QByteArray& bytes);
    void onWritable();
    // recv() and send() on the socket, through TLS on a secure listener.
    ssize_t receiveSome(char* buffer, std::size_t size);
    ssize_t sendSome(const char* data, std::size_t size);
    // The answer is all handed to the socket: the caller's hang-up is all that can come.
    bool awaitsOnlyHangUp() const { return m_answered && !m_finished && m_outSent >= m_out.size(); }
    // The caller hung up after the answer; nothing it sent since needs reading.
    void onHungUp();
    // Before the close that follows the caller's, once the answer is all through.
    void closeAfterHangUp();
    void settled(quint64 token);
    void flush();
    void finish();

    TcpListener& m_listener;
    int m_fd;
    QString m_peer;
    quint64 m_serial;
    qint64 m_deadline = 0;
    QByteArray m_out; // what the socket did not take yet
    qsizetype m_outSent = 0;
    qint64 m_charged = 0; // bytes counted against the caller's pending answers
    DoorKeys m_doorKeys;  // what the listener counted this connection under; empty until counted
    quint64 m_settleToken = 0;
    bool m_reset = false; // closing resets: the caller took the whole answer, or will take nothing
    bool m_closeAfterSend = false;
    bool m_writeWatched = false;
    bool m_answered = false;
    bool m_finished = false;
    bool m_awaitingHeader = false; // from a balancer, header not read yet
    QByteArray m_header;           // the balancer's header so far
    std::unique_ptr<TlsChannel> m_tls;
};

} // namespace chatserver
