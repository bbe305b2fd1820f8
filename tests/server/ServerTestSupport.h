#pragma once
// Shared pieces of the server tests: a server in this process, and raw clients that talk to it the
// way the desktop client does (real sockets on 127.0.0.0/8).
#include "chatserver/Server.h"
#include "chatserver/store/Storage.h"

#include "StoreSupport.h"
#include "tests/support/WaitFor.h"
#include "wire/Protocol.h"

#include <QHostAddress>
#include <atomic>
#include <functional>
#include <memory>

namespace servertest {

using testsupport::waitFor;

QString callAddress(int lastOctet);   // "127.0.0.N:5060", a client's call address
QHostAddress loopback(int lastOctet); // 127.0.0.N, a caller's own address

// A chat request as the client sends it: fields, then the call address, scrambled.
QByteArray chatRequest(const QStringList& fields, const QString& address);

struct ChatReply {
    bool answered = false, closed = false; // a whole framed reply arrived; the connection closed
    QString payload;                       // the reply without its length prefix
    QString code() const { return fields().constFirst(); }
    QStringList fields() const { return payload.split(wire::kSep); }
};

// Several exchanges at once, from the source addresses in turn: connect (over TLS when `tls`),
// write the bytes, collect the framed reply, hang up, until all end or the bound runs out.
// `answered` sees each reply.
QList<ChatReply> exchangeMany(const QHostAddress& server, quint16 port, const QList<QByteArray>& requests,
                              const QList<QHostAddress>& sources, int timeoutMs = 20000,
                              const std::function<void(const ChatReply&)>& answered = {}, bool tls = false);
ChatReply exchange(const QHostAddress& server, quint16 port, const QByteArray& bytes,
                   const QHostAddress& source = QHostAddress(QStringLiteral("127.0.0.1")));

// The same over TLS, taking whatever certificate the server shows (the client's pinning of it is
// client_tls_test's).
ChatReply tlsExchange(const QHostAddress& server, quint16 port, const QByteArray& bytes);

// A TCP socket of `from` connecting to `server`:`port`, made with `flags` (SOCK_NONBLOCK: the
// connection goes on by itself); `configure` sees it before it connects. -1 when it could not
// even begin.
int rawSocketFrom(const QHostAddress& from, const QHostAddress& server, quint16 port, int flags = 0,
                  const std::function<void(int)>& configure = {});

struct HttpReply {
    int status = 0;       // 0: no answer
    QByteArray raw, body; // all as received; the body alone
};
// One HTTP request as raw bytes; collects until the server closes.
HttpReply httpExchange(const QHostAddress& server, quint16 port, const QByteArray& request,
                       const QHostAddress& source = QHostAddress(QStringLiteral("127.0.0.1")));
// The request the client builds for `page`.
QByteArray clientGet(const QString& page);

// A server in this process on 127.0.0.x with ephemeral ports, on a fresh store.
struct ServerFixture {
    QTemporaryDir dir;
    struct {
        std::atomic<qint64> now{1'700'000'000'000}; // epoch milliseconds, moved by hand; read by every loop
        chatserver::Clock clock() {
            return [this] { return now.load(); };
        }
    } clock;
    std::unique_ptr<chatserver::ChatServer> server;
    QHostAddress host{QStringLiteral("127.0.0.1")};
    QString skipped; // why start() gave up

    // False and a reason in `skipped` when the store cannot be had; fails on a server that won't start.
    bool start(ServerShape shape, const std::function<void(chatserver::ServerConfig&)>& adjust = {});
    // A second server on the same store and clock, as a balancer would have beside this one, on
    // ports of its own; null (and a failure) when it does not start.
    std::unique_ptr<chatserver::ChatServer> startTwin();
    // One request to the chat port (or `port`) from `from`, naming `address` as its call address.
    ChatReply send(const QStringList& fields, const QHostAddress& from, const QString& address = {},
                   quint16 port = 0) const;
    // Registers `name` as the display name of name@example.org (in lower case); the ID it is given.
    QString registered(const QString& name, const QHostAddress& from, const QString& address = {},
                       quint16 port = 0) const;
    quint16 chatPort() const { return server->chatListener()->port(); }
    quint16 webPort() const { return server->webListener() ? server->webListener()->port() : 0; }
    quint16 chatTlsPort() const { return server->chatTlsListener() ? server->chatTlsListener()->port() : 0; }
};

QString serverProgram();

} // namespace servertest
