#pragma once
// A serving loop beside the server's first one: a thread with its own event loop, its own
// connection to the store and its own service, taking connections from the same listening
// sockets as the first loop (whichever loop is free accepts). What must hold for the server as a
// whole is shared: the counts of each caller's connections (the listeners' ledgers), its refusals
// and look-ups (CallerLimits), the budget of call-address checks; everything else a loop keeps
// is what a second server on the same store would keep.
#include "chatserver/CallAddressProbe.h"
#include "chatserver/ChatService.h"
#include "chatserver/WebPages.h"
#include "chatserver/net/Listeners.h"
#include "chatserver/store/Storage.h"

#include <functional>
#include <memory>

namespace chatserver {

class TlsServerContext;

struct LoopPlan {
    StoreLocation store;
    ChatSettings settings;
    Clock clock;
    std::shared_ptr<CallerLimits> callers;
    // The last-seen times not written yet, which the server's own thread writes out.
    std::shared_ptr<PendingPresence> pendingPresence;
    // Hands a mail to the server's one mailer; called on the loop's thread.
    std::function<void(const Mail&)> mailer;
    WebSettings webSettings;
    ListenerLimits limits;
    // The first loop's listeners, whose sockets this loop serves too; null: not served.
    const TcpListener* chat = nullptr;
    const TcpListener* chatTls = nullptr;
    const TcpListener* web = nullptr;
    const TcpListener* webTls = nullptr;
    std::shared_ptr<TlsServerContext> tls;
    // Checks of call addresses at log-in, spending the first loop's budget; null: none.
    std::shared_ptr<ProbeBudget> probeBudget;
    CallCheckSettings callCheck;
    QString ownAddress;
};

// Whenever the calling thread's event loop is about to wait for work: the log lines it buffered
// go out, and the core is first offered to whatever else is ready to run on it (`sched_yield`).
// A loop put to sleep and woken for its next caller makes that caller wait for the wake-up; when
// the thread given the core brings work (another loop, or a caller on the same machine sending
// its request), the wait finds it at once. In the bench at 2,500 polls a second that halved how
// often the loops slept and the p99 from accept to answer by the server's own clock.
void onEachWait(QObject* context);

class ServingLoop {
public:
    explicit ServingLoop(LoopPlan plan);
    ~ServingLoop(); // stops
    ServingLoop(const ServingLoop&) = delete;
    ServingLoop& operator=(const ServingLoop&) = delete;

    // Starts the thread and returns once it serves; false and a message when it cannot.
    bool start(QString* error);
    // Stops taking connections, writes the last-seen times its polls left in memory and ends
    // the thread. Connections it had open are closed.
    void stop();
    // Writes those times now, waiting until they are written.
    void flushPresence();
    // The certificate for the loop's TLS connections to come.
    void setTls(std::shared_ptr<TlsServerContext> tls);

private:
    class Thread;
    std::unique_ptr<Thread> m_thread;
};

} // namespace chatserver
