#pragma once
// Asynchronous TCP client with connect, send and close operations and four events, on
// QTcpSocket. One connection at a time; every event is delivered from the event loop, never
// from inside an operation. Text goes over the wire one byte per character (Windows-1252).
#include <QObject>
#include <QString>
#include <memory>

class QTcpSocket;

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

signals:
    void OnConnect(qint32 lngSocketHandle);
    void OnDataArrival(qint32 bytesTotal, const QString& strDataReceive, const QString& lngSocketHandle);
    void OnClose();
    void OnError(qint32 Number, const QString& Description);

private:
    void dropSocket();
    QTcpSocket* m_socket = nullptr;
    qint32 m_handle = 0;
    static qint32 s_nextHandle;
};
