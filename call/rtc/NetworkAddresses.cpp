#include "call/rtc/NetworkAddresses.h"

#include <QNetworkInterface>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rtc {

namespace {

bool inNet(quint32 address, quint32 net, int prefix) {
    const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    return (address & mask) == (net & mask);
}

quint32 ip(int a, int b, int c, int d) {
    return (quint32(a) << 24) | (quint32(b) << 16) | (quint32(c) << 8) | quint32(d);
}

} // namespace

bool isGloballyRoutableIPv4(const QHostAddress& address) {
    bool ok = false;
    const quint32 a = address.toIPv4Address(&ok);
    if (!ok) return false;
    struct Net {
        quint32 net;
        int prefix;
    };
    static const Net notGlobal[] = {
        {ip(0, 0, 0, 0), 8},       // "this network"
        {ip(10, 0, 0, 0), 8},      // private
        {ip(100, 64, 0, 0), 10},   // shared address space (carrier-grade NAT)
        {ip(127, 0, 0, 0), 8},     // loopback
        {ip(169, 254, 0, 0), 16},  // link-local
        {ip(172, 16, 0, 0), 12},   // private
        {ip(192, 0, 0, 0), 24},    // protocol assignments
        {ip(192, 0, 2, 0), 24},    // documentation
        {ip(192, 88, 99, 0), 24},  // deprecated relay anycast
        {ip(192, 168, 0, 0), 16},  // private
        {ip(198, 18, 0, 0), 15},   // benchmarking
        {ip(198, 51, 100, 0), 24}, // documentation
        {ip(203, 0, 113, 0), 24},  // documentation
        {ip(224, 0, 0, 0), 4},     // multicast
        {ip(240, 0, 0, 0), 4},     // reserved and broadcast
    };
    for (const Net& n : notGlobal)
        if (inNet(a, n.net, n.prefix)) return false;
    return true;
}

AddressLists classifyAddresses(const QList<QHostAddress>& addresses, quint16 port) {
    AddressLists lists;
    QStringList loopback;
    const QString suffix = QStringLiteral(":") + QString::number(port);
    for (const QHostAddress& address : addresses) {
        bool ok = false;
        address.toIPv4Address(&ok);
        if (!ok) continue;
        const QString text = address.toString() + suffix;
        if (lists.external.contains(text) || lists.internal.contains(text) || loopback.contains(text)) continue;
        if (isGloballyRoutableIPv4(address))
            lists.external.append(text);
        else if (address.isLoopback())
            loopback.append(text);
        else
            lists.internal.append(text);
    }
    lists.internal.append(loopback);
    return lists;
}

QList<QHostAddress> interfaceAddresses() {
    QList<QHostAddress> result;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        if (!iface.flags().testFlag(QNetworkInterface::IsUp)) continue;
        for (const QNetworkAddressEntry& entry : iface.addressEntries())
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) result.append(entry.ip());
    }
    return result;
}

quint16 findFreeUdpPort(quint16 first, int tries) {
    for (int i = 0; i < tries; ++i) {
        const int port = int(first) + i;
        if (port > 65535) break;
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) return 0;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
        ::close(fd);
        if (free) return static_cast<quint16>(port);
    }
    return 0;
}

} // namespace rtc
