#pragma once
// Which chat servers' keys the client trusts: the one a server showed the first time it answered
// encrypted is pinned (in ColloqChat.trust), as SSH keeps the keys of the hosts it has seen; a
// certificate that a certificate authority of the system vouches for is taken (and pinned)
// too. A server seen encrypted once is never spoken to in the clear again; one never seen so
// (an older server) is, with a word to the user the first time in a run.
#include "platform/KVOSocket.h"

#include <QSet>
#include <functional>

namespace basMain {

// Set while a web lookup carries the user's ID (the alternate server's requests): then, once any
// chat server has been seen encrypted, a web host is asked only over TLS, with a key it proves.
inline bool g_blnWebCarriesId = false;

class PinnedServers final : public ServerTrust {
public:
    // `wentPlain` hears of each server taken in the clear, once per run.
    explicit PinnedServers(std::function<void(const QString& text)> wentPlain = {})
        : m_wentPlain(std::move(wentPlain)) {}

    Approach approach(const QString& hostPort) override;
    quint16 tlsPort(quint16 port) const override { return quint16(port + 1); }
    bool trustKey(const QString& hostPort, const QString& fingerprint, bool systemTrusted, QString* why) override;
    bool mayGoPlain(const QString& hostPort, QString* why) override;

    // What the user is told when a server is taken in the clear.
    static QString plainText(const QString& hostPort);

private:
    std::function<void(const QString&)> m_wentPlain;
    QSet<QString> m_plain; // servers taken in the clear in this run
};

// The web pages the client fetches. Those on the host of a chat server seen encrypted are fetched
// over TLS (port 443) under that server's key, and so is every page that carries the user's ID
// once any server has been seen encrypted (with a key pinned there or vouched for by a
// certificate authority of the system). Every other page goes as it always did.
class PinnedWebHosts final : public ServerTrust {
public:
    Approach approach(const QString& hostPort) override;
    quint16 tlsPort(quint16) const override { return 443; }
    bool trustKey(const QString& hostPort, const QString& fingerprint, bool systemTrusted, QString* why) override;
    bool mayGoPlain(const QString& hostPort, QString* why) override;
};

} // namespace basMain
