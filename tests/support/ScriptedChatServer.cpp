#include "support/ScriptedChatServer.h"

#include "wire/Codepage.h"
#include "wire/Protocol.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace testsupport {

namespace {

// Writes `filler` to the socket again and again, every `gapMs`, for as long as it stays open:
// a peer whose reply never ends. It waits while the client reads slower than it sends.
void streamForever(QTcpSocket& socket, const QByteArray& filler, int gapMs) {
    auto* timer = new QTimer(&socket); // goes with the socket
    QObject::connect(timer, &QTimer::timeout, &socket, [&socket, filler] {
        if (socket.state() == QAbstractSocket::ConnectedState && socket.bytesToWrite() < 4 * filler.size())
            socket.write(filler);
    });
    timer->start(gapMs);
}

} // namespace

QString message(const QStringList& fields) {
    return fields.join(wire::kSep);
}

ScriptedChatServer::Reply ScriptedChatServer::Reply::framed(const QString& payload) {
    Reply reply;
    reply.bytes = wire::toCp1252(wire::frameReply(payload));
    return reply;
}

ScriptedChatServer::ScriptedChatServer(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedChatServer::onNewConnection);
}

ScriptedChatServer::~ScriptedChatServer() {
    for (const auto& peer : m_peers) {
        peer->quiet.stop();
        if (peer->socket) {
            peer->socket->disconnect(this);
            peer->socket->abort();
        }
    }
}

bool ScriptedChatServer::listen(const QHostAddress& address, quint16 port) {
    return m_server->listen(address, port);
}

quint16 ScriptedChatServer::port() const {
    return m_server->serverPort();
}

QString ScriptedChatServer::host() const {
    return m_server->serverAddress().toString();
}

void ScriptedChatServer::enqueue(const Reply& reply) {
    // A connection already waiting without a script takes it at once.
    for (const auto& peer : m_peers) {
        if (!peer->hasReply && !peer->closed) {
            peer->reply = reply;
            peer->hasReply = true;
            if (!peer->request.isEmpty()) peer->quiet.start(m_quietMs);
            return;
        }
    }
    m_script.append(reply);
}

void ScriptedChatServer::onNewConnection() {
    // The sockets are the QTcpServer's children and live until the server goes.
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        Peer& peer = *m_peers.emplace_back(std::make_unique<Peer>());
        peer.socket = socket;
        peer.quiet.setSingleShot(true);
        if (!m_script.isEmpty()) {
            peer.reply = m_script.takeFirst();
            peer.hasReply = true;
        }
        connect(&peer.quiet, &QTimer::timeout, this, [this, &peer] { answer(peer); });
        connect(socket, &QIODevice::readyRead, this, [this, &peer] {
            if (!peer.socket) return;
            peer.request += peer.socket->readAll();
            if (peer.hasReply && !peer.answering) peer.quiet.start(m_quietMs);
        });
        connect(socket, &QAbstractSocket::disconnected, this, [&peer] {
            peer.closed = true;
            peer.quiet.stop();
        });
    }
}

void ScriptedChatServer::answer(Peer& peer) {
    if (peer.answering || !peer.hasReply || peer.closed) return;
    peer.answering = true;
    // Chunk boundaries: 0, the split positions inside the reply in ascending order, the end.
    peer.cuts = {0};
    for (qsizetype position : peer.reply.splitAt)
        if (position > peer.cuts.back() && position < peer.reply.bytes.size()) peer.cuts.append(position);
    peer.cuts.append(peer.reply.bytes.size());
    QTimer::singleShot(peer.reply.delayMs, this, [this, &peer] { writeChunk(peer, 0); });
}

void ScriptedChatServer::writeChunk(Peer& peer, qsizetype chunk) {
    if (!peer.socket || peer.closed) return;
    peer.socket->write(peer.reply.bytes.mid(peer.cuts[chunk], peer.cuts[chunk + 1] - peer.cuts[chunk]));
    peer.socket->flush();
    if (chunk + 2 < peer.cuts.size()) {
        QTimer::singleShot(peer.reply.gapMs, this, [this, &peer, chunk] { writeChunk(peer, chunk + 1); });
        return;
    }
    peer.sent = true;
    if (!peer.reply.filler.isEmpty()) streamForever(*peer.socket, peer.reply.filler, peer.reply.gapMs);
    if (peer.reply.closeAfter) peer.socket->disconnectFromHost();
}

} // namespace testsupport
