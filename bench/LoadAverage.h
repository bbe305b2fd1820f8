#pragma once
// The machine's load average as /proc/loadavg gives it, printed beside every figure: on a shared
// machine a rate means little without it.
#include <QByteArray>
#include <QFile>

namespace bench {

inline QByteArray loadAverage() {
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (!loadavg.open(QIODevice::ReadOnly)) return QByteArrayLiteral("unknown");
    return loadavg.readAll().trimmed();
}

} // namespace bench
