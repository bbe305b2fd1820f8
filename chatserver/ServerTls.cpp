// The server's TLS listeners: the chat protocol and the web pages, byte for byte as on the plain
// ports, over TLS with the operator's certificate or a self-signed one made at the first start.
#include "chatserver/Server.h"
#include "chatserver/net/Logging.h"

#include <QTimer>

namespace chatserver {

namespace {

// How often the certificate files are looked at for a renewal.
constexpr int kReloadCheckMs = 60'000;

} // namespace

QString ChatServer::tlsFingerprint() const {
    return m_tls ? m_tls->fingerprint() : QString();
}

bool ChatServer::startTls(QString* error) {
    // Clients look for TLS on the port after the chat port, so the plain port's twin is there
    // unless the operator says otherwise (a chat port left to the system has no known next one);
    // the web pages' twin is port 443 beside port 80.
    const bool chatTls =
        m_config.chatTlsExplicit ? m_config.chatTlsEnabled : m_config.chatEnabled && m_chat && m_config.chatPort != 0;
    const bool webTls = m_config.webTlsExplicit ? m_config.webTlsEnabled : m_web && m_web->port() == 80;
    // The plain port refuses accounts that signed in over TLS, whether or not this server has a
    // TLS port itself (another server of the store may).
    m_secureAccounts = std::make_unique<SecureAccounts>(*m_storage, m_clock);
    m_accountMoves = std::make_unique<AccountMoves>(*m_storage, *m_service, m_clock);
    if (m_chat) {
        m_chat->setSecureAccounts(m_secureAccounts.get());
        m_chat->setAccountMoves(m_accountMoves.get());
    }
    if (!chatTls && !webTls) return true;

    if (m_config.tlsCertificateFile.isEmpty() != m_config.tlsKeyFile.isEmpty()) {
        if (error) *error = QStringLiteral("--tls-certificate and --tls-key go together");
        return false;
    }
    QString problem;
    bool created = false;
    m_tls = m_config.tlsCertificateFile.isEmpty()
                ? TlsServerContext::selfSigned(m_config.dataDir.isEmpty() ? defaultDataDir() : m_config.dataDir,
                                               QStringLiteral("colloqchat-server ") + derivePublicAddress(m_config),
                                               &problem, &created)
                : TlsServerContext::fromFiles(m_config.tlsCertificateFile, m_config.tlsKeyFile, &problem);
    if (!m_tls) {
        if (error) *error = problem;
        return false;
    }
    qCInfo(lcServer).noquote() << (created ? "made a self-signed TLS certificate:" : "TLS certificate:")
                               << m_tls->certificateFile();
    qCInfo(lcServer).noquote() << "TLS key fingerprint (SHA-256 of the public key):" << m_tls->fingerprint();

    // A twin the operator did not name explicitly only costs itself when it cannot listen.
    const auto open = [&](auto*& listener, auto make, bool named, const QHostAddress& address, quint16 port) {
        listener = make();
        listener->setTls(m_tls);
        listener->setSharedPort(loopCount());
        QString why;
        if (listener->listen(address, port, &why)) return true;
        delete listener;
        listener = nullptr;
        if (named) {
            if (error) *error = why;
            return false;
        }
        qCWarning(lcServer).noquote() << why << "- no TLS there";
        return true;
    };
    if (chatTls) {
        const QHostAddress address = m_config.chatTlsExplicit ? m_config.chatTlsAddress : m_config.chatAddress;
        const quint16 port =
            m_config.chatTlsExplicit ? m_config.chatTlsPort : quint16((m_chat ? m_chat->port() : 0) + 1);
        if (!open(
                m_chatTls, [this] { return new ChatListener(*m_service, m_config.limits, this); },
                m_config.chatTlsExplicit, address, port))
            return false;
        if (m_chatTls) {
            m_chatTls->setSecureAccounts(m_secureAccounts.get());
            m_chatTls->setAccountMoves(m_accountMoves.get());
        }
        if (m_chatTls && m_chat && m_chatTls->port() != m_chat->port() + 1)
            qCWarning(lcServer).noquote()
                << "clients look for TLS on port" << m_chat->port() + 1 << "but it is on" << m_chatTls->port();
    }
    if (webTls) {
        const QHostAddress address = m_config.webTlsExplicit ? m_config.webTlsAddress : m_config.webAddress;
        if (!open(
                m_webTls, [this] { return new WebListener(*m_pages, m_config.limits, this); }, m_config.webTlsExplicit,
                address, m_config.webTlsPort))
            return false;
    }
    m_tlsReload = new QTimer(this);
    m_tlsReload->setInterval(kReloadCheckMs);
    connect(m_tlsReload, &QTimer::timeout, this, &ChatServer::reloadTls);
    m_tlsReload->start();
    return true;
}

void ChatServer::reloadTls() {
    if (!m_tls) return;
    QString problem;
    std::shared_ptr<TlsServerContext> renewed = m_tls->reloaded(&problem);
    if (!renewed) {
        if (!problem.isEmpty()) qCWarning(lcServer).noquote() << "the renewed TLS certificate is not used:" << problem;
        return;
    }
    if (renewed->fingerprint() != m_tls->fingerprint())
        qCWarning(lcServer).noquote() << "the renewed TLS certificate has a new key" << renewed->fingerprint()
                                      << "- clients that pinned the old one will warn their users (renew with the "
                                         "same key to avoid that)";
    else
        qCInfo(lcServer).noquote() << "took the renewed TLS certificate" << renewed->certificateFile();
    m_tls = std::move(renewed);
    for (TcpListener* listener : {static_cast<TcpListener*>(m_chatTls), static_cast<TcpListener*>(m_webTls)})
        if (listener) listener->setTls(m_tls);
    for (const std::unique_ptr<ServingLoop>& loop : m_loops)
        loop->setTls(m_tls);
}

void ChatServer::stopTls() {
    delete m_tlsReload;
    m_tlsReload = nullptr;
    if (m_chatTls) m_chatTls->close();
    if (m_webTls) m_webTls->close();
    delete m_chatTls;
    delete m_webTls;
    m_chatTls = nullptr;
    m_webTls = nullptr;
}

} // namespace chatserver
