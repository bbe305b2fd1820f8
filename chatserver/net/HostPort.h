#pragma once
// "HOST:PORT", "[IPV6]:PORT", "HOST" or a bare IPv6 address, split into its host and port texts
// (either may be empty). Nothing when a bracketed host is not closed or is followed by anything
// but ":PORT". Whether the parts are an address and a port is the caller's to check.
#include <QString>
#include <optional>
#include <sys/socket.h>

namespace chatserver {

struct HostPortText {
    QString host;
    QString port;
};
std::optional<HostPortText> splitHostPort(const QString& text);

// A caller's address as the limits and the log name it: an IPv4 address (mapped into IPv6 or
// not) as a dotted quad, an IPv6 address in its shortest form.
QString callerText(const sockaddr_storage& from);

} // namespace chatserver
