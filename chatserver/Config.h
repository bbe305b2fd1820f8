#pragma once
// The server's configuration: built-in defaults, then a configuration file, then command-line
// options, each overriding the one before. Nothing is required: with no file and no options the
// server keeps its store in its data folder and listens on 127.0.0.1.
#include "chatserver/CallAddressProbe.h"
#include "chatserver/ChatService.h"
#include "chatserver/WebPages.h"
#include "chatserver/net/Listeners.h"
#include "chatserver/net/SmtpClient.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>

namespace chatserver {

struct ServerConfig {
    enum class Command { Serve, Notice, Move, Confirm, Help, Version };
    Command command = Command::Serve;

    bool chatEnabled = true; // off: only the web pages are served (the chat server is "down")
    QHostAddress chatAddress = QHostAddress::LocalHost;
    quint16 chatPort = 19991;
    bool webEnabled = true;
    bool webExplicit = false; // named by the user: failing to listen is then an error
    QHostAddress webAddress = QHostAddress::LocalHost;
    quint16 webPort = 80;
    // The same protocols over TLS. Unless named, the chat one listens beside the plain chat port
    // on the next port (where clients look for it), and the web one on port 443 of the web
    // address when it can. Without a certificate the server makes a self-signed one.
    bool chatTlsEnabled = true;
    bool chatTlsExplicit = false;
    QHostAddress chatTlsAddress;
    quint16 chatTlsPort = 0;
    bool webTlsEnabled = true;
    bool webTlsExplicit = false;
    QHostAddress webTlsAddress;
    quint16 webTlsPort = 443;
    QString tlsCertificateFile;
    QString tlsKeyFile;

    QString publicAddress; // empty: derived from the chat address
    QString publicPort;    // empty: the chat port
    QString dataDir;       // empty: the standard data folder (or ./data)
    QString store;         // empty: SQLite in the data folder
    // A file holding the PostgreSQL store's password, so that it is on no command line; empty:
    // the service manager's credential "store-password", if it handed one over.
    QString storePasswordFile;
    QList<wire::SiteRecord> sites;
    bool sitesConfigured = false;
    WebSettings web;
    qint64 presenceTimeoutMs = 340'000;
    int maxContacts = 500;
    // Threads that take and answer connections, each with its own event loop and connection to
    // the store; 0: one per core.
    int servingLoops = 0;
    ListenerLimits limits;
    RateLimit registrations = ChatSettings{}.registrations;
    RateLimit networkRegistrations = ChatSettings{}.networkRegistrations;
    RateLimit registrationCeiling = ChatSettings{}.registrationCeiling;
    LogInLimits logIns;
    RateLimit lookups = ChatSettings{}.lookups;
    NetworkPrefixes prefixes; // what the limits per network count as one
    CallCheckSettings callCheck;
    // New users confirm their address through a link mailed by this relay; off: an address is
    // the account's as soon as it registers.
    bool mailEnabled = true;
    MailRelay mailRelay;
    QString confirmPage; // empty: this server's own page
    // STUN/TURN servers and relays handed to clients; the secrets come from these files (or the
    // credentials turn-secret and relay-secret) when the server starts.
    CallPathSettings callPaths;
    QString turnSecretFile;
    QString relaySecretFile;
    QString logLevel = QStringLiteral("info");

    // Operator commands.
    QString noticeTo; // a user ID or "all"
    QString noticeText;
    QString noticeTitle;
    QString moveAddress;
    QString movePort;
    QString confirmCode; // the code, or the link that holds it
};

// Reads the command line (program name first) and the configuration file it names. On a bad
// value: nullopt and a message naming the option or file line.
std::optional<ServerConfig> parseServerConfig(const QStringList& arguments, QString* error);
// Applies "key = value" lines of a configuration file to `config`.
bool applyConfigText(const QString& content, const QString& fileName, ServerConfig& config, QString* error);

QString usageText();

// Whether a client takes this as its server's address and port: four numbers of 0 to 255 with
// dots, and a port of 1 to 65534. Its server-address file holds nothing else, and a client
// told anything else refuses the file at its next start. Otherwise a message for the operator.
bool checkClientServerPair(const QString& address, const QString& port, QString* error);

// The folder for the store when none is named: the standard application data folder when it
// can be created, otherwise ./data.
QString defaultDataDir();

} // namespace chatserver
