#pragma once
// Asynchronous TCP client with connect, send and close operations and four events, on
// QSslSocket. One connection at a time; every event is delivered from the event loop, never
// from inside an operation. Text goes over the wire one byte per character (Windows-1252).
//
// Given a ServerTrust, a connection goes to the server's TLS port first (the port after the one
// asked for) and OnConnect comes once the TLS session is up and the trust has accepted the
// server's key; when no TLS session can be had the trust decides whether the plain port may
// serve instead. What is sent and received inside is the same either way.
#include <QObject>
#include <QString>
#include <memory>

class QSslSocket;
class QTimer;

// Decides which servers' keys a socket trusts and when it may do without TLS.
class ServerTrust {
public:
    virtual ~ServerTrust() = default;
    // How a connection to the server at `hostPort` starts: TLS and nothing else (a server seen
    // encrypted before), TLS first with the plain port should TLS fail (one never seen so), or
    // the plain port at once (one found without TLS earlier in this run).
    enum class Approach { TlsOnly, TlsFirst, Plain };
    virtual Approach approach(const QString& hostPort) = 0;
    // The port where a server of this kind speaks TLS, beside the plain `port`.
    virtual quint16 tlsPort(quint16 port) const = 0;
    // The server at `hostPort` (the address and port asked for) showed this key: the SHA-256 of
    // its public key, "AB:CD:...". `systemTrusted`: its certificate chains to a certificate
    // authority of the system and names the address. False and why when it is not to be trusted.
    virtual bool trustKey(const QString& hostPort, const QString& fingerprint, bool systemTrusted, QString* why) = 0;
    // No TLS session could be had with the server at `hostPort`: whether the request may go to
    // its plain port (an older server), or false and why not. A server not reached at all on its
    // TLS port is then told as unreachable; one that answered there and failed the handshake as
    // kErrSecureLinkRefused.
    virtual bool mayGoPlain(const QString& hostPort, QString* why) = 0;
};

class KVOSocket : public QObject {
    Q_OBJECT
public:
    explicit KVOSocket(QObject* parent = nullptr);
    ~KVOSocket() override;

    // Starts a connection and returns at once: OnConnect or OnError follows. A connection still
    // open is dropped first.
    void Connect(const QString& host, qint32 port);
    // Sends the whole text, in order, on the connection with that handle. A stale handle raises
    // an error event instead of sending.
    void SendData(const QString& data, qint32 handle);
    // Closes the connection with that handle; a stale handle is ignored.
    void CloseSocket(qint32 handle);

    qint32 currentHandle() const { return m_handle; }
    // Whether the connection with that handle is a TLS session whose key was trusted.
    bool isSecure(qint32 handle) const { return handle != 0 && handle == m_handle && m_secure; }
    // Connections started from now on go TLS first, judged by `trust` (null: plain TCP only). The
    // trust must outlive the socket's connections.
    void setServerTrust(ServerTrust* trust) { m_trust = trust; }

    // How long a connection may take before it is given up with an error event (20 s unless
    // tests shorten it). Applies to connections started afterwards.
    static void setConnectTimeoutForTesting(int milliseconds);

    // Error numbers of the error event (the socket error codes callers of this component know).
    enum ErrorNumber : qint32 {
        kErrAccessDenied = 10013,
        kErrAddressNotAvailable = 10049,
        kErrNetworkUnreachable = 10051,
        kErrConnectionAborted = 10053,
        kErrConnectionReset = 10054,
        kErrNoBufferSpace = 10055,
        kErrNotConnected = 10057,
        kErrTimedOut = 10060,
        kErrConnectionRefused = 10061,
        kErrHostNotFound = 11001,
        // The server could not be reached over TLS, or showed a key not to be trusted, and the
        // trust forbids the plain port: the description says why, for the user.
        kErrSecureLinkRefused = 12175,
    };

signals:
    void OnConnect(qint32 lngSocketHandle);
    void OnDataArrival(qint32 bytesTotal, const QString& strDataReceive, const QString& lngSocketHandle);
    void OnClose();
    void OnError(qint32 Number, const QString& Description);

private:
    static qint32 nextHandle();
    // Lets the current connection go without events: pending output is still flushed.
    void dropSocket();
    // Ends the current connection (if it is still `handle`) with an error event.
    void failConnection(qint32 handle, qint32 number, const QString& description);
    void postFailure(qint32 handle, qint32 number, const QString& description);
    // Hands whatever has arrived to OnDataArrival; false when the handler ended the connection.
    bool deliverPending(qint32 handle);
    void onConnected(qint32 handle);
    // A new socket for this connection, its events wired; `secure` waits for TLS.
    void openSocket(qint32 handle, bool secure);
    void onEncrypted(qint32 handle);
    // The TLS attempt failed before its session was up: the plain port, if the trust allows.
    // `reached`: the TLS port accepted the connection (the handshake itself failed).
    void tlsFailed(qint32 handle, bool reached);
    QString hostPort() const;
    void onReadyRead(qint32 handle);
    void onDisconnected(qint32 handle);
    void onSocketError(qint32 handle);
    void onConnectTimeout(qint32 handle);

    QSslSocket* m_socket = nullptr;
    QTimer* m_connectTimer = nullptr;
    qint32 m_handle = 0;
    ServerTrust* m_trust = nullptr;
    QString m_host;
    qint32 m_port = 0;
    quint64 m_socketSerial = 0; // of the current socket
    bool m_tlsAttempt = false;  // the connection waits for its TLS session
    bool m_secure = false;
    static qint32 s_nextHandle;
};
