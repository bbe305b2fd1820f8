// Prints, for the client beside linphonec, on the same machine in the same run and under a
// virtual display: the time from process start to the main window on screen (linphonec: to its
// prompt), resident memory and processor time once idle, and resident memory after ten calls;
// then each of our figures over linphonec's beside its goal. Then the loopback call set-up
// figures of call_setup_bench.
//
// The client runs as the end-to-end harness runs it (its own start-up, remote-controlled over
// standard input), as a registered user of a local colloqchat-server, in a folder of its own.
// Its ten calls go to a linphonec that answers by itself; linphonec's ten go to the same one.
#include "bench/BenchSupport.h"
#include "bench/LoadAverage.h"
#include "bench/Smaps.h"
#include "tests/e2e/RemoteClient.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>
#include <memory>

using bench::Linphonec;
using bench::report;
using bench::waitFor;
using e2e::Client;
using e2e::Program;

namespace {

constexpr int kStarts = 5;
constexpr int kCalls = 10;
constexpr int kSettleMs = 2000; // idle time before memory is read
constexpr double kIdleGoalMiB = 70;

// Resident memory of a process in MiB, from /proc; -1 when it cannot be read.
double residentMiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

// Processor time a process has used so far in ms, all its threads together, also those that have
// ended (the client loads its call engine on a thread that is gone by the time the window shows);
// -1 when unknown.
double cpuMs(qint64 pid) {
    clockid_t clock{};
    timespec used{};
    if (pid <= 0 || ::clock_getcpuclockid(pid_t(pid), &clock) != 0 || ::clock_gettime(clock, &used) != 0) return -1;
    return double(used.tv_sec) * 1e3 + double(used.tv_nsec) / 1e6;
}

void settle(const std::function<void()>& drain, int ms = kSettleMs) {
    QElapsedTimer clock;
    clock.start();
    waitFor([&] {
        drain();
        return clock.elapsed() >= ms;
    });
}

double reportMemory(const char* what, const QList<double>& mib) {
    return report(what, mib, "MiB", "not measured");
}

// A virtual display of our own when none is given; children are shown on it.
class Display {
public:
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    bool open() {
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        if (environment.contains(QStringLiteral("DISPLAY"))) return true;
        m_xvfb.start(QStringLiteral("Xvfb"),
                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                      QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                      QStringLiteral("1280x1024x24")});
        if (!m_xvfb.waitForStarted(bench::kTimeoutMs)) return false;
        QByteArray number;
        if (!waitFor([&] {
                number += m_xvfb.readAllStandardOutput();
                return number.contains('\n');
            }))
            return false;
        environment.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(number.trimmed()));
        return true;
    }
    ~Display() {
        if (m_xvfb.state() == QProcess::NotRunning) return;
        m_xvfb.terminate();
        m_xvfb.waitForFinished(5000);
    }

private:
    QProcess m_xvfb;
};

struct Setup {
    QTemporaryDir dir;
    Display display;
    Program server{QStringLiteral("server")};
    quint16 chatPort = 0;
    QString folder;

    bool start() {
        chatPort = e2e::freeTcpPort();
        if (!dir.isValid() || chatPort == 0 || !display.open()) return false;
        const QStringList arguments = {QStringLiteral("--chat-listen"), QStringLiteral("127.0.0.1:%1").arg(chatPort),
                                       QStringLiteral("--web-listen"),  QStringLiteral("off"),
                                       QStringLiteral("--data-dir"),    dir.filePath(QStringLiteral("server")),
                                       QStringLiteral("--log-level"),   QStringLiteral("warning"),
                                       QStringLiteral("--mail-relay"),  QStringLiteral("off")};
        folder = dir.filePath(QStringLiteral("client"));
        return e2e::startServer(server, arguments, display.environment) && e2e::prepareClientFolder(folder, chatPort);
    }

    // Starts the client; its start-up time is taken from here to its "shown" line, and its
    // processor time then.
    std::unique_ptr<Client> client(double* shownMs = nullptr, double* shownCpuMs = nullptr) {
        auto started = std::make_unique<Client>(QStringLiteral("client"));
        QElapsedTimer clock;
        clock.start();
        if (!started->start(QStringLiteral(COLLOQ_BENCH_CLIENT),
                            {folder, QStringLiteral("Bench User"), QStringLiteral("bench@example.org")},
                            display.environment))
            return nullptr;
        for (std::optional<QString> line; (line = started->nextLine());) {
            if (*line != QLatin1String("shown")) continue;
            if (shownMs) *shownMs = double(clock.nsecsElapsed()) / 1e6;
            if (shownCpuMs) *shownCpuMs = cpuMs(started->pid());
            return started;
        }
        return nullptr;
    }
};

bool quit(Client& client) {
    return client.command(QStringLiteral("quit")) == QLatin1String("ok") && client.waitFinished();
}

