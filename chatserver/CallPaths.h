#pragma once
// What the chat server tells a signed-in client about the way its calls can take through
// routers: the STUN/TURN servers and the SIP relays, with credentials that expire. The TURN
// servers and the relays check those credentials without asking anyone: each shares a secret
// with the chat server, the user name carries its own expiry ("expiry:name", Unix seconds), and
// the password is the HMAC-SHA1 of the user name under the secret, in base64.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace chatserver {

// A relay and the block of ports its call addresses take: a call to ADDRESS:PORT reaches, on
// the relay's SIP port, the user whose call address that is.
struct RelayRange {
    QString address;
    quint16 sipPort = 5060;
    quint16 firstPort = 0;
    quint16 lastPort = 0;

    QString sipAddress() const { return address + QLatin1Char(':') + QString::number(sipPort); }
    bool holds(quint16 port) const { return port >= firstPort && port <= lastPort; }
};

// "ADDRESS:SIPPORT/FIRST-LAST"; nothing and a message when it does not read so.
std::optional<RelayRange> parseRelayRange(const QString& text, QString* error);

struct CallPathSettings {
    QStringList turnServers; // "address:port"
    QByteArray turnSecret;
    QList<RelayRange> relays;
    QByteArray relaySecret;
    qint64 lifetimeSeconds = 86'400;
};

// The user name of the scheme: "expiry:name".
QString expiringUserName(qint64 expiresAtSeconds, const QString& name);
// Its password under `secret`.
QString expiringPassword(const QByteArray& secret, const QString& userName);

// A secret from `file`, or else (no file named) from the service manager's credential
// `credential`; empty when neither is there. False and a message when a named file cannot be
// read. A file others may read is used, with a warning.
bool readSecret(const QString& file, const QString& credential, QByteArray* secret, QString* error);

} // namespace chatserver
