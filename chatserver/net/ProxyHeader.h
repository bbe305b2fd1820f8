#pragma once
// The header a TCP load balancer puts before the bytes it relays, naming the address of the caller
// it stands for (the PROXY protocol, its text form 1 and binary form 2). The server believes it
// only from balancers it was told about; everyone else's bytes are a request like any other.
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

namespace chatserver {

struct ProxyHeader {
    enum class Status { Incomplete, Invalid, Complete };
    Status status = Status::Incomplete;
    qsizetype length = 0; // bytes the header takes at the start of the stream (when complete)
    // The caller's address in the listeners' plain form ("1.2.3.4" also for IPv4 over IPv6);
    // empty when the balancer speaks for itself (a health check) or names no TCP caller.
    QString address;
    const char* reason = ""; // why it is invalid, for the log
};

// The longest header accepted; one that would be longer is invalid. The text form is at most 107
// bytes; the binary form may carry extensions after the addresses, which are skipped.
constexpr qsizetype kMaxProxyHeader = 1024;

// Reads the header at the start of `bytes`: Incomplete while what is there may still become one.
ProxyHeader parseProxyHeader(QByteArrayView bytes);

// Balancer addresses: ADDRESS or ADDRESS/PREFIX.
using AddressRange = QPair<QHostAddress, int>;
bool parseAddressRange(const QString& text, AddressRange& range, QString* error);
bool inRanges(const QList<AddressRange>& ranges, const QString& peer);

} // namespace chatserver
