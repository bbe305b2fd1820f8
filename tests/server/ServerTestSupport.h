#pragma once
// Shared pieces of the server tests: waiting on state, a server in this process, and raw clients that talk
// to a server the way the desktop client does (real sockets on 127.0.0.0/8).
#include "chatserver/Server.h"
#include "chatserver/store/Storage.h"

#include "StoreSupport.h"
#include "tests/support/WaitFor.h"

#include <QHostAddress>
#include <functional>
#include <memory>

namespace servertest {

using testsupport::waitFor;

// A test clock: epoch milliseconds, moved by hand.
struct ManualClock {
    qint64 now = 1'700'000'000'000;
    chatserver::Clock clock() {
        return [this] { return now; };
    }
};

// What a client address looks like on the wire: "address:port".
QString callAddress(int lastOctet, int port = 5060);

// Scrambled chat request as the client sends it: fields joined by the separator, then the call
// address, all scrambled.
QByteArray chatRequest(const QStringList& fields, const QString& address);

struct ChatReply {
    bool answered = false; // a complete framed reply arrived
    bool closed = false;   // the server closed the connection
    QString payload;       // the reply without its length prefix
    QString code() const;
    QStringList fields() const;
};

// Several exchanges at once, each from its own source address (a 127.0.0.0/8 address, used in
// turn): connect, send the bytes in one write, collect the framed reply, hang up. All end
// (answer or close) or the bound runs out. `answered` is called with each reply as it comes.
QList<ChatReply> exchangeMany(const QHostAddress& server, quint16 port, const QList<QByteArray>& requests,
                              const QList<QHostAddress>& sources, int timeoutMs = 20000,
                              const std::function<void(const ChatReply&)>& answered = {});
// A single exchange from `source`, made the same way.
ChatReply exchange(const QHostAddress& server, quint16 port, const QByteArray& bytes,
                   const QHostAddress& source = QHostAddress(QStringLiteral("127.0.0.1")));

struct HttpReply {
    bool answered = false;
    int status = 0;
    QByteArray raw; // status line, headers and body as received
    QByteArray body;
};
// One HTTP request written as raw bytes; collects until the server closes.
HttpReply httpExchange(const QHostAddress& server, quint16 port, const QByteArray& request,
                       const QHostAddress& source = QHostAddress(QStringLiteral("127.0.0.1")));
// The request the client builds for `page`: "GET //page HTTP/1.1", Host with ":80", Connection: Close.
QByteArray clientGet(const QString& page, const QString& host = QStringLiteral("localhost"));

// A server in this process on 127.0.0.x with ephemeral ports, on a fresh store.
struct ServerFixture {
    QTemporaryDir dir;
    ManualClock clock;
    std::unique_ptr<chatserver::ChatServer> server;
    QHostAddress host{QStringLiteral("127.0.0.1")};

    // False and a reason in `skip` when the backend is not available; fails the test on a
    // server that does not start.
    bool start(Backend backend, QString* skip, const std::function<void(chatserver::ServerConfig&)>& adjust = {});
    quint16 chatPort() const;
    quint16 webPort() const;
};

// The server program, for tests that run it as a process.
QString serverProgram();

} // namespace servertest
