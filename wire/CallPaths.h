#pragma once
// The answer to request 40: what a client needs for calls to find their way through routers.
// Shared by client and server. Every address is a dotted IPv4 address and a port, the only form
// both ends take without a name look-up.
#include <QString>
#include <QStringList>
#include <optional>

namespace wire {

struct CallPathsReply {
    QString observedAddress; // the client's network address as the chat server sees it
    QStringList turnServers; // "address:port" of the STUN/TURN servers, the first tried first
    QString turnUser;        // time-limited TURN credentials (empty: STUN only)
    QString turnPassword;
    QStringList relays;       // "address:port" of the SIP relays, the client's own first (none: no relay)
    QString relayCallAddress; // "address:port": where calls reach the client through its relay
    QString relayUser;        // time-limited credentials for registering with the relay
    QString relayPassword;
    qint64 lifetimeSeconds = 0; // how long the credentials hold from now
};

// "address:port" with a dotted IPv4 address and a port of 1 to 65535.
bool isIpv4HostPort(const QString& text);

// The reply's payload, code first.
QString composeCallPaths(const CallPathsReply& reply);
// The reply read from its fields (code first); nothing when a field does not read as it must.
std::optional<CallPathsReply> parseCallPaths(const QStringList& fields);

} // namespace wire
