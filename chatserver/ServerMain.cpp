// The program around ChatServer: commands, messages, signals.
#include "chatserver/Server.h"
#include "chatserver/net/Logging.h"
#include "wire/Codepage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace chatserver {

namespace {

int g_signalFds[2] = {-1, -1};

extern "C" void onTerminationSignal(int) {
    const char byte = 1;
    // Nothing else is safe here; the event loop reads the byte and shuts down in order.
    [[maybe_unused]] const ssize_t written = ::write(g_signalFds[0], &byte, 1);
}

void say(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Whatever a caller sent may be quoted in a message: no control character reaches the log,
// where it could forge lines or move a terminal's cursor. Plain ASCII, nearly every line, goes
// into the stream's buffer a character at a time; a string and a conversion for each line were
// most of its cost.
void putPrintable(FILE* stream, QStringView message) {
    const auto isControl = [](char16_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); };
    for (qsizetype i = 0; i < message.size(); ++i) {
        const char16_t c = message[i].unicode();
        if (c >= 0x80) { // the rest in UTF-8, the encoding of the log
            QString rest = message.sliced(i).toString();
            std::replace_if(
                rest.begin(), rest.end(), [&](QChar r) { return isControl(r.unicode()); }, QLatin1Char('?'));
            const QByteArray bytes = rest.toUtf8();
            fwrite_unlocked(bytes.constData(), 1, std::size_t(bytes.size()), stream);
            return;
        }
        putc_unlocked(isControl(c) ? '?' : char(c), stream);
    }
}

// "2024-06-07 12:34:56.789 colloq.chat info: message": at the default level there is one line
// per exchange, so the line is put together by hand; Qt's message pattern formats the date
// afresh for every line and cost as much as a third of an exchange.
void writeLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    static const char* const kTypes[] = {"debug", "warning", "critical", "fatal", "info"};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    thread_local time_t cachedSecond = -1;
    thread_local char cachedPrefix[32] = {};
    if (now.tv_sec != cachedSecond) {
        tm local{};
        localtime_r(&now.tv_sec, &local);
        std::strftime(cachedPrefix, sizeof cachedPrefix, "%Y-%m-%d %H:%M:%S", &local);
        cachedSecond = now.tv_sec;
    }
    const int millis = int(now.tv_nsec / 1'000'000 % 1000);
    const char fraction[] = {'.', char('0' + millis / 100), char('0' + millis / 10 % 10), char('0' + millis % 10), ' '};
    // One lock for the line's pieces, so that the loops' lines do not mix.
    flockfile(stderr);
    fputs_unlocked(cachedPrefix, stderr);
    fwrite_unlocked(fraction, 1, sizeof fraction, stderr);
    if (context.category && std::strcmp(context.category, "default") != 0) {
        fputs_unlocked(context.category, stderr);
        putc_unlocked(' ', stderr);
    }
    fputs_unlocked(type >= QtDebugMsg && type <= QtInfoMsg ? kTypes[type] : "log", stderr);
    fputs_unlocked(": ", stderr);
    putPrintable(stderr, message);
    putc_unlocked('\n', stderr);
    funlockfile(stderr);
    // Lines of the exchanges wait for the loop's next pause (see serve()); anything worse goes out now.
    if (type != QtDebugMsg && type != QtInfoMsg) std::fflush(stderr);
}

int complain(const QString& text) {
    say(stderr, QStringLiteral("colloqchat-server: ") + text);
    return 2;
}

// Text that can cross the wire unchanged: representable in the code page, no separator.
bool isWireSafe(const QString& text) {
    return !text.contains(QChar(0x00D4)) && wire::fromCp1252(wire::toCp1252(text)) == text;
}

std::unique_ptr<Storage> openConfiguredStore(const ServerConfig& config, QString* error) {
    const std::optional<StoreLocation> location = storeLocationOf(config, error);
    if (!location) return nullptr;
    try {
        return openStorage(*location);
    } catch (const StorageError& failure) {
        *error = QStringLiteral("store %1: %2").arg(location->describe(), QString::fromUtf8(failure.what()));
        return nullptr;
    }
}

int queueNotice(const ServerConfig& config) {
    if (config.noticeTo.isEmpty() || config.noticeText.isEmpty())
        return complain(QStringLiteral("notice needs --to ID|all and --text TEXT"));
    const QString title = config.noticeTitle.isEmpty() ? QStringLiteral("ColloqChat") : config.noticeTitle;
    if (!isWireSafe(config.noticeText) || !isWireSafe(title))
        return complain(QStringLiteral("the notice may only hold Windows-1252 characters other than \"\u00D4\""));
    std::optional<qint64> target;
    if (config.noticeTo != QLatin1String("all")) {
        target = parseUserId(config.noticeTo);
        if (!target) return complain(QStringLiteral("--to takes a user ID or all, not \"%1\"").arg(config.noticeTo));
    }
    QString error;
    const std::unique_ptr<Storage> storage = openConfiguredStore(config, &error);
    if (!storage) return complain(error);
    try {
        if (target && !storage->findUser(*target))
            return complain(QStringLiteral("no user has the ID %1").arg(*target));
        const qint64 id = storage->queueNotice(target, config.noticeText, title, QDateTime::currentMSecsSinceEpoch());
        say(stdout, QStringLiteral("notice %1 queued for %2")
                        .arg(id)
                        .arg(target ? QString::number(*target) : QStringLiteral("all users")));
    } catch (const StorageError& failure) {
        return complain(QString::fromUtf8(failure.what()));
    }
    return 0;
}

