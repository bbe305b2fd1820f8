#pragma once
// Shared pieces of the server tests: waiting on state, the two stores, and raw clients that talk
// to a server the way the desktop client does (real sockets on 127.0.0.0/8).
#include "chatserver/Server.h"
#include "chatserver/store/Storage.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <ostream>

// Readable failure messages for Qt text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '{' << list.join(QStringLiteral("\", \"")).prepend('"').append('"').toStdString() << '}';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << '"' << bytes.toStdString() << '"';
}

namespace servertest {

// Runs the event loop until `done` is true or `timeoutMs` passes; returns done().
bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000);

enum class Backend { Sqlite, Postgres };
std::string backendName(Backend backend);

// The store address of a fresh, empty store of that kind, or empty text and a reason in `skip`
// when that kind cannot be had here (PostgreSQL without server binaries). For PostgreSQL the
// one throwaway server of this test program is started on first use and emptied each time.
QString freshStoreAddress(Backend backend, const QTemporaryDir& dir, QString* skip);

// Halts (false) or resumes (true) this test program's throwaway PostgreSQL server, keeping its
// data; false and a reason when there is none of our own (an external store was given).
bool setPostgresRunning(bool running, QString* problem);

// Runs statements straight on a store, past the server's code (tests that damage or inspect it).
bool execOnStore(const QString& address, const QStringList& statements, QString* problem);

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

// The source tree and the server program, for tests that run it as a process.
QString sourceDir();
QString serverProgram();

} // namespace servertest
