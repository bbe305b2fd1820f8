#include "ChatBenchFill.h"

#include "chatserver/ChatService.h"
#include "chatserver/store/Storage.h"

#include <QDateTime>
#include <cstdio>

namespace bench {

namespace {

// Rows per transaction: few enough commits to be fast, little enough work lost to a failure.
constexpr int kBatch = 20000;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

QString userPeer(int user) {
    const uint32_t source = userSource(user);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(source >> 24)
        .arg((source >> 16) & 0xFF)
        .arg((source >> 8) & 0xFF)
        .arg(source & 0xFF);
}

QString userEmail(int user) {
    return QStringLiteral("user%1@bench.example").arg(user);
}

QString userCallAddress(int user) {
    // A port clients can take (1 to 65534) for each of up to a few million users.
    constexpr int kPorts = 60000;
    return QStringLiteral("127.9.%1.%2:%3")
        .arg(user / kPorts / 250)
        .arg(1 + user / kPorts % 250)
        .arg(1024 + user % kPorts);
}

std::optional<Fill> fillStore(const QString& store, int users, int contacts) {
    QString error;
    const std::optional<chatserver::StoreLocation> location = chatserver::StoreLocation::parse(store, &error);
    if (!location) {
        std::fprintf(stderr, "store: %s\n", qPrintable(error));
        return std::nullopt;
    }
    try {
        const std::unique_ptr<chatserver::Storage> storage = chatserver::openStorage(*location);
        Fill fill;
        fill.ids.resize(std::size_t(users));
        qint64 now = QDateTime::currentMSecsSinceEpoch();
        Clock::time_point start = Clock::now();
        for (int user = 0; user < users;) {
            chatserver::Storage::Transaction transaction(*storage);
            for (const int end = std::min(users, user + kBatch); user < end; ++user) {
                const std::optional<qint64> id = storage->registerUser({userEmail(user),
                                                                        QStringLiteral("User %1").arg(user),
                                                                        QStringLiteral("bench"),
                                                                        QStringLiteral("pc"),
                                                                        userCallAddress(user),
                                                                        userPeer(user),
                                                                        now,
                                                                        {}});
                if (!id) throw chatserver::StorageError("e-mail taken: " + userEmail(user).toStdString());
                fill.ids[std::size_t(user)] = QString::number(*id);
            }
            transaction.commit();
        }
        fill.usersSeconds = secondsSince(start);
        // Neighbours on either side: whoever lists you, you list too.
        const QByteArray secret = storage->sharedSecret(QByteArray(32, '\x5a'));
        start = Clock::now();
        const long long rows = static_cast<long long>(users) * contacts;
        for (long long row = 0; row < rows;) {
            chatserver::Storage::Transaction transaction(*storage);
            for (const long long end = std::min(rows, row + kBatch); row < end; ++row) {
                const int user = int(row / contacts);
                const int k = int(row % contacts);
                const int step = k / 2 + 1;
                const int contact = k % 2 == 0 ? (user + step) % users : (user - step % users + users) % users;
                const qint64 ownerId = fill.ids[std::size_t(user)].toLongLong();
                const qint64 contactId = fill.ids[std::size_t(contact)].toLongLong();
                if (storage->addContact(ownerId, contactId, ++now,
                                        chatserver::derivedHandle(secret, ownerId, contactId)))
                    ++fill.contacts;
            }
            transaction.commit();
        }
        fill.contactsSeconds = secondsSince(start);
        return fill;
    } catch (const chatserver::StorageError& failure) {
        std::fprintf(stderr, "filling the store failed: %s\n", failure.what());
        return std::nullopt;
    }
}

long long pollEveryUser(LoadGen& chat, int inFlight, int users, int passes, double seconds,
                        const std::function<bool(int, Exchange&)>& pollOf, long long* unanswered) {
    const long long total = (long long)passes * users;
    long long next = 0, answered = 0;
    *unanswered = 0;
    chat.closedLoop(
        inFlight, [&](Exchange& exchange) { return next < total && pollOf(int(next++ % users), exchange); },
        [&](const Outcome& outcome) { ++(outcome.ok ? answered : *unanswered); },
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    return answered;
}

} // namespace bench
