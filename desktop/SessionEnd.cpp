#include "desktop/SessionEnd.h"

#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace desktop {

namespace {

constexpr std::array kSignals{SIGTERM, SIGHUP, SIGINT};
int s_pipe[2] = {-1, -1}; // written by the handler, read on the UI thread

void handler(int number) {
    // Only what is safe in a signal handler: a byte to wake the UI thread, and the default back
    // so that a second signal ends the program.
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[0], &byte, 1);
    for (const int each : kSignals)
        std::signal(each, SIG_DFL);
}

} // namespace

SessionEnd::SessionEnd(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_pipe) != 0) return;
    m_notifier = new QSocketNotifier(s_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SessionEnd::onSignal);
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int each : kSignals)
        sigaction(each, &action, nullptr);
}

SessionEnd::~SessionEnd() {
    for (const int each : kSignals)
        std::signal(each, SIG_DFL);
    if (s_pipe[0] < 0) return;
    delete m_notifier;
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
}

void SessionEnd::onSignal() {
    char bytes[16];
    while (::read(s_pipe[1], bytes, sizeof bytes) > 0) {
    }
    emit ending();
}

} // namespace desktop
