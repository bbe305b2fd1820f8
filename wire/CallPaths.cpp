#include "wire/CallPaths.h"

#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

namespace wire {

namespace {

constexpr qsizetype kFields = 10; // the code and nine fields
// Far more than any deployment hands out; a list beyond it is not read.
constexpr qsizetype kMaxServers = 16;
constexpr qsizetype kMaxCredentialChars = 256;
const QChar kListSep = QLatin1Char(',');

// Four decimal numbers of 0 to 255 without leading zeros, separated by dots.
bool isIpv4(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    for (const QString& part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok);
        if (!ok || value > 255 || QString::number(value) != part) return false;
    }
    return true;
}

std::optional<QStringList> addressList(const QString& text) {
    if (text.isEmpty()) return QStringList{};
    const QStringList items = text.split(kListSep);
    if (items.size() > kMaxServers) return std::nullopt;
    for (const QString& item : items)
        if (!isIpv4HostPort(item)) return std::nullopt;
    return items;
}

bool isCredential(const QString& text) {
    return text.size() <= kMaxCredentialChars && !hasControlCharacter(text) && !text.contains(kSep);
}

} // namespace

bool isIpv4HostPort(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return false;
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    return ok && port >= 1 && port <= 65535 && QString::number(port) == text.mid(colon + 1) && isIpv4(text.left(colon));
}

QString composeCallPaths(const CallPathsReply& reply) {
    return request(Code::CallPaths, {reply.observedAddress, reply.turnServers.join(kListSep), reply.turnUser,
                                     reply.turnPassword, reply.relays.join(kListSep), reply.relayCallAddress,
                                     reply.relayUser, reply.relayPassword, QString::number(reply.lifetimeSeconds)});
}

std::optional<CallPathsReply> parseCallPaths(const QStringList& fields) {
    if (fields.size() < kFields || codeOf(fields.at(0)) != Code::CallPaths) return std::nullopt;
    CallPathsReply reply;
    reply.observedAddress = fields.at(1);
    const std::optional<QStringList> turn = addressList(fields.at(2));
    const std::optional<QStringList> relays = addressList(fields.at(5));
    bool lifetimeOk = false;
    reply.lifetimeSeconds = fields.at(9).toLongLong(&lifetimeOk);
    if (!isIpv4(reply.observedAddress) || !turn || !relays || !lifetimeOk || reply.lifetimeSeconds < 0) return {};
    reply.turnServers = *turn;
    reply.relays = *relays;
    reply.turnUser = fields.at(3);
    reply.turnPassword = fields.at(4);
    reply.relayCallAddress = fields.at(6);
    reply.relayUser = fields.at(7);
    reply.relayPassword = fields.at(8);
    for (const QString* credential : {&reply.turnUser, &reply.turnPassword, &reply.relayUser, &reply.relayPassword})
        if (!isCredential(*credential)) return std::nullopt;
    // A relay is of use only with the address it hands out and credentials to register with.
    if (!reply.relays.isEmpty() &&
        (!isIpv4HostPort(reply.relayCallAddress) || reply.relayUser.isEmpty() || reply.relayPassword.isEmpty()))
        return std::nullopt;
    if (reply.relays.isEmpty() && !reply.relayCallAddress.isEmpty()) return std::nullopt;
    return reply;
}

} // namespace wire
