// Benchmark of colloqchat-server: poll exchanges per second with N clients of 20 contacts each,
// latency at a fixed rate, answered registrations per second (and that none is lost), oversized
// and idle connections closed without harm to the others, and beside it all the rate of nginx
// answering a small static page with one request per connection: the ceiling for exchanges of
// one request per connection on this machine.
//
//   chatserver_bench [--users N] [--clients N] [--seconds S] [--rate R] [--store ADDRESS]
//                    [--server PROGRAM] [--mail-relay PROGRAM] [--nginx PROGRAM] [--overload SECONDS]
//                    [--log-level LEVEL] [--serving-loops N]
//
// The server serves with N loops (the number of cores by default) and nginx with as many workers.
//
// With --overload the run is instead: capacity (polls as fast as answered), then that many
// seconds of polls offered at twice the capacity, clients giving up after 5 s, then how soon a
// single poll is answered fast again once the load stops, with the server's memory throughout.
#include "ChatBenchFill.h"
#include "ChatBenchServer.h"
#include "LoadGen.h"
#include "chatserver/store/Storage.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using bench::cpuMicros;
using bench::Exchange;
using bench::loadAverage;
using bench::Outcome;
using bench::rssMiB;
using bench::startAndWait;
using bench::Usage;
using bench::usage;

struct Options {
    int users = 400;
    int contacts = 20;
    int clients = 48;
    double seconds = 5;
    double rate = 2500;
    QString store;
    QString server;
    QString mailRelay; // the relay program the server mails its confirmation links through
    QString nginx = QStringLiteral("/usr/sbin/nginx");
    double overloadSeconds = 0;
    QString logLevel = QStringLiteral("info"); // the server's default: a line per exchange
    int loops = QThread::idealThreadCount();   // the server's serving loops, and nginx's workers
};

const char kSep = '\xD4';
const uint32_t kServerAddress = bench::ipv4("127.0.0.31");
const uint32_t kNginxAddress = bench::ipv4("127.0.0.32");

std::string wireRequest(const QStringList& fields, const QString& address) {
    return wire::toCp1252(wire::scrambled(fields.join(wire::kSep) + wire::kSep + address)).toStdString();
}
QString fromWire(const std::string& bytes) {
    return wire::fromCp1252(QByteArray::fromStdString(bytes));
}
std::string replyCode(const std::string& reply) {
    return reply.substr(0, reply.find(kSep));
}

struct Tally {
    long long ok = 0, errors = 0;
    std::map<std::string, long long> errorKinds;
    std::vector<double> latencies;
    void add(const Outcome& outcome, const std::string& expectedCode) {
        if (outcome.ok && replyCode(outcome.reply) == expectedCode) {
            ++ok;
            latencies.push_back(outcome.latencyUs);
        } else {
            ++errors;
            ++errorKinds[outcome.ok ? "reply " + replyCode(outcome.reply) : "errno " + std::to_string(outcome.error)];
        }
    }
    std::string describeErrors() const {
        std::string text;
        for (const auto& [kind, count] : errorKinds)
            text += " " + kind + " x" + std::to_string(count);
        return text;
    }
};

// printf-style, so the compiler checks every figure against its format.
[[gnu::format(printf, 1, 2)]] void line(const char* format, ...) {
    va_list values;
    va_start(values, format);
    std::vprintf(format, values);
    va_end(values);
    std::printf("\n");
    std::fflush(stdout);
}

// Wall time of a run, from its first exchange to the end of its last one.
struct Stopwatch {
    bench::Clock::time_point start = bench::Clock::now();
    double seconds() const { return std::chrono::duration<double>(bench::Clock::now() - start).count(); }
};

// What one run came to, for the goals at the end.
struct Figures {
    double rate = 0;
    double p99Ms = 0;
    double cpuUs = -1;       // per exchange; -1 when not measured
    double waits = 0;        // per exchange (see bench::Usage)
    double serverP99Ms = -1; // from accept to answer, by the server's own clock; -1 when not known
};

