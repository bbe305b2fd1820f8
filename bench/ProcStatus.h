#pragma once
// A number from a process's status file in /proc ("VmRSS:   81234 kB"), which the client's and the
// server's benchmarks both read.
#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

namespace bench {

// The number after `key` (its unit left off), -1 when the file cannot be read or has no such line.
inline double statusNumber(const QString& path, QByteArrayView key) {
    QFile status(path);
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(key.size()).trimmed().split(' ').value(0).toDouble();
    return -1;
}

} // namespace bench
