#include "ChatBenchServer.h"
#include "bench/ProcStatus.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <cstdio>
#include <unistd.h>

namespace bench {

double cpuMicros(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble(); // utime, stime
    return ticks * 1e6 / double(sysconf(_SC_CLK_TCK));
}

namespace {

double waits(qint64 pid) {
    double total = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const double switches =
            statusNumber(tasks + '/' + task + QStringLiteral("/status"), "voluntary_ctxt_switches:");
        if (switches > 0) total += switches; // -1: the thread ended meanwhile
    }
    return total;
}

} // namespace

Usage usage(qint64 pid, bool withChildren) {
    Usage total{cpuMicros(pid), waits(pid)};
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (withChildren && children.open(QIODevice::ReadOnly))
        for (const QByteArray& child : children.readAll().split(' '))
            if (!child.trimmed().isEmpty()) {
                const qint64 childPid = child.trimmed().toLongLong();
                total.cpuUs += cpuMicros(childPid);
                total.waits += waits(childPid);
            }
    return total;
}

double rssMiB(qint64 pid) {
    const double kb = statusNumber(QStringLiteral("/proc/%1/status").arg(pid), "VmRSS:");
    return kb < 0 ? 0 : kb / 1024;
}

void ServerLog::mark() {
    QFile file(m_path);
    m_offset = file.exists() ? file.size() : 0;
}

std::vector<double> ServerLog::pollTimesSinceMark() const {
    std::vector<double> times;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_offset)) return times;
    // "PEER 1 -> 1 20 contacts 48 us": the request's code, the reply's, a note, then the time.
    while (!file.atEnd()) {
        const QByteArray entry = file.readLine().trimmed();
        if (!entry.endsWith(" us") || !entry.contains(" 1 -> 1 ")) continue;
        const qsizetype end = entry.size() - 3;
        const qsizetype start = entry.lastIndexOf(' ', end - 1) + 1;
        bool ok = false;
        const double us = entry.mid(start, end - start).toDouble(&ok);
        if (ok) times.push_back(us);
    }
    return times;
}

bool startAndWait(QProcess& process, const QString& program, const QStringList& args, const QRegularExpression& ready,
                  QRegularExpressionMatch* match) {
    process.start(program, args);
    if (!process.waitForStarted(10000)) return false;
    QByteArray out;
    for (int i = 0; i < 300; ++i) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
        *match = ready.match(QString::fromUtf8(out));
        if (match->hasMatch()) return true;
        if (process.state() == QProcess::NotRunning) break;
    }
    std::fprintf(stderr, "%s did not start: %s\n", qPrintable(program), process.readAllStandardError().constData());
    return false;
}

} // namespace bench
