#include "chatserver/net/HostPort.h"

#include <QHostAddress>
#include <netinet/in.h>

namespace chatserver {

namespace {

// An IPv4 address as inet_ntop writes it, put straight into the string: every caller's address
// is written so once, and inet_ntop took as long as the rest of taking the connection.
QString dottedQuad(const unsigned char* octets) {
    QString text(15, Qt::Uninitialized);
    char16_t* const begin = reinterpret_cast<char16_t*>(text.data());
    char16_t* out = begin;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *out++ = u'.';
        const unsigned value = octets[i];
        if (value >= 100) *out++ = char16_t(u'0' + value / 100);
        if (value >= 10) *out++ = char16_t(u'0' + value / 10 % 10);
        *out++ = char16_t(u'0' + value % 10);
    }
    text.truncate(out - begin);
    return text;
}

} // namespace

std::optional<HostPortText> splitHostPort(const QString& text) {
    HostPortText parts{text.trimmed(), {}};
    if (parts.host.startsWith(QLatin1Char('['))) {
        const qsizetype close = parts.host.indexOf(QLatin1Char(']'));
        if (close < 0) return std::nullopt;
        const QString rest = parts.host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))) return std::nullopt;
        parts.port = rest.mid(1);
        parts.host = parts.host.mid(1, close - 1);
    } else if (parts.host.count(QLatin1Char(':')) == 1) {
        // One colon: a port. More: an IPv6 address without one.
        parts.port = parts.host.section(QLatin1Char(':'), 1);
        parts.host = parts.host.section(QLatin1Char(':'), 0, 0);
    }
    return parts;
}

QString callerText(const sockaddr_storage& from) {
    // Without a QHostAddress for the common IPv4 case.
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        return dottedQuad(reinterpret_cast<const unsigned char*>(&v4.sin_addr));
    }
    if (from.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) return dottedQuad(&v6.sin6_addr.s6_addr[12]);
        return QHostAddress(reinterpret_cast<const sockaddr*>(&from)).toString();
    }
    return QStringLiteral("unknown");
}

} // namespace chatserver
