#include "chatserver/CallPaths.h"

#include "chatserver/ChatService.h"
#include "chatserver/net/Logging.h"
#include "wire/CallPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMessageAuthenticationCode>

namespace chatserver {

namespace {

bool fail(QString* error, const QString& message) {
    if (error) *error = message;
    return false;
}

std::optional<quint16> port(const QString& text) {
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535) return std::nullopt;
    return quint16(value);
}

} // namespace

std::optional<RelayRange> parseRelayRange(const QString& text, QString* error) {
    const QString sip = text.section(QLatin1Char('/'), 0, 0).trimmed();
    const QString block = text.section(QLatin1Char('/'), 1).trimmed();
    const std::optional<quint16> first = port(block.section(QLatin1Char('-'), 0, 0));
    const std::optional<quint16> last = port(block.section(QLatin1Char('-'), 1));
    if (!wire::isIpv4HostPort(sip) || !first || !last || *last < *first) {
        fail(error, QStringLiteral("\"%1\" is not ADDRESS:PORT/FIRST-LAST with a dotted IPv4 address").arg(text));
        return std::nullopt;
    }
    RelayRange range;
    range.address = sip.section(QLatin1Char(':'), 0, 0);
    range.sipPort = *port(sip.section(QLatin1Char(':'), 1));
    range.firstPort = *first;
    range.lastPort = *last;
    if (range.holds(range.sipPort)) {
        fail(error, QStringLiteral("the relay's SIP port %1 lies in its block of call ports").arg(range.sipPort));
        return std::nullopt;
    }
    return range;
}

QString expiringUserName(qint64 expiresAtSeconds, const QString& name) {
    return QString::number(expiresAtSeconds) + QLatin1Char(':') + name;
}

QString expiringPassword(const QByteArray& secret, const QString& userName) {
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(userName.toUtf8(), secret, QCryptographicHash::Sha1).toBase64());
}

bool readSecret(const QString& file, const QString& credential, QByteArray* secret, QString* error) {
    QString path = file;
    if (path.isEmpty()) {
        const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
        if (credentials.isEmpty()) return true;
        path = QDir(credentials).filePath(credential);
        if (!QFileInfo::exists(path)) return true;
    }
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read the secret file %1: %2").arg(path, source.errorString()));
    if (source.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))
        qCWarning(lcServer).noquote() << "the secret file" << path << "is readable by other users";
    QByteArray text = source.read(4096);
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    *secret = text;
    return true;
}

ChatService::Outcome ChatService::callPaths(const ChatRequest& request, const QString& peer) {
    Outcome refusal;
    const std::optional<UserRecord> user = provenUser(request, peer, &refusal);
    if (!user) {
        refusal.note = QStringLiteral("call paths refused");
        return refusal;
    }
    const CallPathSettings& paths = m_settings.callPaths;
    const qint64 expires = m_clock() / 1000 + paths.lifetimeSeconds;
    wire::CallPathsReply reply;
    bool isV4 = false;
    const QHostAddress caller(peer);
    const quint32 v4 = caller.toIPv4Address(&isV4);
    reply.observedAddress = isV4 ? QHostAddress(v4).toString() : caller.toString();
    reply.lifetimeSeconds = paths.lifetimeSeconds;
    // Clients use the first server: each user is given the list from a place of its own, so
    // that several TURN servers share the users.
    const QString handle = handleFor(user->id, user->id);
    for (qsizetype i = 0; i < paths.turnServers.size(); ++i)
        reply.turnServers.append(paths.turnServers.at((i + handle.toLongLong()) % paths.turnServers.size()));
    if (!paths.turnServers.isEmpty() && !paths.turnSecret.isEmpty()) {
        // Named by a number of no use to anyone else: the TURN servers' logs show it.
        reply.turnUser = expiringUserName(expires, handle);
        reply.turnPassword = expiringPassword(paths.turnSecret, reply.turnUser);
    }
    if (!paths.relays.isEmpty() && !paths.relaySecret.isEmpty()) {
        QList<PortBlock> blocks;
        for (const RelayRange& relay : paths.relays)
            blocks.append({relay.address, relay.firstPort, relay.lastPort});
        if (const std::optional<RelaySlot> slot = m_storage.relaySlot(user->id, blocks)) {
            const RelayRange& relay = paths.relays.at(slot->block);
            reply.relays.append(relay.sipAddress());
            for (const RelayRange& other : paths.relays)
                if (!reply.relays.contains(other.sipAddress())) reply.relays.append(other.sipAddress());
            reply.relayCallAddress = relay.address + QLatin1Char(':') + QString::number(slot->port);
            // The relay takes the registration for this call address only: its port and address.
            reply.relayUser = expiringUserName(expires, QString::number(slot->port) + QLatin1Char('@') + relay.address);
            reply.relayPassword = expiringPassword(paths.relaySecret, reply.relayUser);
        }
    }
    return {wire::composeCallPaths(reply), QStringLiteral("call paths")};
}

} // namespace chatserver
