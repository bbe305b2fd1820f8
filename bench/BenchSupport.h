#pragma once
// Pieces the client benchmarks share: the count argument, a program folder of their own, waiting
// with the event loop running, a summary line of timings, and a call placed by linphonec.
#include "bench/ProcStatus.h"
#include "call/rtc/NetworkAddresses.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "tests/support/Linphonec.h"
#include "tests/support/WaitFor.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace bench {

constexpr int kTimeoutMs = 30000;

// This process's resident memory in kB (VmRSS), -1 when it cannot be read.
inline long residentKb() {
    return long(statusNumber(QStringLiteral("/proc/self/status"), "VmRSS:"));
}

// The one optional argument of a bench: how many of something to run (`fallback` without it).
// Prints the usage and gives 0 when it is no positive number.
inline int countArgument(int argc, char** argv, int fallback, const char* usage) {
    const int count = argc > 1 ? std::atoi(argv[1]) : fallback;
    if (count <= 0) std::fprintf(stderr, "usage: %s\n", usage);
    return count;
}

// The client's program folder for a bench run: a temporary folder with its logs folder, and the
// shared state as at program start.
struct ClientFolder {
    QTemporaryDir folder;
    ClientFolder() {
        vb::setAppPathForTesting(folder.path());
        QDir(folder.path()).mkdir(QStringLiteral("logs"));
        basMain::resetGlobals();
    }
    ~ClientFolder() { vb::setAppPathForTesting({}); }
    ClientFolder(const ClientFolder&) = delete;
    ClientFolder& operator=(const ClientFolder&) = delete;
    QString path() const { return folder.path(); }
};

// Waits on `done` with the event loop running, for at most `timeoutMs`.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = kTimeoutMs) {
    return testsupport::waitFor(done, timeoutMs);
}

// One line: median, min and max of `values` in `unit`, or `none` when there are none. Gives the
// median (0 without values).
inline double report(const char* what, QList<double> values, const char* unit = "ms",
                     const char* none = "no call connected") {
    if (values.isEmpty()) {
        std::printf("%-58s %s\n", what, none);
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double median = values[values.size() / 2];
    std::printf("%-58s median %7.1f %s  min %7.1f %s  max %7.1f %s  (%lld)\n", what, median, unit, values.first(), unit,
                values.last(), unit, static_cast<long long>(values.size()));
    return median;
}

// One line: our figure over the peer's beside the goal for that ratio (lower is better).
inline void ratio(const char* what, double ours, double theirs, double goal) {
    if (ours <= 0 || theirs <= 0) {
        std::printf("%-58s not measured\n", what);
        return;
    }
    const double value = ours / theirs;
    std::printf("%-58s ratio %5.2f  goal <= %4.2f  %s\n", what, value, goal, value <= goal ? "met" : "NOT met");
}

using Linphonec = testsupport::Linphonec;

// Has `linphonec` call `address` and hang up once connected; false when the call does not connect
// or end. `connectMs` gets the time from the command to "connected".
inline bool callOnce(Linphonec& linphonec, const QByteArray& address, double* connectMs = nullptr) {
    const auto count = [&](const char* word) { return linphonec.output().count(QLatin1String(word)); };
    const qsizetype connectedBefore = count("connected");
    const qsizetype endedBefore = count("ended");
    QElapsedTimer clock;
    clock.start();
    linphonec.process.write("call " + address + "\n");
    if (!waitFor([&] { return count("connected") > connectedBefore; })) return false;
    if (connectMs) *connectMs = double(clock.nsecsElapsed()) / 1e6;
    linphonec.process.write("terminate\n");
    return waitFor([&] { return count("ended") > endedBefore; });
}

} // namespace bench
