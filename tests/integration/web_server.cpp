#include "web_server.h"

#include "support/ScriptedChatServer.h"

#include "app/frmMain.h"
#include "server/KVOSocket.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace webtest {

void attachWebSocket(frmMain& form) {
    form.oMySocketWeb = std::make_unique<KVOSocket>();
    KVOSocket* socket = form.oMySocketWeb.get();
    QObject::connect(socket, &KVOSocket::OnConnect, &form,
                     [&form](qint32 handle) { form.oMySocketWeb_OnConnect(handle); });
    QObject::connect(socket, &KVOSocket::OnDataArrival, &form,
                     [&form](qint32 total, const QString& chunk, const QString& handle) {
                         form.oMySocketWeb_OnDataArrival(total, chunk, handle);
                     });
    QObject::connect(socket, &KVOSocket::OnClose, &form, [&form] { form.oMySocketWeb_OnClose(); });
    QObject::connect(socket, &KVOSocket::OnError, &form,
                     [&form](qint32 number, const QString& text) { form.oMySocketWeb_OnError(number, text); });
}

QByteArray httpReply(const QByteArray& body, bool withContentLength, const QByteArray& status) {
    QByteArray reply = "HTTP/1.1 " + status + "\r\nContent-Type: text/html\r\n";
    if (withContentLength) reply += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return reply + "Connection: close\r\n\r\n" + body;
}

QByteArray marked(const QByteArray& value) {
    return "StartLookWANIP =" + value + "EndLookWANIP";
}

ScriptedWebServer::ScriptedWebServer(const QString& address, quint16 port) : m_server(new QTcpServer(this)) {
    m_server->listen(QHostAddress(address), port);
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedWebServer::onNewConnection);
}

ScriptedWebServer::~ScriptedWebServer() {
    for (const QPointer<QTcpSocket>& socket : m_sockets)
        if (socket) socket->abort();
}

bool ScriptedWebServer::listening() const {
    return m_server->isListening();
}

int ScriptedWebServer::openConnections() const {
    int open = 0;
    for (const QPointer<QTcpSocket>& socket : m_sockets)
        if (socket && socket->state() == QAbstractSocket::ConnectedState) ++open;
    return open;
}

void ScriptedWebServer::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        m_sockets.append(socket);
        auto peer = std::make_shared<Peer>();
        peer->socket = socket;
        connect(socket, &QTcpSocket::readyRead, this, [this, peer] { onReadyRead(peer); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0) onReadyRead(peer);
    }
}

void ScriptedWebServer::onReadyRead(const std::shared_ptr<Peer>& peer) {
    if (!peer->socket) return;
    peer->buffer += peer->socket->readAll();
    const qsizetype end = peer->buffer.indexOf("\r\n\r\n");
    if (peer->answered || end < 0) return;
    peer->answered = true;
    const QByteArray request = peer->buffer.left(end + 4);
    m_requests.append(request);

    // "GET //page?query HTTP/1.1": the page is the target without slashes and query.
    QByteArray target = request.left(request.indexOf("\r\n")).split(' ').value(1);
    while (target.startsWith('/'))
        target.remove(0, 1);
    if (const qsizetype query = target.indexOf('?'); query >= 0) target.truncate(query);
    const QString page = QString::fromLatin1(QByteArray::fromPercentEncoding(target));

    const auto found = m_answers.constFind(page);
    const Answer answer =
        found != m_answers.constEnd() ? *found : whole(httpReply("no such page", true, "404 Not Found"));
    send(peer->socket, answer, 0, m_endless.value(page));
}

void ScriptedWebServer::send(const QPointer<QTcpSocket>& socket, const Answer& answer, int index,
                             const Endless& endless) {
    if (!socket) return;
    if (index >= answer.segments.size()) {
        if (!endless.filler.isEmpty())
            testsupport::streamForever(*socket, endless.filler, endless.gapMs);
        else if (answer.closeAfter)
            socket->disconnectFromHost();
        return;
    }
    const Segment& segment = answer.segments[index];
    QTimer::singleShot(segment.delayMs, this, [this, socket, answer, index, endless] {
        if (!socket) return;
        socket->write(answer.segments[index].bytes);
        socket->flush();
        send(socket, answer, index + 1, endless);
    });
}

} // namespace webtest
