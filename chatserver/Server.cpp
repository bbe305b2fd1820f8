#include "chatserver/Server.h"

#include "chatserver/PresenceWriter.h"
#include "chatserver/net/Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QThread>
#include <QTimer>
#include <algorithm>

namespace chatserver {

namespace {

// The PostgreSQL password from the named file, or else (when the address holds none) from the
// credential systemd's LoadCredential= hands the service; false and a message when a file is named but cannot be read.
bool readStorePassword(const ServerConfig& config, StoreLocation& location, QString* error) {
    if (config.storePasswordFile.isEmpty() && !location.password.isEmpty()) return true;
    QByteArray secret;
    if (!readSecret(config.storePasswordFile, QStringLiteral("store-password"), &secret, error)) return false;
    if (!secret.isEmpty() || !config.storePasswordFile.isEmpty()) location.password = QString::fromUtf8(secret);
    return true;
}

} // namespace

std::optional<StoreLocation> storeLocationOf(const ServerConfig& config, QString* error) {
    if (!config.store.isEmpty()) {
        std::optional<StoreLocation> location = StoreLocation::parse(config.store, error);
        if (location && location->kind == StoreLocation::Kind::Postgres && !readStorePassword(config, *location, error))
            return std::nullopt;
        return location;
    }
    const QString folder = config.dataDir.isEmpty() ? defaultDataDir() : config.dataDir;
    return StoreLocation::parse(QStringLiteral("sqlite:") + QDir(folder).filePath(QStringLiteral("colloqchat.sqlite")),
                                error);
}

QString derivePublicAddress(const ServerConfig& config) {
    if (!config.publicAddress.isEmpty()) return config.publicAddress;
    const QHostAddress& chat = config.chatAddress;
    const bool any = chat == QHostAddress::Any || chat == QHostAddress::AnyIPv4 || chat == QHostAddress::AnyIPv6;
    if (!any) return TcpListener::peerText(chat);
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) return address.toString();
    return QStringLiteral("127.0.0.1");
}

namespace {
constexpr int kSweepMs = 60'000;
constexpr int kMostLoops = 64;
} // namespace

