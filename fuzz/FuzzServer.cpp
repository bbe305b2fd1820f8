#include "FuzzServer.h"

#include "chatserver/store/Storage.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <memory>

namespace fuzz {

namespace {

qint64 s_nowMs = 1'700'000'000'000;

struct Service {
    QTemporaryDir folder{QDir::tempPath() + QStringLiteral("/colloq-fuzz-server-XXXXXX")};
    std::unique_ptr<chatserver::Storage> store;
    std::unique_ptr<chatserver::ChatService> service;

    Service() {
        chatserver::StoreLocation location;
        location.sqlitePath = folder.filePath(QStringLiteral("store.sqlite"));
        store = chatserver::openStorage(location);
        // Numbered 1 to 3, as users of a store from before random IDs are, so that inputs can
        // name them.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz-users"));
            db.setDatabaseName(location.sqlitePath);
            QSqlQuery query(db);
            if (!db.open() ||
                !query.exec(QStringLiteral("INSERT INTO users (id, email, display_name, created_ms) VALUES "
                                           "(1, 'ann@example.org', 'A', 1), (2, 'bob@example.org', "
                                           "'B', 1), (3, 'cy@example.org', 'C', 1)")))
                fail("the fuzz store could not be set up");
        }
        QSqlDatabase::removeDatabase(QStringLiteral("fuzz-users"));
        for (qint64 user = 1; user <= 3; ++user) {
            const QString peer = peerFor(unsigned(user - 1));
            store->markOnline(user, peer + QStringLiteral(":5060"), peer, s_nowMs);
            for (qint64 other = 1; other <= 3; ++other)
                if (other != user) store->addContact(user, other, s_nowMs, 0);
        }
        store->queueNotice(2, QStringLiteral("Maintenance tonight"), QStringLiteral("Notice"), s_nowMs);
        chatserver::ChatSettings settings;
        const QString local = QStringLiteral("127.0.0.1");
        settings.sites = {{QStringLiteral("2"), {local, local, QStringLiteral("InfoDT.asp"), QStringLiteral("key")}}};
        // The limits per address would soon answer every input the same way.
        settings.registrations = settings.networkRegistrations = settings.registrationCeiling = settings.lookups =
            chatserver::RateLimit{};
        settings.logIns.perAddress = settings.logIns.perNetwork = settings.logIns.perAccount = chatserver::RateLimit{};
        service = std::make_unique<chatserver::ChatService>(*store, settings, [] { return s_nowMs; });
        service->refreshOperatorState();
    }
};

} // namespace

// Kept to the end of the process, as the application object is (see fuzz::startApp).
chatserver::ChatService& chatService() {
    static Service* service = std::make_unique<Service>().release();
    return *service->service;
}

void tick() {
    s_nowMs += 1000;
}

QString peerFor(unsigned selector) {
    return QStringLiteral("127.0.0.") + QString::number(selector % 4 + 1);
}

} // namespace fuzz
