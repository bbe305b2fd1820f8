#include "chatserver/Listeners.h"

#include "chatserver/ChatService.h"
#include "chatserver/HttpRequest.h"
#include "chatserver/Logging.h"
#include "chatserver/WebPages.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>

namespace chatserver {

namespace {

constexpr int kSweepIntervalMs = 100;

qint64 monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

// ---- TcpListener -------------------------------------------------------------------------------

TcpListener::TcpListener(QString name, ListenerLimits limits, QObject* parent)
    : QObject(parent), m_name(std::move(name)), m_limits(limits), m_server(new QTcpServer(this)),
      m_sweep(new QTimer(this)) {
    m_server->setListenBacklogSize(1024);
    connect(m_server, &QTcpServer::newConnection, this, &TcpListener::onNewConnection);
    m_sweep->setInterval(kSweepIntervalMs);
    connect(m_sweep, &QTimer::timeout, this, &TcpListener::onSweep);
}

TcpListener::~TcpListener() {
    // Connections are children; make sure none calls back into a half-destroyed listener.
    const QSet<Connection*> open = m_connections;
    for (Connection* connection : open)
        delete connection;
}

bool TcpListener::listen(const QHostAddress& address, quint16 port, QString* error) {
    if (!m_server->listen(address, port)) {
        if (error)
            *error = QStringLiteral("cannot listen for %1 on %2:%3: %4")
                         .arg(m_name, address.toString())
                         .arg(port)
                         .arg(m_server->errorString());
        return false;
    }
    m_sweep->start();
    return true;
}

void TcpListener::close() {
    m_server->close();
    m_sweep->stop();
}

QHostAddress TcpListener::address() const {
    return m_server->serverAddress();
}
quint16 TcpListener::port() const {
    return m_server->serverPort();
}

QString TcpListener::peerText(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) return QHostAddress(v4).toString();
    return address.toString();
}

void TcpListener::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        ++m_stats.accepted;
        const QString peer = peerText(socket->peerAddress());
        int& fromPeer = m_perAddress[peer];
        const bool overPeer = m_limits.maxPerAddress > 0 && fromPeer >= m_limits.maxPerAddress;
        const bool overAll = m_limits.maxConnections > 0 && m_connections.size() >= m_limits.maxConnections;
        if (overPeer || overAll) {
            if (fromPeer == 0) m_perAddress.remove(peer);
            ++m_stats.refusedAtDoor;
            qCDebug(lcServer).noquote() << m_name << peer << "refused at the door:"
                                        << (overPeer ? "too many connections from it" : "too many connections");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++fromPeer;
        Connection* connection = createConnection(socket, peer);
        m_connections.insert(connection);
    }
}

void TcpListener::forget(Connection* connection) {
    if (!m_connections.remove(connection)) return;
    auto it = m_perAddress.find(connection->peer());
    if (it != m_perAddress.end() && --it.value() <= 0) m_perAddress.erase(it);
}

void TcpListener::onSweep() {
    const qint64 now = monotonicMs();
    QList<Connection*> late;
    for (Connection* connection : std::as_const(m_connections))
        if (connection->deadline() <= now) late.append(connection);
    for (Connection* connection : late) {
        ++m_stats.timedOut;
        connection->expire();
    }
}

// ---- Connection --------------------------------------------------------------------------------

Connection::Connection(TcpListener& listener, QTcpSocket* socket, QString peer)
    : QObject(&listener), m_listener(listener), m_socket(socket), m_peer(std::move(peer)),
      m_deadline(monotonicMs() + listener.limits().requestTimeoutMs) {
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &Connection::finish);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] { finish(); });
    // Bytes may already be waiting when the connection is taken.
    if (m_socket->bytesAvailable() > 0) QTimer::singleShot(0, this, &Connection::onReadyRead);
}

Connection::~Connection() {
    m_listener.forget(this);
}

void Connection::onReadyRead() {
    if (m_finished) return;
    const QByteArray bytes = m_socket->readAll();
    stats().bytesReceived += quint64(bytes.size());
    if (m_answered || bytes.isEmpty()) return; // anything after the answer is dropped
    try {
        onBytes(bytes);
    } catch (const std::exception& error) {
        ++stats().failed;
        qCWarning(lcServer).noquote() << m_listener.name() << m_peer << "failed:" << error.what();
        drop();
    }
}

void Connection::answer(const QByteArray& bytes, bool closeAfterwards) {
    if (m_finished) return;
    m_answered = true;
    ++stats().answered;
    m_deadline = monotonicMs() + m_listener.limits().idleTimeoutMs;
    m_socket->write(bytes);
    if (closeAfterwards) m_socket->disconnectFromHost();
    emit m_listener.exchanged();
}

void Connection::drop() {
    if (m_finished) return;
    m_socket->abort();
    finish();
}

void Connection::expire() {
    qCDebug(lcServer).noquote() << m_listener.name() << m_peer << (m_answered ? "idle" : "too slow") << "- closed";
    drop();
}

void Connection::finish() {
    if (m_finished) return;
    m_finished = true;
    m_listener.forget(this);
    if (m_socket->state() != QAbstractSocket::UnconnectedState) m_socket->abort();
    deleteLater();
}

