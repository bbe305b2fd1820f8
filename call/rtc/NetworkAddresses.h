#pragma once
// The local addresses an engine reports and the SIP port it listens on.
#include <QHostAddress>
#include <QList>
#include <QStringList>

namespace rtc {

// Address texts "a.b.c.d:port", split by reach.
struct AddressLists {
    QStringList external; // globally routable IPv4 addresses
    QStringList internal; // every other IPv4 address: private, link-local, shared, reserved, loopback
};

// Whether an IPv4 address can be reached from the public internet: not private (10/8, 172.16/12,
// 192.168/16), shared (100.64/10), loopback, link-local, documentation, benchmarking, multicast,
// reserved or "this network".
bool isGloballyRoutableIPv4(const QHostAddress& address);

// Sorts the IPv4 addresses into the two lists, keeping their order, with the port appended.
// IPv6 addresses are left out: "address:port" would not read unambiguously for them.
// Loopback addresses go to the end of the internal list, so a reachable address comes first.
AddressLists classifyAddresses(const QList<QHostAddress>& addresses, quint16 port);

// The IPv4 addresses of the interfaces that are up, in the order the system lists them.
QList<QHostAddress> interfaceAddresses();

// The first port from `first` on (at most `tries` of them) on which a UDP socket can be bound on
// every interface; 0 when none is free.
quint16 findFreeUdpPort(quint16 first, int tries = 100);

} // namespace rtc