Figures report(const char* what, Tally& tally, double seconds, std::optional<Usage> used = std::nullopt) {
    const double exchanges = double(std::max<qint64>(tally.ok, 1));
    const Figures figures{double(tally.ok) / seconds, bench::percentile(tally.latencies, 99) / 1000,
                          used && tally.ok > 0 ? used->cpuUs / exchanges : -1, used ? used->waits / exchanges : 0};
    line("%-44s %9.0f /s  p50 %7.2f ms  p99 %7.2f ms  errors %lld%s", what, figures.rate,
         bench::percentile(tally.latencies, 50) / 1000, figures.p99Ms, tally.errors, tally.describeErrors().c_str());
    if (figures.cpuUs >= 0)
        line("  server CPU %.1f us per exchange (%.0f /s on one whole core), %.2f waits for work per exchange",
             figures.cpuUs, 1e6 / figures.cpuUs, figures.waits);
    return figures;
}

// Each figure the server is held to, beside nginx's in the same run and the goal.
void goals(const Figures& polls, const Figures& paced, const std::optional<Figures>& nginx, double pacedRate) {
    const auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    line("goals (load average at the end: %s)", loadAverage().constData());
    if (!nginx) {
        line("  nginx not measured: polls %.0f /s, CPU per poll %.1f us, p99 at %.0f/s %.2f ms", polls.rate,
             polls.cpuUs, pacedRate, paced.p99Ms);
        return;
    }
    line("  polls as fast as answered %.0f /s, nginx %.0f /s (%.2f of it), goal >= nginx: %s", polls.rate, nginx->rate,
         polls.rate / nginx->rate, verdict(polls.rate >= nginx->rate));
    line("  CPU per poll %.1f us (%.2f waits for work each), nginx %.1f us (%.2f) (%.2f of it), goal <= nginx: %s",
         polls.cpuUs, polls.waits, nginx->cpuUs, nginx->waits, polls.cpuUs / nginx->cpuUs,
         verdict(polls.cpuUs <= nginx->cpuUs));
    line("  p99 at %.0f polls/s %.2f ms (server's own clock %.2f ms), nginx %.2f ms at the same rate, goal <= 1 ms: "
         "%s",
         pacedRate, paced.p99Ms, paced.serverP99Ms, nginx->p99Ms, verdict(paced.p99Ms <= 1));
}

bench::Clock::time_point after(double seconds) {
    return bench::Clock::now() +
           std::chrono::duration_cast<bench::Clock::duration>(std::chrono::duration<double>(seconds));
}

std::optional<Options> parseOptions(const QStringList& args) {
    Options options;
    options.server = QCoreApplication::applicationDirPath() + QStringLiteral("/../chatserver/colloqchat-server");
    options.mailRelay =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/mailsink/colloqchat-mailsink");
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        const QString& key = args[i];
        const QString& value = args[i + 1];
        if (key == QLatin1String("--users"))
            options.users = value.toInt();
        else if (key == QLatin1String("--clients"))
            options.clients = value.toInt();
        else if (key == QLatin1String("--seconds"))
            options.seconds = value.toDouble();
        else if (key == QLatin1String("--rate"))
            options.rate = value.toDouble();
        else if (key == QLatin1String("--store"))
            options.store = value;
        else if (key == QLatin1String("--server"))
            options.server = value;
        else if (key == QLatin1String("--mail-relay"))
            options.mailRelay = value;
        else if (key == QLatin1String("--nginx"))
            options.nginx = value;
        else if (key == QLatin1String("--overload"))
            options.overloadSeconds = value.toDouble();
        else if (key == QLatin1String("--log-level"))
            options.logLevel = value;
        else if (key == QLatin1String("--serving-loops"))
            options.loops = value.toInt();
        else
            return std::nullopt;
    }
    if (options.users <= options.contacts || options.clients < 1 || options.seconds <= 0 || options.loops < 1)
        return std::nullopt;
    return options;
}

