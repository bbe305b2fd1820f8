#pragma once
// The processes the chat server benchmark runs: started and waited for, their CPU time and memory
// from /proc, and each exchange's time from accept to answer as the server's own log gives it.
#include "bench/LoadAverage.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <vector>

class QProcess;

namespace bench {

// Starts a program and waits for a line matching `ready` on its standard output.
bool startAndWait(QProcess& process, const QString& program, const QStringList& args, const QRegularExpression& ready,
                  QRegularExpressionMatch* match);

// CPU time (user + system) a process has used so far, in microseconds; on a machine shared with
// other work this says more about the server than its rate does.
double cpuMicros(qint64 pid);

// What a process (with `withChildren` also its children: nginx's master and workers) has used so
// far: its CPU time, and how many times its threads went to sleep for want of work (voluntary
// context switches). Per exchange the second tells a server woken for each caller from one that
// finds several waiting at each turn, which costs it far less processor time per exchange; on
// two cores shared with the load generator, a run falls into one or the other.
struct Usage {
    double cpuUs = 0;
    double waits = 0;
    Usage operator-(const Usage& other) const { return {cpuUs - other.cpuUs, waits - other.waits}; }
};
Usage usage(qint64 pid, bool withChildren = false);
// Resident memory of a process in MiB.
double rssMiB(qint64 pid);

// The server's log from `offset` on, as it grows.
class ServerLog {
public:
    explicit ServerLog(QString path) : m_path(std::move(path)) {}
    // From now on: what was logged so far is not counted.
    void mark();
    // The time from accept to answer, in microseconds, of each poll answered ("1 -> 1") since
    // the mark, as the server measured it.
    std::vector<double> pollTimesSinceMark() const;

private:
    QString m_path;
    qint64 m_offset = 0;
};

} // namespace bench
