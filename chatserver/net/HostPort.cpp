#include "chatserver/net/HostPort.h"

namespace chatserver {

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

} // namespace chatserver
