#include "FuzzServer.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <memory>

namespace fuzz {

namespace {

qint64 s_nowMs = 1'700'000'000'000;

void mustAnswer(chatserver::ChatService& service, const QString& code, const QStringList& args, int user,
                const QString& expectedCode) {
    chatserver::ChatRequest request;
    request.code = code;
    request.args = args;
    request.callAddress = peerFor(static_cast<unsigned>(user - 1)) + QStringLiteral(":5060");
    const chatserver::ChatService::Outcome outcome = service.handle(request, peerFor(static_cast<unsigned>(user - 1)));
    if (!outcome.reply || outcome.reply->section(QChar(0x00D4), 0, 0) != expectedCode)
        fail("the fuzz store could not be set up");
}

struct Service {
    QTemporaryDir folder{QDir::tempPath() + QStringLiteral("/colloq-fuzz-server-XXXXXX")};
    std::unique_ptr<chatserver::Storage> store;
    std::unique_ptr<chatserver::ChatService> service;

    Service() {
        if (!folder.isValid()) fail("no temporary folder");
        chatserver::StoreLocation location;
        location.sqlitePath = folder.filePath(QStringLiteral("store.sqlite"));
        store = chatserver::openStorage(location);
        chatserver::ChatSettings settings;
        const QString local = QStringLiteral("127.0.0.1");
        const QString host = QStringLiteral("localhost");
        settings.sites = {
            {QStringLiteral("0"), {local, host, QStringLiteral("ChatServerIP.asp"), QString()}},
            {QStringLiteral("2"), {local, host, QStringLiteral("InfoDT.asp"), QStringLiteral("key")}},
        };
        // The limits per address would soon answer every input the same way.
        settings.registrations = settings.failures = settings.lookups = chatserver::RateLimit{};
        service = std::make_unique<chatserver::ChatService>(*store, settings, [] { return s_nowMs; });

        const QStringList emails = {QStringLiteral("ann@example.org"), QStringLiteral("bob@example.org"),
                                    QStringLiteral("cy@example.org")};
        for (int user = 1; user <= 3; ++user)
            mustAnswer(*service, QStringLiteral("3"),
                       {QStringLiteral("user"), QStringLiteral("PC"), emails[user - 1],
                        QStringLiteral("User ") + QString::number(user)},
                       user, QStringLiteral("3"));
        // Numbered 1 to 3, as users of a store from before random IDs are, so that inputs can
        // name them.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz-numbering"));
            db.setDatabaseName(location.sqlitePath);
            if (!db.open()) fail("the fuzz store could not be opened");
            for (int user = 1; user <= 3; ++user) {
                QSqlQuery query(db);
                query.prepare(QStringLiteral("UPDATE users SET id = ? WHERE email = ?"));
                query.addBindValue(user);
                query.addBindValue(emails[user - 1]);
                if (!query.exec()) fail("the fuzz store could not be set up");
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("fuzz-numbering"));
        for (int user = 1; user <= 3; ++user) {
            mustAnswer(*service, QStringLiteral("1"), {QString::number(user), emails[user - 1]}, user,
                       QStringLiteral("1"));
            for (int other = 1; other <= 3; ++other)
                if (other != user)
                    mustAnswer(*service, QStringLiteral("4"), {QString::number(user), emails[other - 1]}, user,
                               QStringLiteral("4"));
        }
        store->queueNotice(2, QStringLiteral("Maintenance tonight"), QStringLiteral("Notice"), s_nowMs);
        service->refreshOperatorState();
    }
};

} // namespace

// Kept to the end of the process, as the application object is (see FuzzSupport.cpp).
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
