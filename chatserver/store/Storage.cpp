#include "chatserver/store/Storage.h"

#include "chatserver/store/SqlStorage.h"

#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>

namespace chatserver {

std::optional<StoreLocation> StoreLocation::parse(const QString& text, QString* error) {
    StoreLocation location;
    const QString trimmed = text.trimmed();
    auto refuse = [&](const QString& message) -> std::optional<StoreLocation> {
        if (error) *error = message;
        return std::nullopt;
    };
    if (trimmed.isEmpty()) return refuse(QStringLiteral("the store is empty"));

    if (trimmed.startsWith(QLatin1String("postgresql://")) || trimmed.startsWith(QLatin1String("postgres://"))) {
        const QUrl url(trimmed, QUrl::StrictMode);
        if (!url.isValid()) return refuse(QStringLiteral("the store address is not a valid URL: ") + url.errorString());
        location.kind = Kind::Postgres;
        location.host = url.host();
        location.port = url.port(5432);
        location.user = url.userName();
        location.password = url.password();
        location.database = url.path().mid(1);
        const QUrlQuery query(url);
        if (query.hasQueryItem(QStringLiteral("host")))
            location.host = query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
        if (location.database.isEmpty()) return refuse(QStringLiteral("the PostgreSQL store names no database"));
        return location;
    }

    location.kind = Kind::Sqlite;
    location.sqlitePath = trimmed.startsWith(QLatin1String("sqlite:")) ? trimmed.mid(7) : trimmed;
    if (location.sqlitePath.isEmpty()) return refuse(QStringLiteral("the SQLite store names no file"));
    return location;
}

QString StoreLocation::describe() const {
    if (kind == Kind::Sqlite) return QStringLiteral("SQLite ") + sqlitePath;
    return QStringLiteral("PostgreSQL database %1 on %2:%3")
        .arg(database, host.isEmpty() ? QStringLiteral("local") : host)
        .arg(port);
}

qint64 newUserId() {
    return qint64(QRandomGenerator::system()->bounded(quint64(100'000'000'000'000), quint64(1'000'000'000'000'000)));
}

std::unique_ptr<Storage> openStorage(const StoreLocation& location) {
    std::unique_ptr<Storage> storage;
    if (location.kind == StoreLocation::Kind::Sqlite)
        storage = std::make_unique<SqliteStorage>(location.sqlitePath);
    else
        storage = std::make_unique<PostgresStorage>(location);
    storage->migrate();
    return storage;
}

} // namespace chatserver
