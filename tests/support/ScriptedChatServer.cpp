#include "support/ScriptedChatServer.h"

#include "wire/Codepage.h"
#include "wire/Protocol.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <sys/socket.h>

namespace testsupport {

void streamForever(QTcpSocket& socket, const QByteArray& filler, int gapMs) {
    auto* timer = new QTimer(&socket); // goes with the socket
    QObject::connect(timer, &QTimer::timeout, &socket, [&socket, filler] {
        if (socket.state() == QAbstractSocket::ConnectedState && socket.bytesToWrite() < 4 * filler.size())
            socket.write(filler);
    });
    timer->start(gapMs);
}

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
        if (peer->quiet) peer->quiet->stop();
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
            if (!peer->request.isEmpty()) peer->quiet->start(m_quietMs);
            return;
        }
    }
    m_script.append(reply);
}

QByteArray ScriptedChatServer::request(int index) const {
    if (index < 0 || index >= connectionCount()) return {};
    return m_peers[static_cast<std::size_t>(index)]->request;
}

bool ScriptedChatServer::closedByClient(int index) const {
    return index >= 0 && index < connectionCount() && m_peers[static_cast<std::size_t>(index)]->closed;
}

bool ScriptedChatServer::replySent(int index) const {
    return index >= 0 && index < connectionCount() && m_peers[static_cast<std::size_t>(index)]->sent;
}

void ScriptedChatServer::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto peer = std::make_unique<Peer>();
        peer->socket = socket;
        peer->quiet = std::make_unique<QTimer>();
        peer->quiet->setSingleShot(true);
        if (!m_script.isEmpty()) {
            peer->reply = m_script.takeFirst();
            peer->hasReply = true;
        }
        Peer* raw = peer.get();
        m_peers.push_back(std::move(peer));
        connect(raw->quiet.get(), &QTimer::timeout, this, [this, raw] { answer(*raw); });
        connect(socket, &QIODevice::readyRead, this, [this, raw] {
            if (!raw->socket) return;
            raw->request += raw->socket->readAll();
            if (raw->hasReply && !raw->answering) raw->quiet->start(m_quietMs);
        });
        connect(socket, &QAbstractSocket::disconnected, this, [raw] {
            raw->closed = true;
            if (raw->quiet) raw->quiet->stop();
        });
        // The socket is the QTcpServer's child and lives until the server goes.
    }
}

void ScriptedChatServer::answer(Peer& peer) {
    if (peer.answering || !peer.hasReply || peer.closed) return;
    peer.answering = true;
    int index = 0;
    for (std::size_t i = 0; i < m_peers.size(); ++i)
        if (m_peers[i].get() == &peer) index = static_cast<int>(i);
    QTimer::singleShot(peer.reply.delayMs, this, [this, index] { writeChunk(index, 0); });
}

void ScriptedChatServer::writeChunk(int peerIndex, int chunkIndex) {
    Peer& peer = *m_peers[static_cast<std::size_t>(peerIndex)];
    if (!peer.socket || peer.closed) return;
    // Chunk boundaries: 0, the split positions inside the reply in ascending order, the end.
    QList<qsizetype> cuts{0};
    for (qsizetype position : peer.reply.splitAt)
        if (position > cuts.back() && position < peer.reply.bytes.size()) cuts.append(position);
    cuts.append(peer.reply.bytes.size());
    const qsizetype from = cuts.at(chunkIndex);
    const qsizetype to = cuts.at(chunkIndex + 1);
    peer.socket->write(peer.reply.bytes.mid(from, to - from));
    peer.socket->flush();
    if (chunkIndex + 2 < cuts.size()) {
        QTimer::singleShot(peer.reply.gapMs, this,
                           [this, peerIndex, chunkIndex] { writeChunk(peerIndex, chunkIndex + 1); });
        return;
    }
    peer.sent = true;
    if (!peer.reply.filler.isEmpty()) streamForever(*peer.socket, peer.reply.filler, peer.reply.gapMs);
    if (peer.reply.closeAfter) peer.socket->disconnectFromHost();
}

} // namespace testsupport
