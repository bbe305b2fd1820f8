#include "ServerTestSupport.h"

#include "chatserver/net/Logging.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QThread>
#include <gtest/gtest.h>

namespace servertest {

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::usleep(200);
    }
    return true;
}

std::string backendName(Backend backend) {
    return backend == Backend::Sqlite ? "SQLite" : "PostgreSQL";
}

namespace {

// The one throwaway PostgreSQL server of this test program.
struct PgCluster {
    std::unique_ptr<QTemporaryDir> dir;
    QString address;
    QString failure;
    bool tried = false;
    bool missing = false;

    // Runs scripts/pg-test-server.sh COMMAND on our folder; its exit code (-1: crashed or hung),
    // with what it printed.
    int script(const QString& command, QString* out, QString* err) const {
        QProcess process;
        process.start(sourceDir() + QStringLiteral("/scripts/pg-test-server.sh"),
                      {command, dir->filePath(QStringLiteral("pg"))});
        const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
        *out = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
        *err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return ended ? process.exitCode() : -1;
    }

    void ensure() {
        if (tried) return;
        tried = true;
        const QByteArray given = qgetenv("COLLOQ_TEST_PG_STORE");
        if (!given.isEmpty()) {
            address = QString::fromUtf8(given);
            return;
        }
        dir = std::make_unique<QTemporaryDir>();
        QString out;
        const int code = script(QStringLiteral("start"), &out, &failure);
        missing = code == 3; // no PostgreSQL server binaries here
        if (code == 0)
            address = out;
        else if (!missing)
            failure.prepend(QStringLiteral("the throwaway PostgreSQL server did not start: "));
    }

    // Halts or resumes the server keeping its data (fault tests); false and why when it cannot.
    bool setRunning(bool running, QString* problem) {
        if (!dir || address.isEmpty()) {
            *problem = QStringLiteral("no throwaway PostgreSQL server of our own to halt");
            return false;
        }
        QString out;
        return script(running ? QStringLiteral("resume") : QStringLiteral("halt"), &out, problem) == 0;
    }

    void stop() {
        if (!dir || address.isEmpty()) return;
        QString out, err;
        script(QStringLiteral("stop"), &out, &err);
        address.clear();
    }
};

PgCluster& pgCluster() {
    static PgCluster cluster;
    return cluster;
}

class PgEnvironment : public ::testing::Environment {
public:
    void TearDown() override { pgCluster().stop(); }
};

[[maybe_unused]] const auto* const kPgEnvironment = ::testing::AddGlobalTestEnvironment(new PgEnvironment);

} // namespace

bool execOnStore(const QString& address, const QStringList& statements, QString* problem) {
    QString error;
    const std::optional<chatserver::StoreLocation> location = chatserver::StoreLocation::parse(address, &error);
    if (!location) {
        *problem = error;
        return false;
    }
    bool ok = false;
    {
        const bool sqlite = location->kind == chatserver::StoreLocation::Kind::Sqlite;
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL"),
                                                    QStringLiteral("test-raw"));
        if (sqlite) {
            db.setDatabaseName(location->sqlitePath);
        } else {
            db.setHostName(location->host);
            db.setPort(location->port);
            db.setUserName(location->user);
            db.setPassword(location->password);
            db.setDatabaseName(location->database);
        }
        if (db.open()) {
            QSqlQuery query(db);
            ok = true;
            for (const QString& sql : statements) {
                if (!query.exec(sql)) {
                    *problem = query.lastError().text();
                    ok = false;
                    break;
                }
            }
        } else {
            *problem = db.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-raw"));
    return ok;
}

bool setPostgresRunning(bool running, QString* problem) {
    return pgCluster().setRunning(running, problem);
}

QString freshStoreAddress(Backend backend, const QTemporaryDir& dir, QString* skip) {
    if (backend == Backend::Sqlite) return QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("store.sqlite"));
    PgCluster& cluster = pgCluster();
    cluster.ensure();
    if (cluster.missing) {
        *skip = QStringLiteral("PostgreSQL tests skipped: ") + cluster.failure;
        return {};
    }
    if (cluster.address.isEmpty()) {
        ADD_FAILURE() << cluster.failure.toStdString();
        *skip = cluster.failure;
        return {};
    }
    QString problem;
    if (!execOnStore(cluster.address,
                     {QStringLiteral("SET client_min_messages TO warning"),
                      QStringLiteral("DROP SCHEMA public CASCADE"), QStringLiteral("CREATE SCHEMA public")},
                     &problem)) {
        ADD_FAILURE() << "cannot empty the PostgreSQL test database: " << problem.toStdString();
        *skip = problem;
        return {};
    }
    return cluster.address;
}

QString callAddress(int lastOctet, int port) {
    return QStringLiteral("127.0.0.%1:%2").arg(lastOctet).arg(port);
}

