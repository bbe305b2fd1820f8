#include "StoreSupport.h"

#include "chatserver/store/Storage.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace servertest {

namespace {

// The one throwaway PostgreSQL server of this test program, started on first use and stopped
// at the end (scripts/pg-test-server.sh); COLLOQ_TEST_PG_STORE names an existing one instead.
struct PgCluster : ::testing::Environment {
    QTemporaryDir dir;
    QString address, failure;
    bool tried = false, own = false, missing = false; // missing: no PostgreSQL server binaries here

    // Runs the script with COMMAND on our folder: its exit code (-1: crashed or hung); what it
    // printed in `out`, its complaints in `err`.
    int script(const char* command, QString* out, QString* err) const {
        QProcess process;
        process.start(QStringLiteral(COLLOQ_SOURCE_DIR "/scripts/pg-test-server.sh"),
                      {QLatin1String(command), dir.filePath(QStringLiteral("pg"))});
        const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
        *out = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
        *err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return ended ? process.exitCode() : -1;
    }
    void ensure() {
        if (std::exchange(tried, true)) return;
        address = QString::fromUtf8(qgetenv("COLLOQ_TEST_PG_STORE"));
        if (!address.isEmpty()) return;
        const int code = script("start", &address, &failure);
        own = code == 0;
        missing = code == 3;
        if (!own) address.clear();
        failure.prepend(missing ? "PostgreSQL tests skipped: " : "the throwaway PostgreSQL server did not start: ");
    }
    void TearDown() override {
        QString out, err;
        if (own) script("stop", &out, &err);
    }
};

PgCluster& pgCluster() {
    static PgCluster* const cluster =
        static_cast<PgCluster*>(::testing::AddGlobalTestEnvironment(new PgCluster)); // owned by GoogleTest
    return *cluster;
}
[[maybe_unused]] PgCluster& kRegistered = pgCluster();

} // namespace

bool execOnStore(const QString& address, const QStringList& statements, QString* problem) {
    const std::optional<chatserver::StoreLocation> location = chatserver::StoreLocation::parse(address, problem);
    if (!location) return false;
    bool ok = false;
    {
        const bool sqlite = location->kind == chatserver::StoreLocation::Kind::Sqlite;
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlite ? "QSQLITE" : "QPSQL", QStringLiteral("test-raw"));
        db.setDatabaseName(sqlite ? location->sqlitePath : location->database);
        db.setHostName(location->host);
        db.setPort(location->port);
        db.setUserName(location->user);
        db.setPassword(location->password);
        ok = db.open();
        QSqlQuery query(db);
        for (qsizetype i = 0; ok && i < statements.size(); ++i)
            ok = query.exec(statements[i]);
        if (!ok) *problem = db.isOpen() ? query.lastError().text() : db.lastError().text();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-raw"));
    return ok;
}

bool setPostgresRunning(bool running, QString* problem) {
    PgCluster& cluster = pgCluster();
    if (!cluster.own) {
        *problem = QStringLiteral("no throwaway PostgreSQL server of our own to halt");
        return false;
    }
    QString out;
    return cluster.script(running ? "resume" : "halt", &out, problem) == 0;
}

QString freshStoreAddress(Backend backend, const QTemporaryDir& dir, QString* skip) {
    if (backend == Backend::Sqlite) return QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("store.sqlite"));
    PgCluster& cluster = pgCluster();
    cluster.ensure();
    *skip = cluster.failure;
    if (cluster.missing) return {};
    QString problem;
    if (cluster.address.isEmpty() ||
        !execOnStore(cluster.address,
                     {"SET client_min_messages TO warning", "DROP SCHEMA public CASCADE", "CREATE SCHEMA public"},
                     &problem)) {
        ADD_FAILURE() << "no PostgreSQL store to test on: " << skip->toStdString() << problem.toStdString();
        return {};
    }
    return cluster.address;
}

} // namespace servertest