// One call from the client to the peer of its first row: a click on the row, connect, CONNECTED,
// hang up, idle again.
bool clientCall(Client& client) {
    if (client.command(QStringLiteral("click 0")) != QLatin1String("ok") ||
        client.command(QStringLiteral("connect")) != QLatin1String("ok"))
        return false;
    if (!e2e::waitUntil([&] { return client.state(QStringLiteral("frame")).startsWith("Status: CONNECTED"); }))
        return false;
    if (client.command(QStringLiteral("terminate")) != QLatin1String("ok")) return false;
    return e2e::waitUntil([&] {
        const QString frame = client.state(QStringLiteral("frame"));
        return client.state(QStringLiteral("connected")) == "0" &&
               (frame == "Status: DISCONNECTED" || frame == "Status: IDLE");
    });
}

struct Figures {
    QList<double> startMs, startCpuMs, idleMiB, idleCpu, callsMiB;
    int calls = 0;
    double lastIdleMiB = 0;                      // of the start that made the calls
    double firstCallMiB = 0;                     // after its first call: what follows is growth per call, not warm-up
    QList<bench::MappingMemory> idleComposition; // of the last start, once idle
    QStringList windowSize;                      // the main window's width and height

    // Runs up to kCalls calls with `call`, then waits out the idle time and takes the memory.
    void callRound(qint64 pid, const std::function<bool()>& call, const std::function<void()>& drain) {
        while (calls < kCalls && call()) {
            if (++calls == 1) {
                settle(drain, kSettleMs / 2);
                firstCallMiB = residentMiB(pid);
            }
        }
        settle(drain);
        callsMiB.append(residentMiB(pid));
    }

    // Waits out the idle time of `pid`, then takes its memory, and its processor time per second
    // over the second half of the wait (the first still has the start's own work).
    void idle(qint64 pid, const std::function<void()>& drain) {
        settle(drain, kSettleMs / 2);
        const double before = cpuMs(pid);
        settle(drain, kSettleMs / 2);
        const double after = cpuMs(pid);
        if (before >= 0 && after >= before) idleCpu.append((after - before) * 2000.0 / kSettleMs);
        idleMiB.append(lastIdleMiB = residentMiB(pid));
        idleComposition = bench::memoryByMapping(pid);
    }
};

Figures measureClient(Setup& setup, const QByteArray& callee) {
    Figures figures;
    // The first start registers the user (and leaves the settings beside the program); the timed
    // starts are those of a registered user, the way the program starts every day.
    if (auto first = setup.client()) {
        e2e::waitUntil([&] { return first->command(QStringLiteral("id")).size() > 3; });
        quit(*first);
    }
    for (int run = 0; run < kStarts; ++run) {
        double ms = 0;
        double cpu = 0;
        auto client = setup.client(&ms, &cpu);
        if (!client) break;
        figures.startMs.append(ms);
        figures.startCpuMs.append(cpu);
        figures.idle(client->pid(), [&] { client->errors(); });
        figures.windowSize = client->command(QStringLiteral("size")).split(QLatin1Char(' ')).mid(1);
        if (run == kStarts - 1 && !callee.isEmpty()) {
            client->command(QStringLiteral("row ") + QString::fromLatin1(callee));
            figures.callRound(
                client->pid(), [&] { return clientCall(*client); }, [&] { client->errors(); });
        }
        quit(*client);
    }
    return figures;
}

// The floor: an empty window of the main window's size with the call engine started.
Figures measureFloor(Setup& setup, const QStringList& windowSize) {
    Figures figures;
    for (int run = 0; run < kStarts && windowSize.size() == 2; ++run) {
        e2e::Program floor(QStringLiteral("floor"));
        if (!floor.start(QStringLiteral(COLLOQ_ENGINE_FLOOR), windowSize, setup.display.environment) ||
            floor.nextLine() != QStringLiteral("ready"))
            break;
        figures.idle(floor.pid(), [&] { floor.errors(); });
    }
    return figures;
}

Figures measureLinphonec(const QProcessEnvironment& environment, Linphonec& callee) {
    Figures figures;
    for (int run = 0; run < kStarts; ++run) {
        QElapsedTimer clock;
        clock.start();
        Linphonec caller(false, 5290, environment);
        if (!waitFor([&] { return caller.ready(); })) break;
        figures.startMs.append(double(clock.nsecsElapsed()) / 1e6);
        figures.startCpuMs.append(cpuMs(caller.process.processId()));
        figures.idle(caller.process.processId(), [&] { caller.output(); });
        if (run == kStarts - 1) {
            const QByteArray address = "sip:127.0.0.1:" + QByteArray::number(callee.port);
            figures.callRound(
                caller.process.processId(), [&] { return bench::callOnce(caller, address); }, [&] { caller.output(); });
        }
    }
    return figures;
}

struct Medians {
    double startMs = 0, startCpuMs = 0, idleMiB = 0, idleCpu = 0, callsMiB = 0, growthMiB = 0;
};