ChatServer::ChatServer(ServerConfig config, Clock clock, QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_clock(std::move(clock)) {}

void ChatServer::flushPresence() {
    for (const std::unique_ptr<ServingLoop>& loop : m_loops)
        loop->flushPresence();
    if (m_presence) m_presence->flushAll();
}

ChatServer::~ChatServer() {
    stop();
}

bool ChatServer::start(QString* error) {
    const std::optional<StoreLocation> location = storeLocationOf(m_config, error);
    if (!location) return false;
    m_storeDescription = location->describe();
    ChatSettings settings;
    settings.presenceTimeoutMs = m_config.presenceTimeoutMs;
    settings.maxContacts = m_config.maxContacts;
    settings.registrations = m_config.registrations;
    settings.networkRegistrations = m_config.networkRegistrations;
    settings.registrationCeiling = m_config.registrationCeiling;
    settings.logIns = m_config.logIns;
    settings.logIns.prefixes = m_config.prefixes;
    settings.lookups = m_config.lookups;
    settings.callPaths = m_config.callPaths;
    if (!readSecret(m_config.turnSecretFile, QStringLiteral("turn-secret"), &settings.callPaths.turnSecret, error) ||
        !readSecret(m_config.relaySecretFile, QStringLiteral("relay-secret"), &settings.callPaths.relaySecret, error))
        return false;
    try {
        m_storage = openStorage(*location);
        m_service = std::make_unique<ChatService>(*m_storage, settings, m_clock);
    } catch (const StorageError& failure) {
        if (error) *error = QStringLiteral("store %1: %2").arg(m_storeDescription, QString::fromUtf8(failure.what()));
        return false;
    }
    m_pages = std::make_unique<WebPages>(*m_service, m_config.web);

    if (!m_config.chatEnabled && !m_config.webEnabled) {
        if (error) *error = QStringLiteral("the chat port and the web pages are both off: nothing to serve");
        return false;
    }
    if (m_config.chatEnabled) {
        m_chat = new ChatListener(*m_service, listenerLimits(), this);
        m_chat->setSharedPort(loopCount());
        if (!m_chat->listen(m_config.chatAddress, m_config.chatPort, error)) return false;
    }

    if (m_config.webEnabled) {
        m_web = new WebListener(*m_pages, listenerLimits(), this);
        m_web->setSharedPort(loopCount());
        QString problem;
        if (!m_web->listen(m_config.webAddress, m_config.webPort, &problem)) {
            delete m_web;
            m_web = nullptr;
            if (m_config.webExplicit || !m_chat) {
                if (error) *error = problem;
                return false;
            }
            m_webWarning = problem + QStringLiteral(" - the web pages are not served (port 80 needs root or "
                                                    "CAP_NET_BIND_SERVICE; --web-listen ADDRESS:PORT picks another, "
                                                    "--web-listen off silences this)");
        }
    }

    if (!startTls(error)) return false;

    settings.publicAddress = derivePublicAddress(m_config);
    // With the chat port off, clients are still told the port the chat server will be back on.
    const quint16 chatPort = m_chat ? m_chat->port() : m_config.chatPort;
    settings.publicPort = m_config.publicPort.isEmpty() ? QString::number(chatPort) : m_config.publicPort;
    if (QString problem; !checkClientServerPair(settings.publicAddress, settings.publicPort, &problem)) {
        if (error)
            *error = QStringLiteral("what clients would be told is unusable: %1 (set --public-address and "
                                    "--public-port)")
                         .arg(problem);
        return false;
    }
    if (m_config.sitesConfigured) {
        settings.sites = m_config.sites;
    } else if (m_web && m_web->port() == 80) {
        // Clients fetch pages from port 80 only, so sites pointing at us help only there.
        const QString& address = settings.publicAddress;
        settings.sites = {{QStringLiteral("0"), {address, address, m_config.web.redirectPage, QString()}},
                          {QStringLiteral("1"), {address, address, QStringLiteral("infoip.asp"), QString()}}};
    }
    settings.confirmation = confirmationSettings(settings.publicAddress);
    m_service->setSettings(settings);
    startCallChecks(settings.publicAddress);
    if (m_config.mailEnabled) {
        m_mail = std::make_unique<SmtpClient>(m_config.mailRelay);
        m_service->setMailer([mail = m_mail.get()](const Mail& message) { mail->send(message); });
    }

    m_presence = std::make_unique<PresenceWriter>(*m_storage, *m_service, true);
    m_presence->start();
    m_flusher = std::make_unique<PresenceFlusher>(*location, m_storage->pendingPresence());
    m_sweep = new QTimer(this);
    m_sweep->setInterval(kSweepMs);
    connect(m_sweep, &QTimer::timeout, this, [this] {
        if (m_presence->storeLost()) return;
        try {
            m_service->sweep();
        } catch (const StorageError& failure) {
            qCWarning(lcServer).noquote() << "cannot clear out old registrations:" << failure.what();
        }
    });
    m_sweep->start();
    return startLoops(*location, settings, error);
}

int ChatServer::loopCount() const {
    return std::clamp(m_config.servingLoops > 0 ? m_config.servingLoops : QThread::idealThreadCount(), 1, kMostLoops);
}

bool ChatServer::startLoops(const StoreLocation& location, const ChatSettings& settings, QString* error) {
    const int loops = loopCount();
    LoopPlan plan;
    plan.store = location;
    plan.settings = settings;
    plan.clock = m_clock;
    plan.callers = m_service->callerLimits();
    plan.pendingPresence = m_storage->pendingPresence();
    if (SmtpClient* mail = m_mail.get())
        plan.mailer = [mail](const Mail& message) {
            QMetaObject::invokeMethod(
                mail, [mail, message] { mail->send(message); }, Qt::QueuedConnection);
        };
    plan.webSettings = m_config.web;
    plan.limits = listenerLimits();
    plan.chat = m_chat;
    plan.chatTls = m_chatTls;
    plan.web = m_web;
    plan.webTls = m_webTls;
    plan.tls = m_tls;
    if (m_probe) {
        plan.probeBudget = m_probe->budget();
        plan.callCheck = m_config.callCheck;
        plan.ownAddress = settings.publicAddress;
    }
    for (int i = 1; i < loops; ++i) {
        auto loop = std::make_unique<ServingLoop>(plan);
        if (!loop->start(error)) return false;
        m_loops.push_back(std::move(loop));
    }
    return true;
}

ConfirmationSettings ChatServer::confirmationSettings(const QString& publicAddress) {
    ConfirmationSettings confirmation;
    confirmation.enabled = m_config.mailEnabled;
    confirmation.page = m_config.confirmPage;
    if (confirmation.page.isEmpty()) {
        const quint16 port = m_web ? m_web->port() : m_config.webPort;
        confirmation.page = QStringLiteral("http://") + publicAddress +
                            (port == 80 ? QString() : QLatin1Char(':') + QString::number(port)) +
                            QStringLiteral("/confirm");
        if (confirmation.enabled && !m_web)
            m_mailWarning = QStringLiteral("the links of confirmation mails lead to %1, but the web pages are not "
                                           "served: set --confirm-page, or confirm with \"colloqchat-server confirm\"")
                                .arg(confirmation.page);
    }
    return confirmation;
}

ListenerLimits ChatServer::listenerLimits() const {
    ListenerLimits limits = m_config.limits;
    limits.prefixes = m_config.prefixes;
    return limits;
}

void ChatServer::startCallChecks(const QString& ownAddress) {
    if (!m_chat || !m_config.callCheck.enabled) return;
    m_probe = std::make_unique<CallAddressProbe>(m_config.callCheck, ownAddress);
    if (QString problem; !m_probe->open(&problem)) {
        // Only the notice to unreachable users is lost: serving goes on without it.
        qCWarning(lcServer).noquote() << "call addresses are not checked:" << problem;
        m_probe.reset();
        return;
    }
    m_chat->setCallAddressProbe(m_probe.get());
    if (m_chatTls) m_chatTls->setCallAddressProbe(m_probe.get());
}

void ChatServer::stop() {
    m_loops.clear(); // each writes its last-seen times as it stops
    m_flusher.reset();
    stopTls();
    if (m_chat) m_chat->close();
    if (m_web) m_web->close();
    delete m_sweep;
    m_sweep = nullptr;
    flushPresence();
    m_presence.reset();
    delete m_chat;
    m_probe.reset();
    m_mail.reset();
    delete m_web;
    m_chat = nullptr;
    m_web = nullptr;
    m_secureAccounts.reset();
    m_accountMoves.reset();
    m_pages.reset();
    m_service.reset();
    m_storage.reset();
}

} // namespace chatserver
