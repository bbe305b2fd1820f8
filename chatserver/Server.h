#pragma once
// One running server: the store, the protocol, the pages and both listeners, put together from a
// ServerConfig. main() runs one; tests run them in-process on loopback addresses. The first
// serving loop is the caller's thread, which also sends the mails and runs the timers of the
// whole server; further loops (ServingLoop.h) serve the same sockets on threads of their own.
#include "chatserver/AccountMoves.h"
#include "chatserver/ChatService.h"
#include "chatserver/Config.h"
#include "chatserver/Doors.h"
#include "chatserver/SecureAccounts.h"
#include "chatserver/ServingLoop.h"
#include "chatserver/WebPages.h"
#include "chatserver/net/TlsServer.h"
#include "chatserver/store/Storage.h"

#include <QObject>

class QTimer;
#include <memory>
#include <vector>

namespace chatserver {

class PresenceFlusher;
class PresenceWriter;

class ChatServer : public QObject {
    Q_OBJECT
public:
    explicit ChatServer(ServerConfig config, Clock clock = systemClock(), QObject* parent = nullptr);
    ~ChatServer() override;

    // Opens the store and starts listening; false and a message when it cannot. A web address
    // that was not asked for explicitly and cannot be listened on only costs the web pages.
    bool start(QString* error);
    void stop();
    // Writes the last-seen times polls left in memory now, through every loop's connection (as
    // each loop does on stopping; while serving, a thread of their own writes them every second),
    // and looks in every loop whether the store is lost (as each does every second).
    void flushPresence();
    // The serving loops, the first one included.
    int servingLoops() const { return 1 + int(m_loops.size()); }

    const ServerConfig& config() const { return m_config; }
    Storage& storage() { return *m_storage; }
    ChatService& service() { return *m_service; }
    ChatListener* chatListener() { return m_chat; }       // null when the chat port is off
    WebListener* webListener() { return m_web; }          // null when the pages are not served
    ChatListener* chatTlsListener() { return m_chatTls; } // null when the chat port has no TLS twin
    WebListener* webTlsListener() { return m_webTls; }
    // SHA-256 of the TLS certificate's public key ("AB:CD:..."), empty without TLS.
    QString tlsFingerprint() const;
    QString storeDescription() const { return m_storeDescription; }
    // Why the pages are not served, when they were not asked for but could not be either.
    QString webWarning() const { return m_webWarning; }
    // Why the links of confirmation mails lead nowhere, when they do.
    QString mailWarning() const { return m_mailWarning; }
    SmtpClient* mailer() { return m_mail.get(); } // null when no mail is sent

private:
    // The configured limits of a listener, with the networks the limits count by.
    ListenerLimits listenerLimits() const;
    // Where confirmation links lead: the configured page, or this server's own.
    ConfirmationSettings confirmationSettings(const QString& publicAddress);
    // Log-ins from now on wait for the check of their call address, when checks are on and a
    // datagram socket can be had; `ownAddress` is what the checks name as their sender.
    void startCallChecks(const QString& ownAddress);
    // How many loops serve: as configured, or one per core.
    int loopCount() const;
    // The loops beside the first, serving the first one's ports.
    bool startLoops(const StoreLocation& location, const ChatSettings& settings, QString* error);
    // The TLS listeners beside the plain ones (ServerTls.cpp); false and a message when a
    // listener that was asked for explicitly cannot be had.
    bool startTls(QString* error);
    void stopTls();
    // Takes a renewed certificate (new files in place of the old) for the connections to come.
    void reloadTls();

    ServerConfig m_config;
    Clock m_clock;
    std::unique_ptr<Storage> m_storage;
    std::unique_ptr<ChatService> m_service;
    std::unique_ptr<WebPages> m_pages;
    std::unique_ptr<CallAddressProbe> m_probe; // outlives m_chat, whose connections it serves
    std::unique_ptr<SmtpClient> m_mail;
    ChatListener* m_chat = nullptr;
    WebListener* m_web = nullptr;
    ChatListener* m_chatTls = nullptr;
    WebListener* m_webTls = nullptr;
    std::shared_ptr<TlsServerContext> m_tls;
    std::unique_ptr<SecureAccounts> m_secureAccounts; // outlives the chat listeners
    std::unique_ptr<AccountMoves> m_accountMoves;     // likewise
    QTimer* m_tlsReload = nullptr;
    std::unique_ptr<PresenceWriter> m_presence;
    std::unique_ptr<PresenceFlusher> m_flusher;
    std::vector<std::unique_ptr<ServingLoop>> m_loops;
    QTimer* m_sweep = nullptr;
    QString m_storeDescription;
    QString m_webWarning;
    QString m_mailWarning;
};

// Where the store is: the configured one (with the password of the password file or the
// service's credential), or SQLite in the data folder.
std::optional<StoreLocation> storeLocationOf(const ServerConfig& config, QString* error);
// The address clients are told: the configured one, or the chat address when it is a specific
// one, or this machine's first non-loopback IPv4 address.
QString derivePublicAddress(const ServerConfig& config);

// The whole program: commands, configuration, signals. Returns the exit code.
int runServerMain(const QStringList& arguments);

} // namespace chatserver
