#include "chatserver/net/ProxyHeader.h"

#include <arpa/inet.h>
#include <cstring>

namespace chatserver {

namespace {

constexpr char kTextStart[] = "PROXY ";
constexpr qsizetype kTextStartLength = sizeof kTextStart - 1;
constexpr qsizetype kMaxTextHeader = 107; // "PROXY TCP6" and two full IPv6 addresses and ports, CRLF
constexpr char kBinaryStart[] = "\r\n\r\n\0\r\nQUIT\n";
constexpr qsizetype kBinaryStartLength = sizeof kBinaryStart - 1;
constexpr qsizetype kBinaryFixedLength = 16;

bool startsLike(QByteArrayView bytes, const char* start, qsizetype startLength) {
    const qsizetype n = std::min(bytes.size(), startLength);
    return std::memcmp(bytes.data(), start, std::size_t(n)) == 0;
}

QString ipv4Text(const unsigned char* bytes) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, bytes, text, sizeof text);
    return QString::fromLatin1(text);
}

QString ipv6Text(const unsigned char* bytes) {
    in6_addr address{};
    std::memcpy(&address, bytes, sizeof address);
    if (IN6_IS_ADDR_V4MAPPED(&address)) return ipv4Text(bytes + 12);
    return QHostAddress(bytes).toString();
}

ProxyHeader invalid(const char* reason) {
    ProxyHeader header;
    header.status = ProxyHeader::Status::Invalid;
    header.reason = reason;
    return header;
}

ProxyHeader complete(qsizetype length, QString address) {
    ProxyHeader header;
    header.status = ProxyHeader::Status::Complete;
    header.length = length;
    header.address = std::move(address);
    return header;
}

bool isPort(QByteArrayView text) {
    if (text.isEmpty() || text.size() > 5) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    int value = 0;
    for (const char c : text)
        value = value * 10 + (c - '0');
    return value <= 65535;
}

// "PROXY TCP4 SOURCE DESTINATION SOURCE-PORT DESTINATION-PORT\r\n", or "PROXY UNKNOWN...\r\n".
ProxyHeader parseText(QByteArrayView bytes) {
    const qsizetype end = bytes.first(std::min(bytes.size(), kMaxTextHeader)).indexOf('\n');
    if (end < 0) return bytes.size() >= kMaxTextHeader ? invalid("header line too long") : ProxyHeader{};
    if (end < 1 || bytes[end - 1] != '\r') return invalid("header line not ended by CRLF");
    QList<QByteArrayView> fields;
    QByteArrayView rest = bytes.sliced(kTextStartLength, end - 1 - kTextStartLength);
    for (qsizetype space = rest.indexOf(' '); space >= 0 && fields.size() < 6; space = rest.indexOf(' ')) {
        fields.append(rest.first(space));
        rest = rest.sliced(space + 1);
    }
    fields.append(rest);
    if (!fields.isEmpty() && fields[0] == "UNKNOWN") return complete(end + 1, {});
    if (fields.size() != 5 || (fields[0] != "TCP4" && fields[0] != "TCP6")) return invalid("not a TCP header line");
    const int family = fields[0] == "TCP4" ? AF_INET : AF_INET6;
    unsigned char source[16] = {};
    unsigned char destination[16] = {};
    if (inet_pton(family, fields[1].toByteArray().constData(), source) != 1 ||
        inet_pton(family, fields[2].toByteArray().constData(), destination) != 1)
        return invalid("bad address in the header line");
    if (!isPort(fields[3]) || !isPort(fields[4])) return invalid("bad port in the header line");
    return complete(end + 1, family == AF_INET ? ipv4Text(source) : ipv6Text(source));
}

// Twelve bytes of signature, version and command, family and protocol, the length of what
// follows (addresses, then extensions).
ProxyHeader parseBinary(QByteArrayView bytes) {
    if (bytes.size() < kBinaryFixedLength) return {};
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    const int version = raw[12] >> 4;
    const int command = raw[12] & 0x0F;
    const int family = raw[13];
    const qsizetype length = kBinaryFixedLength + ((qsizetype(raw[14]) << 8) | raw[15]);
    if (version != 2 || command > 1) return invalid("unknown header version or command");
    if (length > kMaxProxyHeader) return invalid("header too long");
    if (bytes.size() < length) return {};
    const qsizetype addresses = length - kBinaryFixedLength;
    const unsigned char* block = raw + kBinaryFixedLength;
    if (command == 0 || family == 0x00) return complete(length, {}); // the balancer itself, or not known
    if (family == 0x11 && addresses >= 12) return complete(length, ipv4Text(block));
    if (family == 0x21 && addresses >= 36) return complete(length, ipv6Text(block));
    if (family == 0x11 || family == 0x21) return invalid("header too short for its addresses");
    return invalid("not a TCP caller");
}

} // namespace

ProxyHeader parseProxyHeader(QByteArrayView bytes) {
    if (bytes.isEmpty()) return {};
    if (startsLike(bytes, kTextStart, kTextStartLength))
        return bytes.size() < kTextStartLength ? ProxyHeader{} : parseText(bytes);
    if (startsLike(bytes, kBinaryStart, kBinaryStartLength))
        return bytes.size() < kBinaryStartLength ? ProxyHeader{} : parseBinary(bytes);
    return invalid("no PROXY header");
}

bool parseAddressRange(const QString& text, AddressRange& range, QString* error) {
    const QString trimmed = text.trimmed();
    const qsizetype slash = trimmed.indexOf(QLatin1Char('/'));
    QHostAddress address;
    if (!address.setAddress(slash < 0 ? trimmed : trimmed.left(slash)) || !address.scopeId().isEmpty()) {
        if (error) *error = QStringLiteral("\"%1\" is not an IP address or ADDRESS/PREFIX").arg(text);
        return false;
    }
    const int bits = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    int prefix = bits;
    if (slash >= 0) {
        bool ok = false;
        prefix = trimmed.mid(slash + 1).toInt(&ok);
        if (!ok || prefix < 0 || prefix > bits) {
            if (error) *error = QStringLiteral("\"%1\" has no prefix length from 0 to %2").arg(text).arg(bits);
            return false;
        }
    }
    range = {address, prefix};
    return true;
}

bool inRanges(const QList<AddressRange>& ranges, const QString& peer) {
    if (ranges.isEmpty()) return false;
    const QHostAddress address(peer);
    for (const AddressRange& range : ranges)
        if (address.isInSubnet(range)) return true;
    return false;
}

} // namespace chatserver
