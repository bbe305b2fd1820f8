#include "StoreSupport.h"

#include "chatserver/store/Storage.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace servertest {

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
        process.start(QStringLiteral(COLLOQ_SOURCE_DIR "/scripts/pg-test-server.sh"),
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

} // namespace servertest
