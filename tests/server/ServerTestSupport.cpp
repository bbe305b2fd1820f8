#include "ServerTestSupport.h"

#include "chatserver/net/Logging.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace servertest {

QString callAddress(int lastOctet) {
    return QStringLiteral("127.0.0.%1:5060").arg(lastOctet);
}

QHostAddress loopback(int lastOctet) {
    return QHostAddress(QStringLiteral("127.0.0.%1").arg(lastOctet));
}

QByteArray chatRequest(const QStringList& fields, const QString& address) {
    return wire::toCp1252(wire::scrambled(fields.join(wire::kSep) + wire::kSep + address));
}

QList<ChatReply> exchangeMany(const QHostAddress& server, quint16 port, const QList<QByteArray>& requests,
                              const QList<QHostAddress>& sources, int timeoutMs,
                              const std::function<void(const ChatReply&)>& answered, bool tls) {
    QList<ChatReply> replies(requests.size());
    std::vector<wire::ReplyFramer> framers(std::size_t(requests.size()));
    QObject sockets; // owns them all
    for (qsizetype i = 0; i < requests.size(); ++i) {
        QTcpSocket* socket = tls ? new QSslSocket(&sockets) : new QTcpSocket(&sockets);
        ChatReply* reply = &replies[i];
        wire::ReplyFramer* framer = &framers[std::size_t(i)];
        socket->bind(sources[i % sources.size()], 0);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, reply, framer, &answered] {
            const wire::ReplyFramer::Result result = framer->feed(wire::fromCp1252(socket->readAll()));
            if (result.status != wire::ReplyFramer::Status::Complete) return;
            reply->answered = true;
            reply->payload = result.payload;
            socket->abort();
            if (answered) answered(*reply);
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [reply] { reply->closed = true; });
        QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [reply] { reply->closed = true; });
        const auto write = [socket, bytes = requests[i]] { socket->write(bytes); };
        if (auto* secure = qobject_cast<QSslSocket*>(socket)) {
            secure->setPeerVerifyMode(QSslSocket::QueryPeer);
            QObject::connect(secure, &QSslSocket::encrypted, secure, write);
            secure->connectToHostEncrypted(server.toString(), port);
        } else {
            QObject::connect(socket, &QTcpSocket::connected, socket, write);
            socket->connectToHost(server, port);
        }
    }
    const auto ended = [](const ChatReply& reply) { return reply.answered || reply.closed; };
    waitFor([&] { return std::all_of(replies.cbegin(), replies.cend(), ended); }, timeoutMs);
    return replies;
}

ChatReply exchange(const QHostAddress& server, quint16 port, const QByteArray& bytes, const QHostAddress& source) {
    return exchangeMany(server, port, {bytes}, {source}).constFirst();
}

ChatReply tlsExchange(const QHostAddress& server, quint16 port, const QByteArray& bytes) {
    return exchangeMany(server, port, {bytes}, {QHostAddress(QStringLiteral("127.0.0.1"))}, 20000, {}, true)
        .constFirst();
}

int rawSocketFrom(const QHostAddress& from, const QHostAddress& server, quint16 port, int flags,
                  const std::function<void(int)>& configure) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) return -1;
    if (configure) configure(fd);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(from.toIPv4Address());
    remote.sin_addr.s_addr = htonl(server.toIPv4Address());
    remote.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
        (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 || errno == EINPROGRESS))
        return fd;
    ::close(fd);
    return -1;
}

HttpReply httpExchange(const QHostAddress& server, quint16 port, const QByteArray& request,
                       const QHostAddress& source) {
    HttpReply reply;
    QTcpSocket socket;
    socket.bind(source, 0);
    QObject::connect(&socket, &QTcpSocket::connected, &socket, [&] { socket.write(request); });
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { reply.raw += socket.readAll(); });
    socket.connectToHost(server, port);
    waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; });
    reply.raw += socket.readAll();
    const qsizetype headerEnd = reply.raw.indexOf("\r\n\r\n");
    if (reply.raw.startsWith("HTTP/1.1 ") && headerEnd > 0) {
        reply.status = reply.raw.mid(9, 3).toInt();
        reply.body = reply.raw.mid(headerEnd + 4);
    }
    return reply;
}

QByteArray clientGet(const QString& page) {
    return wire::toCp1252(QStringLiteral("GET //") + QString(page).replace(QLatin1Char(' '), QStringLiteral("%20")) +
                          QStringLiteral(" HTTP/1.1\r\nHost: localhost:80\r\nConnection: Close\r\n\r\n"));
}

bool ServerFixture::start(ServerShape shape, const std::function<void(chatserver::ServerConfig&)>& adjust) {
    const QString store = freshStoreAddress(shape.backend, dir, &skipped);
    if (store.isEmpty()) return false;
    chatserver::ServerConfig config;
    config.chatAddress = config.webAddress = host;
    config.chatPort = config.webPort = 0;
    config.webExplicit = true;
    config.store = store;
    config.dataDir = dir.path();
    config.logLevel = QStringLiteral("warning");
    // Call addresses on loopback answer nothing here; the tests of the check turn it on. No mail
    // either: addresses are the account's at once, unless a test of their confirmation says so.
    config.callCheck.enabled = false;
    config.mailEnabled = false;
    config.servingLoops = shape.loops;
    if (adjust) adjust(config);
    chatserver::setLogLevel(config.logLevel);
    server = std::make_unique<chatserver::ChatServer>(config, clock.clock());
    QString error;
    if (!server->start(&error)) {
        ADD_FAILURE() << "the server did not start: " << error.toStdString();
        skipped = error;
        return false;
    }
    return true;
}

std::unique_ptr<chatserver::ChatServer> ServerFixture::startTwin() {
    chatserver::ServerConfig config = server->config();
    config.chatPort = config.webPort = 0;
    auto twin = std::make_unique<chatserver::ChatServer>(config, clock.clock());
    QString error;
    if (twin->start(&error)) return twin;
    ADD_FAILURE() << "the second server did not start: " << error.toStdString();
    return nullptr;
}

ChatReply ServerFixture::send(const QStringList& fields, const QHostAddress& from, const QString& address,
                              quint16 port) const {
    return exchange(host, port ? port : chatPort(), chatRequest(fields, address), from);
}

QString ServerFixture::registered(const QString& name, const QHostAddress& from, const QString& address,
                                  quint16 port) const {
    const QString lower = name.toLower();
    return send({"3", lower, "PC", lower + "@example.org", name}, from, address, port).fields().value(3);
}

QString serverProgram() {
    return QStringLiteral(COLLOQ_SERVER_PROGRAM);
}

} // namespace servertest
