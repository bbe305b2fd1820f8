#pragma once
// The two TCP front doors, both on the one Qt event loop: the chat protocol and the web pages.
// Each connection carries one exchange. Limits protect the server from any one caller: a size
// cap on requests, deadlines for slow and idle connections, and a cap on open connections per
// network address and in all.
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace chatserver {

class ChatService;
class WebPages;

struct ListenerLimits {
    qsizetype maxRequestBytes = 8192;
    int requestTimeoutMs = 5000; // the whole request must be in by then
    int idleTimeoutMs = 5000;    // after the answer, the caller has this long to hang up
    int settleMs = 30;           // grace for a request whose last field may still be growing
    int maxPerAddress = 64;      // open connections from one network address; 0 = no cap
    int maxConnections = 4096;   // open connections in all; 0 = no cap
};

struct ListenerStats {
    quint64 accepted = 0;
    quint64 answered = 0;
    quint64 refusedAtDoor = 0; // over a connection cap
    quint64 malformed = 0;     // closed for bad or oversized input
    quint64 timedOut = 0;
    quint64 failed = 0; // the store failed while answering
    quint64 bytesReceived = 0;
};

class Connection;

class TcpListener : public QObject {
    Q_OBJECT
public:
    TcpListener(QString name, ListenerLimits limits, QObject* parent = nullptr);
    ~TcpListener() override;

    // False and a message when the address cannot be listened on (in use, not ours, ...).
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    void close();
    QHostAddress address() const;
    quint16 port() const;

    const ListenerLimits& limits() const { return m_limits; }
    const ListenerStats& stats() const { return m_stats; }
    int openConnections() const { return int(m_connections.size()); }
    const QString& name() const { return m_name; }

    // The caller's network address in its plain form ("1.2.3.4" also for IPv4 over IPv6).
    static QString peerText(const QHostAddress& address);

signals:
    // After every exchange that was answered (tests wait on it).
    void exchanged();

protected:
    virtual Connection* createConnection(QTcpSocket* socket, const QString& peer) = 0;
    ListenerStats& mutableStats() { return m_stats; }

private:
    friend class Connection;
    void onNewConnection();
    void onSweep();
    void forget(Connection* connection);

    QString m_name;
    ListenerLimits m_limits;
    QTcpServer* m_server = nullptr;
    QTimer* m_sweep = nullptr;
    QSet<Connection*> m_connections;
    QHash<QString, int> m_perAddress;
    ListenerStats m_stats;
};

// One accepted connection; removes itself when the caller hangs up, on refusal or time-out.
class Connection : public QObject {
    Q_OBJECT
public:
    Connection(TcpListener& listener, QTcpSocket* socket, QString peer);
    ~Connection() override;

    const QString& peer() const { return m_peer; }
    qint64 deadline() const { return m_deadline; }
    void expire();

protected:
    virtual void onBytes(const QByteArray& bytes) = 0;
    // Sends `bytes` and waits for the caller to hang up (or hangs up itself once sent).
    void answer(const QByteArray& bytes, bool closeAfterwards);
    void drop(); // ends the connection without an answer
    bool answered() const { return m_answered; }
    TcpListener& listener() { return m_listener; }
    ListenerStats& stats() { return m_listener.mutableStats(); }

private:
    void onReadyRead();
    void finish();

    TcpListener& m_listener;
    QTcpSocket* m_socket;
    QString m_peer;
    qint64 m_deadline = 0;
    bool m_answered = false;
    bool m_finished = false;
};

class ChatListener final : public TcpListener {
    Q_OBJECT
public:
    ChatListener(ChatService& service, ListenerLimits limits, QObject* parent = nullptr);

protected:
    Connection* createConnection(QTcpSocket* socket, const QString& peer) override;

private:
    ChatService& m_service;
};

class WebListener final : public TcpListener {
    Q_OBJECT
public:
    WebListener(WebPages& pages, ListenerLimits limits, QObject* parent = nullptr);

protected:
    Connection* createConnection(QTcpSocket* socket, const QString& peer) override;

private:
    WebPages& m_pages;
};

} // namespace chatserver