int announceMove(const ServerConfig& config) {
    const QString port = config.movePort.isEmpty() ? QStringLiteral("19991") : config.movePort;
    if (config.moveAddress.isEmpty()) return complain(QStringLiteral("move needs --address with the new address"));
    QString problem;
    if (!checkClientServerPair(config.moveAddress, port, &problem)) return complain(QStringLiteral("move: ") + problem);
    const uint portValue = port.toUInt();
    QString error;
    const std::unique_ptr<Storage> storage = openConfiguredStore(config, &error);
    if (!storage) return complain(error);
    try {
        const qint64 id =
            storage->announceMove(config.moveAddress, QString::number(portValue), QDateTime::currentMSecsSinceEpoch());
        say(stdout, QStringLiteral("move %1 announced: %2 port %3").arg(id).arg(config.moveAddress).arg(portValue));
    } catch (const StorageError& failure) {
        return complain(QString::fromUtf8(failure.what()));
    }
    return 0;
}

int confirmByCommand(const ServerConfig& config) {
    const QString code = confirmationCodeIn(config.confirmCode);
    if (code.isEmpty()) return complain(QStringLiteral("confirm needs --code with the code or the link of the mail"));
    QString error;
    const std::unique_ptr<Storage> storage = openConfiguredStore(config, &error);
    if (!storage) return complain(error);
    try {
        Storage::Transaction transaction(*storage);
        const Confirmation confirmation = storage->confirm(
            confirmationCodeHash(code), QDateTime::currentMSecsSinceEpoch() - ConfirmationSettings{}.lifetimeMs);
        transaction.commit();
        say(stdout, confirmationText(confirmation));
        return confirmation.outcome == Confirmation::Outcome::Confirmed ||
                       confirmation.outcome == Confirmation::Outcome::AlreadyConfirmed
                   ? 0
                   : 1;
    } catch (const StorageError& failure) {
        return complain(QString::fromUtf8(failure.what()));
    }
}

// Each exchange is a connection: the usual soft limit of 1024 descriptors would be reached long
// before the connection caps are.
void raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        qCWarning(lcServer).noquote() << "cannot raise the open-file limit:" << std::strerror(errno);
}

int serve(const ServerConfig& config) {
    raiseOpenFileLimit();
    ChatServer server(config);
    QString error;
    if (!server.start(&error)) return complain(error);
    if (!server.webWarning().isEmpty()) qCWarning(lcServer).noquote() << server.webWarning();
    if (!server.mailWarning().isEmpty()) qCWarning(lcServer).noquote() << server.mailWarning();

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0) return complain(QStringLiteral("socketpair failed"));
    QSocketNotifier notifier(g_signalFds[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalFds[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const ChatSettings& settings = server.service().settings();
    const auto endpoint = [](const TcpListener* listener) {
        return listener
                   ? TcpListener::peerText(listener->address()) + QLatin1Char(':') + QString::number(listener->port())
                   : QStringLiteral("off");
    };
    qCInfo(lcServer).noquote() << "chat on" << endpoint(server.chatListener()) << "- web pages on"
                               << endpoint(server.webListener()) << "- over TLS: chat on"
                               << endpoint(server.chatTlsListener()) << "- web pages on"
                               << endpoint(server.webTlsListener());
    qCInfo(lcServer).noquote() << "clients are told" << settings.publicAddress + QLatin1Char(':') + settings.publicPort
                               << "- store:" << server.storeDescription()
                               << "- serving loops:" << server.servingLoops();
    QStringList balancers;
    for (const AddressRange& range : config.limits.balancers)
        balancers.append(range.first.toString() + QLatin1Char('/') + QString::number(range.second));
    if (!balancers.isEmpty())
        qCInfo(lcServer).noquote() << "callers named by the PROXY headers of" << balancers.join(QStringLiteral(", "));
    // One line for whoever started us (scripts, tests): where we listen, ports resolved.
    QString ready = QStringLiteral("ready chat=%1").arg(endpoint(server.chatListener()));
    if (server.webListener()) ready += QStringLiteral(" web=%1").arg(endpoint(server.webListener()));
    if (server.chatTlsListener()) ready += QStringLiteral(" chat-tls=%1").arg(endpoint(server.chatTlsListener()));
    say(stdout, ready);

    // Log lines are buffered (see runServerMain) while the loop has work, and written out
    // whenever it is about to wait.
    onEachWait(&notifier);

    const int code = QCoreApplication::exec();
    qCInfo(lcServer) << "shutting down";
    server.stop();
    ::close(g_signalFds[0]);
    ::close(g_signalFds[1]);
    return code;
}

} // namespace

int runServerMain(const QStringList& arguments) {
    // A line per exchange, each a write of its own, was a fortieth of a poll's work: serving
    // writes them out together when its loop pauses, and every exit flushes what is left.
    static char logBuffer[1 << 16];
    std::setvbuf(stderr, logBuffer, _IOFBF, sizeof logBuffer);
    // Log lines carry their time and go to standard error, whatever the platform default is.
    qInstallMessageHandler(writeLogLine);
    QString error;
    const std::optional<ServerConfig> config = parseServerConfig(arguments, &error);
    if (!config) return complain(error + QStringLiteral(" (--help lists the options)"));
    setLogLevel(config->logLevel);
    try {
        switch (config->command) {
        case ServerConfig::Command::Help:
            say(stdout, usageText());
            return 0;
        case ServerConfig::Command::Version:
            say(stdout, QStringLiteral("colloqchat-server ") + QCoreApplication::applicationVersion());
            return 0;
        case ServerConfig::Command::Notice:
            return queueNotice(*config);
        case ServerConfig::Command::Move:
            return announceMove(*config);
        case ServerConfig::Command::Confirm:
            return confirmByCommand(*config);
        case ServerConfig::Command::Serve:
            return serve(*config);
        }
    } catch (const std::exception& failure) {
        return complain(QString::fromUtf8(failure.what()));
    }
    return 0;
}

} // namespace chatserver
