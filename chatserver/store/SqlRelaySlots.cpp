// Users' places on the relays: which port of which relay carries a user's call address. A place
// is given once and kept; a new one is taken only when the relays were changed under it.
#include "chatserver/store/SqlStorage.h"

#include <QSet>
#include <QSqlError>

namespace chatserver {

namespace {

// Another server of the store may take the same free port at the same moment; its insert wins
// and ours looks again.
constexpr int kTries = 3;

} // namespace

std::optional<RelaySlot> SqlStorage::relaySlot(qint64 userId, const QList<PortBlock>& blocks) {
    ensureOpen();
    QSqlQuery query(database());
    const auto exec = [&](const QString& sql, const QVariantList& values) { execOnce(query, sql, values); };
    const QVariant user = QVariant::fromValue<qlonglong>(userId);
    exec(QStringLiteral("SELECT relay, port FROM relay_ports WHERE user_id = ?"), {user});
    if (query.next()) {
        const QString relay = query.value(0).toString();
        const int port = query.value(1).toInt();
        for (qsizetype i = 0; i < blocks.size(); ++i)
            if (blocks[i].relay == relay && port >= blocks[i].firstPort && port <= blocks[i].lastPort)
                return RelaySlot{i, quint16(port)};
    }
    query.finish();
    exec(QStringLiteral("DELETE FROM relay_ports WHERE user_id = ?"), {user});

    for (int attempt = 0; attempt < kTries; ++attempt) {
        // The block with the most free ports, and the lowest free port in it.
        qsizetype best = -1;
        qint64 bestFree = 0;
        QSet<int> bestTaken;
        for (qsizetype i = 0; i < blocks.size(); ++i) {
            const PortBlock& block = blocks[i];
            exec(QStringLiteral("SELECT port FROM relay_ports WHERE relay = ? AND port BETWEEN ? AND ?"),
                 {block.relay, int(block.firstPort), int(block.lastPort)});
            QSet<int> taken;
            while (query.next())
                taken.insert(query.value(0).toInt());
            const qint64 free = qint64(block.lastPort) - block.firstPort + 1 - taken.size();
            if (free > bestFree) {
                best = i;
                bestFree = free;
                bestTaken = std::move(taken);
            }
        }
        if (best < 0) return std::nullopt;
        int port = blocks[best].firstPort;
        while (bestTaken.contains(port))
            ++port;
        exec(QStringLiteral("INSERT INTO relay_ports (relay, port, user_id) VALUES (?, ?, ?) "
                            "ON CONFLICT DO NOTHING RETURNING port"),
             {blocks[best].relay, port, user});
        if (query.next()) return RelaySlot{best, quint16(port)};
        query.finish();
    }
    return std::nullopt;
}

} // namespace chatserver
