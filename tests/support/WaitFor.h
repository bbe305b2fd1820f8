#pragma once
// The one wait of the tests and benchmarks: the event loop runs, and objects released with
// deleteLater go, until a condition holds or the time is up. Qt Core only, so the server's
// tests share it.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <functional>

namespace testsupport {

// Runs the event loop until `done` is true or `timeoutMs` passes; returns done().
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

} // namespace testsupport
