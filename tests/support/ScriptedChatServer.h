#pragma once
// A chat server for tests: a QTcpServer on loopback that records the raw bytes of every request
// and answers each connection with the next scripted reply — whole, cut into chunks at given
// byte positions, or after a delay. It never closes a connection itself unless told
// to; what the client closes is counted.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>
#include <memory>
#include <vector>

class QTcpServer;

namespace testsupport {

// A message of the chat protocol: its fields, code first, joined by the field separator.
QString message(const QStringList& fields);

class ScriptedChatServer : public QObject {
    Q_OBJECT
public:
    struct Reply {
        QByteArray bytes;         // exactly what goes on the wire, length prefix included
        QList<qsizetype> splitAt; // byte positions where the reply is cut into separate writes
        int delayMs = 0;          // pause after the request before the first chunk
        int gapMs = 5;            // pause between chunks
        bool closeAfter = false;  // close the connection once the reply is out
        QByteArray filler;        // then this, again and again, while the connection stays open

        // The payload framed as the chat server frames it, one byte per character.
        static Reply framed(const QString& payload);
    };

    explicit ScriptedChatServer(QObject* parent = nullptr);
    ~ScriptedChatServer() override;

    // Listens on `address` at a free port (or the one given).
    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;
    QString host() const;

    // The reply for the next connection that has none yet; connections beyond the script get no
    // answer.
    void enqueue(const Reply& reply);
    // A request counts as complete once no byte has come for this long (10 ms unless told).
    void setQuietPeriod(int milliseconds) { m_quietMs = milliseconds; }

    int connectionCount() const { return static_cast<int>(m_peers.size()); }
    // The raw bytes received on connection `index` (0-based, in order of connection).
    QByteArray request(int index) const { return peer(index) ? peer(index)->request : QByteArray(); }
    // Whether the client has closed connection `index`.
    bool closedByClient(int index) const { return peer(index) && peer(index)->closed; }
    // Whether the whole scripted reply of connection `index` has been written.
    bool replySent(int index) const { return peer(index) && peer(index)->sent; }

private:
    struct Peer {
        QPointer<QTcpSocket> socket;
        QByteArray request;
        QTimer quiet;
        Reply reply;
        QList<qsizetype> cuts; // where the reply's chunks begin, and its end
        bool hasReply = false;
        bool answering = false;
        bool sent = false;
        bool closed = false;
    };
    const Peer* peer(int index) const {
        return index >= 0 && index < connectionCount() ? m_peers[static_cast<std::size_t>(index)].get() : nullptr;
    }
    void onNewConnection();
    void answer(Peer& peer);
    void writeChunk(Peer& peer, qsizetype chunk);

    QTcpServer* m_server = nullptr;
    std::vector<std::unique_ptr<Peer>> m_peers;
    QList<Reply> m_script;
    int m_quietMs = 10;
};

} // namespace testsupport