// ---- The chat protocol -------------------------------------------------------------------------

namespace {

class ChatConnection final : public Connection {
public:
    ChatConnection(TcpListener& listener, QTcpSocket* socket, const QString& peer, ChatService& service)
        : Connection(listener, socket, peer), m_service(service) {
        m_started.start();
    }

protected:
    void onBytes(const QByteArray& bytes) override {
        m_received += bytes;
        ++m_chunks;
        evaluate(false);
    }

private:
    // The client writes its request in one piece, so a request that is whole in its first chunk
    // and ends the way a call address ends is answered at once. Otherwise (its end is uncertain,
    // or it came in pieces and more may follow) it is answered once nothing more has arrived for
    // the grace time.
    void evaluate(bool graceOver) {
        if (answered()) return;
        const ChatParse parse = parseChatRequest(m_received, listener().limits().maxRequestBytes);
        switch (parse.status) {
        case ChatParse::Status::Incomplete:
            return;
        case ChatParse::Status::Malformed: {
            ++stats().malformed;
            const ChatService::Outcome outcome = m_service.refuseMalformed(parse.knownCode);
            qCInfo(lcChat).noquote() << peer() << "malformed:" << parse.reason;
            if (outcome.reply)
                send(*outcome.reply);
            else
                drop();
            return;
        }
        case ChatParse::Status::Complete:
            break;
        }
        if (!graceOver && !(parse.settled && m_chunks == 1)) {
            if (!m_grace) {
                m_grace = new QTimer(this);
                m_grace->setSingleShot(true);
                connect(m_grace, &QTimer::timeout, this, [this] {
                    try {
                        evaluate(true);
                    } catch (const std::exception& error) {
                        ++stats().failed;
                        qCWarning(lcChat).noquote() << peer() << "failed:" << error.what();
                        drop();
                    }
                });
            }
            m_grace->start(listener().limits().settleMs);
            return;
        }
        const ChatService::Outcome outcome = m_service.handle(parse.request, peer());
        if (!outcome.reply) {
            qCInfo(lcChat).noquote() << peer() << parse.request.code << "-> closed" << outcome.note;
            drop();
            return;
        }
        qCInfo(lcChat).noquote() << peer() << parse.request.code << "->" << outcome.reply->section(wire::kSep, 0, 0)
                                 << outcome.note << m_started.nsecsElapsed() / 1000 << "us";
        send(*outcome.reply);
    }

    void send(const QString& payload) {
        // The prefix counts characters as the client decodes them, one per byte. Stored text
        // came in through the code page and is one byte per character already; anything else
        // (a character outside it) is brought to the form the client will see first.
        QString text = wire::frameReply(payload);
        QByteArray bytes = wire::toCp1252(text);
        if (bytes.size() != text.size())
            bytes = wire::toCp1252(wire::frameReply(wire::fromCp1252(wire::toCp1252(payload))));
        answer(bytes, false);
    }

    ChatService& m_service;
    QByteArray m_received;
    int m_chunks = 0;
    QTimer* m_grace = nullptr;
    QElapsedTimer m_started;
};

class WebConnection final : public Connection {
public:
    WebConnection(TcpListener& listener, QTcpSocket* socket, const QString& peer, WebPages& pages)
        : Connection(listener, socket, peer), m_pages(pages), m_reader(std::size_t(listener.limits().maxRequestBytes)) {
    }

protected:
    void onBytes(const QByteArray& bytes) override {
        switch (m_reader.feed(bytes)) {
        case HttpRequestReader::Status::Incomplete:
            return;
        case HttpRequestReader::Status::Malformed:
            ++stats().malformed;
            qCInfo(lcWeb).noquote() << peer() << "malformed request";
            answer(WebPages::serialise({400, QByteArray("Bad request."), {}}), true);
            return;
        case HttpRequestReader::Status::Complete:
            break;
        }
        WebResponse response;
        try {
            response = m_pages.answer(m_reader.method(), m_reader.target(), peer());
        } catch (const std::exception& error) {
            ++stats().failed;
            qCWarning(lcWeb).noquote() << peer() << "failed:" << error.what();
            response = {500, QByteArray("Server error."), {}};
        }
        qCInfo(lcWeb).noquote() << peer() << QString::fromLatin1(targetPage(m_reader.target())).left(40) << "->"
                                << response.status << response.note;
        answer(WebPages::serialise(response), true);
    }

private:
    WebPages& m_pages;
    HttpRequestReader m_reader;
};

} // namespace

ChatListener::ChatListener(ChatService& service, ListenerLimits limits, QObject* parent)
    : TcpListener(QStringLiteral("chat"), limits, parent), m_service(service) {}

Connection* ChatListener::createConnection(QTcpSocket* socket, const QString& peer) {
    return new ChatConnection(*this, socket, peer, m_service);
}

WebListener::WebListener(WebPages& pages, ListenerLimits limits, QObject* parent)
    : TcpListener(QStringLiteral("web"), limits, parent), m_pages(pages) {}

Connection* WebListener::createConnection(QTcpSocket* socket, const QString& peer) {
    return new WebConnection(*this, socket, peer, m_pages);
}

} // namespace chatserver
