#pragma once
// Programs a test or benchmark starts (a SIP peer, tcpdump, a server, a desktop's parts) end with
// it: a run cancelled with SIGKILL, or one that crashed, would otherwise leave them running, and
// a linphonec left behind keeps a core busy for as long as nobody notices.
#include <QProcess>
#include <csignal>
#include <sys/prctl.h>

namespace testsupport {

// The kernel kills the child when the thread that started it ends, so start it from the thread
// that lives as long as the run (the main thread, in every test here).
inline void endWithRun(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace testsupport