Medians print(const char* who, const char* shown, const Figures& figures) {
    std::printf("%s\n", who);
    Medians medians;
    medians.startMs = report(shown, figures.startMs, "ms", "did not start");
    // Less hostage to other load on the machine than the time itself.
    medians.startCpuMs = report("  processor time used by then", figures.startCpuMs, "ms", "not measured");
    medians.idleMiB = reportMemory("  resident memory once idle", figures.idleMiB);
    medians.idleCpu = report("  processor time once idle, per second", figures.idleCpu, "ms", "not measured");
    const QByteArray afterCalls = "  resident memory after " + QByteArray::number(figures.calls) + " calls";
    medians.callsMiB = reportMemory(afterCalls.constData(), figures.callsMiB);
    if (medians.callsMiB > 0 && figures.lastIdleMiB > 0) {
        medians.growthMiB = medians.callsMiB - figures.lastIdleMiB;
        std::printf("%-58s %7.1f MiB\n", "  growth over those calls", medians.growthMiB);
        if (figures.firstCallMiB > 0)
            std::printf("%-58s %7.1f MiB\n", "  of which after the first call",
                        medians.callsMiB - figures.firstCallMiB);
    }
    return medians;
}

void printGoals(const Medians& ours, const Medians& theirs) {
    std::printf("ColloqChat / linphonec\n");
    bench::ratio("  start to main window / to its prompt", ours.startMs, theirs.startMs, 1.5);
    bench::ratio("  processor time by then (same goal)", ours.startCpuMs, theirs.startCpuMs, 1.5);
    bench::ratio("  resident memory once idle", ours.idleMiB, theirs.idleMiB, 1.0);
    bench::ratio("  resident memory after the calls", ours.callsMiB, theirs.callsMiB, 1.0);
    // No goal against linphonec here: ours must only not rise from one version to the next.
    std::printf("%-58s %7.2f ms/s  linphonec %.2f ms/s\n", "  processor time once idle", ours.idleCpu, theirs.idleCpu);
    std::printf("%-58s %7.1f MiB  goal <= 2.0 MiB  %s\n", "  ColloqChat's growth over the calls", ours.growthMiB,
                ours.growthMiB <= 2.0 ? "met" : "NOT met");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::printf("Client start-up and memory, %d starts each, load average %s\n", kStarts,
                bench::loadAverage().constData());
    Setup setup;
    if (!setup.start()) {
        std::printf("cannot start the chat server or a virtual display (Xvfb)\n");
        return 1;
    }
    const bool haveLinphonec = !QStandardPaths::findExecutable(QStringLiteral("linphonec")).isEmpty();
    std::unique_ptr<Linphonec> callee;
    if (haveLinphonec) {
        callee = std::make_unique<Linphonec>(true, 5190, setup.display.environment);
        if (!waitFor([&] { return callee->ready(); })) callee.reset();
    }
    const QByteArray calleeAddress = callee ? "127.0.0.1:" + QByteArray::number(callee->port) : QByteArray();

    const Figures clientFigures = measureClient(setup, calleeAddress);
    const Medians ours = print("ColloqChat", "  process start to main window shown", clientFigures);
    const Figures floorFigures = measureFloor(setup, clientFigures.windowSize);
    std::printf("%-58s %7.1f MiB  goal <= %.0f MiB  %s\n", "  ColloqChat's resident memory once idle", ours.idleMiB,
                kIdleGoalMiB, ours.idleMiB > 0 && ours.idleMiB <= kIdleGoalMiB ? "met" : "NOT met");
    std::printf("An empty window of the same size with the call engine started\n");
    const double floorMiB = reportMemory("  resident memory once idle", floorFigures.idleMiB);
    if (floorMiB > 0 && ours.idleMiB > 0)
        std::printf("%-58s %7.1f MiB\n", "  ColloqChat's main window and own work above it", ours.idleMiB - floorMiB);
    Figures linphonecFigures;
    if (callee) {
        linphonecFigures = measureLinphonec(setup.display.environment, *callee);
        printGoals(ours, print("linphonec", "  process start to its prompt", linphonecFigures));
    } else
        std::printf("linphonec: not installed (Debian package linphone-cli)\n");
    callee.reset();
    std::printf("\n");
    bench::printMemoryComposition("ColloqChat once idle", clientFigures.idleComposition);
    if (!floorFigures.idleComposition.isEmpty())
        bench::printMemoryComposition("The empty window with the engine once idle", floorFigures.idleComposition, 0);
    if (!linphonecFigures.idleComposition.isEmpty())
        bench::printMemoryComposition("linphonec once idle", linphonecFigures.idleComposition);
    std::fflush(stdout);

    // Call set-up on loopback, as call_setup_bench measures it.
    QProcess calls;
    calls.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    calls.start(QStringLiteral(COLLOQ_CALL_SETUP_BENCH), QStringList());
    calls.waitForFinished(-1);
    return 0;
}