QByteArray chatRequest(const QStringList& fields, const QString& address) {
    return wire::toCp1252(wire::scrambled(fields.join(wire::kSep) + wire::kSep + address));
}

QString ChatReply::code() const {
    return payload.section(wire::kSep, 0, 0);
}
QStringList ChatReply::fields() const {
    return payload.split(wire::kSep);
}

QList<ChatReply> exchangeMany(const QHostAddress& server, quint16 port, const QList<QByteArray>& requests,
                              const QList<QHostAddress>& sources, int timeoutMs,
                              const std::function<void(const ChatReply&)>& answered) {
    QList<ChatReply> replies(requests.size());
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    std::vector<wire::ReplyFramer> framers(std::size_t(requests.size()));
    for (qsizetype i = 0; i < requests.size(); ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        QTcpSocket* raw = socket.get();
        ChatReply* reply = &replies[i];
        wire::ReplyFramer* framer = &framers[std::size_t(i)];
        const QByteArray bytes = requests[i];
        raw->bind(sources[i % sources.size()], 0);
        QObject::connect(raw, &QTcpSocket::connected, raw, [raw, bytes] { raw->write(bytes); });
        QObject::connect(raw, &QTcpSocket::readyRead, raw, [raw, reply, framer, &answered] {
            const wire::ReplyFramer::Result result = framer->feed(wire::fromCp1252(raw->readAll()));
            if (result.status == wire::ReplyFramer::Status::Complete) {
                reply->answered = true;
                reply->payload = result.payload;
                raw->abort();
                if (answered) answered(*reply);
            }
        });
        QObject::connect(raw, &QTcpSocket::disconnected, raw, [reply] { reply->closed = true; });
        QObject::connect(raw, &QTcpSocket::errorOccurred, raw, [reply] { reply->closed = true; });
        raw->connectToHost(server, port);
        sockets.push_back(std::move(socket));
    }
    waitFor(
        [&] {
            for (const ChatReply& reply : replies)
                if (!reply.answered && !reply.closed) return false;
            return true;
        },
        timeoutMs);
    return replies;
}

ChatReply exchange(const QHostAddress& server, quint16 port, const QByteArray& bytes, const QHostAddress& source) {
    return exchangeMany(server, port, {bytes}, {source}).constFirst();
}

HttpReply httpExchange(const QHostAddress& server, quint16 port, const QByteArray& request,
                       const QHostAddress& source) {
    HttpReply reply;
    bool closed = false;
    QTcpSocket socket;
    socket.bind(source, 0);
    QObject::connect(&socket, &QTcpSocket::connected, &socket, [&] { socket.write(request); });
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { reply.raw += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [&] { closed = true; });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &socket, [&] { closed = true; });
    socket.connectToHost(server, port);
    waitFor([&] { return closed; });
    reply.raw += socket.readAll();
    const qsizetype headerEnd = reply.raw.indexOf("\r\n\r\n");
    if (reply.raw.startsWith("HTTP/1.1 ") && headerEnd > 0) {
        reply.answered = true;
        reply.status = reply.raw.mid(9, 3).toInt();
        reply.body = reply.raw.mid(headerEnd + 4);
    }
    return reply;
}

QByteArray clientGet(const QString& page, const QString& host) {
    QString path = page;
    path.replace(QLatin1Char(' '), QStringLiteral("%20"));
    return wire::toCp1252(QStringLiteral("GET //") + path + QStringLiteral(" HTTP/1.1\r\nHost: ") + host +
                          QStringLiteral(":80\r\nConnection: Close\r\n\r\n"));
}

bool ServerFixture::start(Backend backend, QString* skip,
                          const std::function<void(chatserver::ServerConfig&)>& adjust) {
    const QString store = freshStoreAddress(backend, dir, skip);
    if (store.isEmpty()) return false;
    chatserver::ServerConfig config;
    config.chatAddress = host;
    config.chatPort = 0;
    config.webAddress = host;
    config.webPort = 0;
    config.webExplicit = true;
    config.store = store;
    config.logLevel = QStringLiteral("warning");
    if (adjust) adjust(config);
    chatserver::setLogLevel(config.logLevel);
    server = std::make_unique<chatserver::ChatServer>(config, clock.clock());
    QString error;
    if (!server->start(&error)) {
        ADD_FAILURE() << "the server did not start: " << error.toStdString();
        *skip = error;
        return false;
    }
    return true;
}

quint16 ServerFixture::chatPort() const {
    return server->chatListener()->port();
}
quint16 ServerFixture::webPort() const {
    return server->webListener() ? server->webListener()->port() : 0;
}

QString sourceDir() {
    return QStringLiteral(COLLOQ_SOURCE_DIR);
}
QString serverProgram() {
    return QStringLiteral(COLLOQ_SERVER_PROGRAM);
}

} // namespace servertest