// The --overload run: capacity, twice that offered, then recovery; memory throughout.
void overloadRun(bench::LoadGen& chat, qint64 pid, const std::function<bool(Exchange&)>& pollExchange,
                 const Options& options) {
    Tally capacity;
    Stopwatch watch;
    chat.closedLoop(
        options.clients, pollExchange, [&](const Outcome& o) { capacity.add(o, "1"); }, after(options.seconds));
    const double capacityRate = double(capacity.ok) / watch.seconds();
    report("capacity: polls as fast as answered", capacity, watch.seconds());

    const double before = rssMiB(pid);
    std::atomic<bool> sampling{true};
    double peak = before;
    std::thread sampler([&] {
        while (sampling) {
            peak = std::max(peak, rssMiB(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    Tally overload;
    bench::LoadGen::OpenLimits limits;
    limits.maxInFlight = 6000;
    limits.timeoutSeconds = 5;
    limits.drain = false;
    const double offered = 2 * capacityRate;
    watch = Stopwatch();
    chat.openLoop(
        offered, options.overloadSeconds, pollExchange, [&](const Outcome& o) { overload.add(o, "1"); }, limits);
    const double overloadSeconds = watch.seconds();
    const double during = rssMiB(pid);
    const int abandoned = chat.abandon();
    const Stopwatch sinceStop;
    char title[96];
    std::snprintf(title, sizeof title, "overload: %.0f/s offered for %.0f s", offered, options.overloadSeconds);
    report(title, overload, overloadSeconds);
    const long long offeredCount = overload.ok + overload.errors + abandoned;
    line("  served %.0f%% of capacity, %.0f%% of the polls offered (%d still waiting at the end, abandoned)",
         100.0 * double(overload.ok) / overloadSeconds / capacityRate,
         100.0 * double(overload.ok) / double(std::max(1LL, offeredCount)), abandoned);

    // Once the load stops: single polls, one after the other, until one is answered fast.
    int probes = 0;
    double fastAfter = -1;
    double lastLatencyMs = 0;
    while (sinceStop.seconds() < 60 && fastAfter < 0) {
        int once = 0;
        chat.closedLoop(
            1, [&](Exchange& e) { return once++ == 0 && pollExchange(e); },
            [&](const Outcome& o) {
                ++probes;
                lastLatencyMs = o.latencyUs / 1000;
                if (o.ok && replyCode(o.reply) == "1" && lastLatencyMs < 10) fastAfter = sinceStop.seconds();
            },
            after(10));
    }
    line("  after the load stopped: first answer under 10 ms after %.2f s (%d probes, last %.2f ms)", fastAfter, probes,
         lastLatencyMs);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    sampling = false;
    sampler.join();
    line("  server memory (RSS): %.1f MiB before, %.1f MiB at the end of the load, %.1f MiB peak, %.1f MiB 2 s after",
         before, during, peak, rssMiB(pid));
}

quint16 freePort(const QHostAddress& address) {
    QTcpServer probe;
    probe.listen(address, 0);
    return probe.serverPort();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<Options> parsed = parseOptions(QCoreApplication::arguments());
    if (!parsed) {
        std::fprintf(
            stderr,
            "usage: chatserver_bench [--users N] [--clients N] [--seconds S] [--rate R] "
            "[--store ADDRESS] [--server PROGRAM] [--mail-relay PROGRAM] [--nginx PROGRAM] [--overload SECONDS] "
            "[--log-level LEVEL]\n");
        return 2;
    }
    const Options& options = *parsed;
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                          QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const QString store = options.store.isEmpty()
                              ? QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("bench.sqlite"))
                              : options.store;

    line("colloqchat-server benchmark: %d users with %d contacts each, %d clients in flight, %.0f s per run, %d cores, "
         "%d serving loops (nginx: as many workers)",
         options.users, options.contacts, options.clients, options.seconds, QThread::idealThreadCount(), options.loops);
    line("store: %s, server log level %s", qPrintable(store), qPrintable(options.logLevel));
    line("load average at the start: %s", loadAverage().constData());
    // Thousands of connections at once, on both sides (the server inherits this).
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    const std::optional<bench::Fill> fill = bench::fillStore(store, options.users, options.contacts);
    if (!fill) return 1;
    line("set-up, written straight into the store: %d users in %.1f s, %lld contacts in %.1f s", options.users,
         fill->usersSeconds, fill->contacts, fill->contactsSeconds);
    const std::vector<QString>& ids = fill->ids;

    // Each registration mails its confirmation link, to a relay that keeps every mail (with
    // "--mail-relay off", addresses are the accounts' at once and nothing is mailed).
    const bool mailing = options.mailRelay != QLatin1String("off");
    QProcess mailRelay;
    QRegularExpressionMatch relayMatch;
    const QString mailbox = dir.filePath(QStringLiteral("inbox"));
    if (mailing && !startAndWait(mailRelay, options.mailRelay, {"--listen", "127.0.0.33:0", "--mailbox", mailbox},
                                 QRegularExpression(QStringLiteral("ready [0-9.]+:(\\d+)")), &relayMatch)) {
        line("the mail relay %s did not start", qPrintable(options.mailRelay));
        return 1;
    }

    QProcess server;
    // Its log goes where a service's goes, into a file, at the level asked for.
    server.setStandardErrorFile(dir.filePath(QStringLiteral("server.log")));
    bench::ServerLog serverLog(dir.filePath(QStringLiteral("server.log")));
    QRegularExpressionMatch match;
    QStringList serverArgs = {
        "--chat-listen",   "127.0.0.31:0",
        "--web-listen",    "off",
        "--store",         store,
        "--log-level",     options.logLevel,
        "--serving-loops", QString::number(options.loops),
        "--mail-from",     "colloqchat@bench.example",
        "--mail-relay",    mailing ? "127.0.0.33:" + relayMatch.captured(1) : QStringLiteral("off")};
    // A few hundred users behind each loopback address, polling far more often than clients do:
    // the limits per address, which are there for floods from one address, are lifted.
    serverArgs << "--registration-rate"
               << "off"
               << "--registration-rate-per-network"
               << "off"
               << "--registration-ceiling"
               << "off"
               << "--lookup-rate"
               << "off"
               << "--connection-rate"
               << "off"
               << "--connection-rate-per-network"
               << "off";
    // The overload run keeps the server's own connection caps: they are part of what it tests.
    if (options.overloadSeconds <= 0)
        serverArgs << "--max-connections-per-address"
                   << "0"
                   << "--max-connections-per-network"
                   << "0"
                   << "--max-connections"
                   << "0";
    if (!startAndWait(server, options.server, serverArgs, QRegularExpression(QStringLiteral("chat=[0-9.]+:(\\d+)")),
                      &match))
        return 1;
    bench::LoadGen chat(kServerAddress, quint16(match.captured(1).toUInt()));

    const auto pollOf = [&](int user, Exchange& exchange) {
        exchange.source = bench::userSource(user);
        exchange.request =
            wireRequest({"1", ids[std::size_t(user)], bench::userEmail(user)}, bench::userCallAddress(user));
        return true;
    };
    std::mt19937 random(7);
    auto pollExchange = [&](Exchange& exchange) { return pollOf(int(random() % uint32_t(options.users)), exchange); };

    // A pass of log-ins (a user whose last poll is older than the presence time-out comes back on
    // line, which changes the lists that hold it), then one per loop: each loop keeps lists of
    // its own, and the kernel picks the loop.
    const Stopwatch warm;
    long long unanswered = 0;
    const long long warmed =
        bench::pollEveryUser(chat, options.clients, options.users, options.loops + 1, 180, pollOf, &unanswered);
    line("  warm-up: %lld polls in %.1f s (each user %d times, %lld not answered)", warmed, warm.seconds(),
         options.loops + 1, unanswered);

    const qint64 serverPid = server.processId();
    if (options.overloadSeconds > 0) {
        overloadRun(chat, serverPid, pollExchange, options);
        server.terminate();
        server.waitForFinished(30000);
        return 0;
    }

    // ---- Polls as fast as they are answered -----------------------------------------------------
    Tally polls;
    Usage used = usage(serverPid);
    Stopwatch watch;
    chat.closedLoop(
        options.clients, pollExchange, [&](const Outcome& o) { polls.add(o, "1"); }, after(options.seconds));
    const Figures pollFigures =
        report("polls, as fast as answered (target 5000/s)", polls, watch.seconds(), usage(serverPid) - used);

    // ---- Polls at a fixed rate --------------------------------------------------------------------
    // Once the server has done what the run at full speed left it (last-seen times, checkpoints):
    // the tail at a steady rate, not the catch-up after a burst.
    Stopwatch settling;
    for (double before = cpuMicros(serverPid); settling.seconds() < 30;) {
        QThread::msleep(500);
        const double now = cpuMicros(serverPid);
        if (now - before < 25000) break; // under 5 % of a core
        before = now;
    }
    line("  server idle again %.1f s after the run at full speed", settling.seconds());
    Tally paced;
    serverLog.mark();
    used = usage(serverPid);
    watch = Stopwatch();
    std::vector<Outcome> pacedOutcomes;
    chat.openLoop(options.rate, options.seconds, pollExchange, [&](const Outcome& o) {
        paced.add(o, "1");
        pacedOutcomes.push_back(o);
    });
    char pacedTitle[64];
    std::snprintf(pacedTitle, sizeof pacedTitle, "polls at %.0f/s (target p99 < 10 ms)", options.rate);
    Figures pacedFigures = report(pacedTitle, paced, watch.seconds(), usage(serverPid) - used);
    const bench::SlowSummary slow = bench::summarizeSlow(pacedOutcomes, 1);
    line("  polls over 1 ms: %zu, in %d bursts; their median times to connect %.2f ms, then to send %.2f ms, then to "
         "the answer's first byte %.2f ms",
         slow.count, slow.bursts, slow.connectMs, slow.sendMs, slow.answerMs);
    // The server writes its log while its loops wait; a moment later every paced poll is in it.
    QThread::msleep(300);
    std::vector<double> serverTimes = serverLog.pollTimesSinceMark();
    if (!serverTimes.empty()) {
        pacedFigures.serverP99Ms = bench::percentile(serverTimes, 99) / 1000;
        line("  by the server's clock, accept to answer: %zu polls, p50 %.3f ms, p99 %.3f ms, p99.9 %.3f ms",
             serverTimes.size(), bench::percentile(serverTimes, 50) / 1000, pacedFigures.serverP99Ms,
             bench::percentile(serverTimes, 99.9) / 1000);
    }

    // ---- Registrations, and none lost -------------------------------------------------------------
    Tally registrations;
    used = usage(serverPid);
    watch = Stopwatch();
    QHash<QString, qint64> registered; // e-mail -> ID
    int newcomer = 0;
    chat.closedLoop(
        options.clients,
        [&](Exchange& exchange) {
            exchange.id = newcomer;
            exchange.source = bench::ipv4("127.2.0.1") + uint32_t(newcomer % 250);
            exchange.request =
                wireRequest({"3", "bench", "pc", QStringLiteral("new%1@bench.example").arg(newcomer), "New"},
                            QStringLiteral("127.9.0.2:5060"));
            ++newcomer;
            return true;
        },
        [&](const Outcome& outcome) {
            registrations.add(outcome, "3");
            if (outcome.ok && replyCode(outcome.reply) == "3")
                registered.insert(fromWire(outcome.reply).section(wire::kSep, 4, 4),
                                  fromWire(outcome.reply).section(wire::kSep, 3, 3).toLongLong());
        },
        after(options.seconds));
    report("registrations, each mailing its link (target 1000/s)", registrations, watch.seconds(),
           usage(serverPid) - used);

    // ---- Oversized requests and idle connections beside a poll load ------------------------------
    std::vector<Outcome> idleClosed, bigClosed;
    std::thread holders([&] {
        bench::LoadGen holder(kServerAddress, quint16(match.captured(1).toUInt()));
        std::thread big([&] {
            bench::LoadGen bigHolder(kServerAddress, quint16(match.captured(1).toUInt()));
            bigClosed = bigHolder.holdConnections(
                5, bench::ipv4("127.3.0.2"), wireRequest({"3", "u", "pc", "big@bench.example", QString(9000, 'x')}, ""),
                10);
        });
        idleClosed = holder.holdConnections(20, bench::ipv4("127.3.0.1"), std::string(), 10);
        big.join();
    });
    Tally beside;
    watch = Stopwatch();
    chat.closedLoop(
        options.clients, pollExchange, [&](const Outcome& o) { beside.add(o, "1"); },
        after(std::max(6.0, options.seconds)));
    holders.join();
    report("polls beside 20 idle and 5 oversized", beside, watch.seconds());
    std::vector<double> idleTimes, bigTimes;
    for (const Outcome& o : idleClosed)
        idleTimes.push_back(o.latencyUs);
    for (const Outcome& o : bigClosed)
        bigTimes.push_back(o.latencyUs);
    line("  idle connections closed by the server: %zu of 20, after %.2f s (median)", idleClosed.size(),
         bench::percentile(idleTimes, 50) / 1e6);
    line("  requests over 8 KiB closed: %zu of 5, after %.1f ms (median), %zu answered", bigClosed.size(),
         bench::percentile(bigTimes, 50) / 1000,
         std::size_t(
             std::count_if(bigClosed.begin(), bigClosed.end(), [](const Outcome& o) { return !o.reply.empty(); })));

    // The mails go out beside the rest of the load; the relay has them all a little later.
    const auto mails = [&] {
        QFile file(mailbox);
        return file.open(QIODevice::ReadOnly) ? file.readAll().count("\nFrom ") + 1 : 0;
    };
    Stopwatch mailed;
    while (mailing && mails() < registered.size() && mailed.seconds() < 30)
        QThread::msleep(200);
    if (mailing)
        line("  confirmation mails the relay has: %lld of %lld, %.1f s after the polls beside them ended",
             static_cast<long long>(mails()), static_cast<long long>(registered.size()), mailed.seconds());
    // Most of it is what the loops keep in memory for the users who polled: their contact lists and
    // the contacts' records.
    line("  server resident memory at the end: %.0f MiB", rssMiB(server.processId()));
    server.terminate();
    server.waitForFinished(30000);
    mailRelay.terminate();
    mailRelay.waitForFinished(30000);
    {
        QString error;
        const auto storage = chatserver::openStorage(*chatserver::StoreLocation::parse(store, &error));
        int lost = 0;
        for (auto it = registered.cbegin(); it != registered.cend(); ++it)
            if ((mailing ? storage->pendingEmail(it.value())
                         : storage->findUser(it.value()).value_or(chatserver::UserRecord{}).email) != it.key())
                ++lost;
        line("  answered registrations missing from the store after the run: %d of %lld", lost,
             static_cast<long long>(registered.size()));
    }

    // ---- The ceiling: nginx, a small static page, one request per connection -----------------------
    if (!QFile::exists(options.nginx)) {
        line("nginx: %s not found, no ceiling measured", qPrintable(options.nginx));
        goals(pollFigures, pacedFigures, std::nullopt, options.rate);
        return 0;
    }
    QDir(dir.path()).mkpath(QStringLiteral("www"));
    QDir(dir.path()).mkpath(QStringLiteral("logs"));
    QFile page(dir.filePath(QStringLiteral("www/index.html")));
    page.open(QIODevice::WriteOnly);
    page.write("StartLookWANIP = 127.0.0.1 EndLookWANIP\n");
    page.close();
    const quint16 nginxPort = freePort(QHostAddress(QStringLiteral("127.0.0.32")));
    QFile config(dir.filePath(QStringLiteral("nginx.conf")));
    config.open(QIODevice::WriteOnly);
    // nginx logs each request when the server does (a line per exchange at info and debug).
    const bool perRequestLog = options.logLevel == QLatin1String("info") || options.logLevel == QLatin1String("debug");
    config.write(QStringLiteral("worker_processes %4;\ndaemon off;\nmaster_process on;\npid %1/nginx.pid;\n"
                                "error_log %1/logs/error.log;\nevents { worker_connections 4096; }\n"
                                "http {\n access_log %3;\n keepalive_timeout 0;\n"
                                " client_body_temp_path %1/body; proxy_temp_path %1/proxy; fastcgi_temp_path %1/fcgi;\n"
                                " uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
                                " server { listen 127.0.0.32:%2; root %1/www; }\n}\n")
                     .arg(dir.path())
                     .arg(nginxPort)
                     .arg(perRequestLog ? dir.filePath(QStringLiteral("logs/access.log")) : QStringLiteral("off"))
                     .arg(options.loops)
                     .toUtf8());
    config.close();
    QProcess nginx;
    nginx.start(options.nginx,
                {"-p", dir.path(), "-c", config.fileName(), "-e", dir.filePath(QStringLiteral("logs/error.log"))});
    if (!nginx.waitForStarted(10000)) {
        line("nginx did not start");
        goals(pollFigures, pacedFigures, std::nullopt, options.rate);
        return 0;
    }
    bench::LoadGen web(kNginxAddress, nginxPort);
    // Wait until it answers.
    for (int i = 0; i < 100; ++i) {
        bool answered = false;
        int once = 0;
        web.closedLoop(
            1,
            [&](Exchange& e) {
                if (once++) return false;
                e.httpReply = true;
                e.request = "GET /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
                return true;
            },
            [&](const Outcome& o) { answered = o.ok; }, after(2));
        if (answered) break;
        QThread::msleep(50);
    }
    Tally ceiling;
    used = usage(nginx.processId(), true);
    watch = Stopwatch();
    int source = 0;
    auto pageExchange = [&](Exchange& exchange) {
        exchange.httpReply = true;
        exchange.source = bench::ipv4("127.4.0.1") + uint32_t(source++ % 250);
        exchange.request = "GET /index.html HTTP/1.1\r\nHost: 127.0.0.32\r\nConnection: close\r\n\r\n";
        return true;
    };
    auto pageDone = [](Tally& tally) {
        return [&tally](const Outcome& o) {
            Outcome copy = o;
            copy.reply = o.ok && o.reply.rfind("HTTP/1.1 200", 0) == 0 ? "200" : "bad";
            tally.add(copy, "200");
        };
    };
    web.closedLoop(options.clients, pageExchange, pageDone(ceiling), after(options.seconds));
    Figures nginxFigures = report("nginx, static page, one request per connection", ceiling, watch.seconds(),
                                  usage(nginx.processId(), true) - used);
    // The same paced load as the polls': the machine's own latency floor at that rate.
    Tally pacedPages;
    watch = Stopwatch();
    web.openLoop(options.rate, options.seconds, pageExchange, pageDone(pacedPages));
    std::snprintf(pacedTitle, sizeof pacedTitle, "nginx, static page at %.0f/s", options.rate);
    nginxFigures.p99Ms = report(pacedTitle, pacedPages, watch.seconds()).p99Ms;
    nginx.terminate();
    nginx.waitForFinished(10000);
    goals(pollFigures, pacedFigures, nginxFigures, options.rate);
    return 0;
}
