#include "FuzzSupport.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace fuzz {

namespace {

// The event loop of the core targets. Letting events run (DoEvents, once per character when
// scrambling) delivers the posted events, as the system's dispatcher does, but without a system
// call or a timer check: the targets never wait on a timer or a socket, and a timer that fired
// in the middle of an input would make a finding depend on the time it took.
class QuietDispatcher final : public QAbstractEventDispatcher {
public:
    bool processEvents(QEventLoop::ProcessEventsFlags) override {
        QCoreApplication::sendPostedEvents();
        return false;
    }
    void registerSocketNotifier(QSocketNotifier*) override {}
    void unregisterSocketNotifier(QSocketNotifier*) override {}
    void registerTimer(int, qint64, Qt::TimerType, QObject*) override {}
    bool unregisterTimer(int) override { return true; }
    bool unregisterTimers(QObject*) override { return true; }
    QList<TimerInfo> registeredTimers(QObject*) const override { return {}; }
    int remainingTime(int) override { return -1; }
    void wakeUp() override {}
    void interrupt() override {}
};

} // namespace

void startCoreApp() {
    if (QCoreApplication::instance()) return;
    QCoreApplication::setEventDispatcher(std::make_unique<QuietDispatcher>().release()); // the thread owns it
    startApp<QCoreApplication>();
}

static QByteArray bytes(const std::uint8_t* data, std::size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

QList<QByteArray> chunks(const std::uint8_t* data, std::size_t size) {
    QList<QByteArray> out;
    if (size == 0) return out;
    const unsigned longest = data[0];
    const QByteArray rest = bytes(data + 1, size - 1);
    if (longest == 0 || rest.isEmpty()) {
        out.append(rest);
        return out;
    }
    // A small xorshift seeded by the first byte: the same input always cuts the same way.
    std::uint32_t state = 0x9E3779B9u ^ (longest * 0x01000193u);
    qsizetype at = 0;
    while (at < rest.size()) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const qsizetype length = static_cast<qsizetype>(state % longest) + 1;
        out.append(rest.mid(at, length));
        at += length;
    }
    return out;
}

QList<QByteArray> pieces(const std::uint8_t* data, std::size_t size, qsizetype limit) {
    QList<QByteArray> out = bytes(data, size).split('\0');
    while (out.size() > limit) {
        const QByteArray tail = out.takeLast();
        out.last() += '\0' + tail;
    }
    return out;
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz: property broken: %s\n", what);
    std::abort();
}

} // namespace fuzz
