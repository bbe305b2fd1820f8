#pragma once
// Asynchronous TCP client with connect, send and close operations and four events, on
// QTcpSocket. One connection at a time; every event is delivered from the event loop, never
// from inside an operation. Text goes over the wire one byte per character (Windows-1252).
#include <QObject>
#include <QString>
#include <memory>

class QTcpSocket;
class QTimer;

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
    void onReadyRead(qint32 handle);
    void onDisconnected(qint32 handle);
    void onSocketError(qint32 handle);
    void onConnectTimeout(qint32 handle);

    QTcpSocket* m_socket = nullptr;
    QTimer* m_connectTimer = nullptr;
    qint32 m_handle = 0;
    static qint32 s_nextHandle;
};
