#include "chatserver/ServingLoop.h"

#include "chatserver/AccountMoves.h"
#include "chatserver/Doors.h"
#include "chatserver/PresenceWriter.h"
#include "chatserver/SecureAccounts.h"
#include "chatserver/net/Logging.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QThread>
#include <cstdio>
#include <future>
#include <mutex>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace chatserver {

namespace {

// Everything a loop owns, made and dropped on its thread, in this order and the reverse.
struct LoopParts {
    explicit LoopParts(const LoopPlan& plan)
        : storage(openStorage(plan.store)),
          service(std::make_unique<ChatService>(*storage, plan.settings, plan.clock, plan.callers)),
          pages(std::make_unique<WebPages>(*service, plan.webSettings)),
          secureAccounts(std::make_unique<SecureAccounts>(*storage, plan.clock)),
          accountMoves(std::make_unique<AccountMoves>(*storage, *service, plan.clock)),
          presence(std::make_unique<PresenceWriter>(*storage, *service, false)) {
        storage->sharePendingPresence(plan.pendingPresence);
        if (plan.mailer) service->setMailer(plan.mailer);
    }

    // Serves the sockets of the first loop's listeners; false and a message when one cannot be.
    bool serve(const LoopPlan& plan, QString* error) {
        if (plan.probeBudget) {
            probe = std::make_unique<CallAddressProbe>(plan.callCheck, plan.ownAddress, plan.probeBudget);
            if (QString problem; !probe->open(&problem)) {
                qCWarning(lcServer).noquote() << "call addresses are not checked by a serving loop:" << problem;
                probe.reset();
            }
        }
        const auto chatDoor = [&](std::unique_ptr<ChatListener>& door, const TcpListener* first) {
            if (!first) return true;
            door = std::make_unique<ChatListener>(*service, plan.limits);
            door->setSecureAccounts(secureAccounts.get());
            door->setAccountMoves(accountMoves.get());
            door->setCallAddressProbe(probe.get());
            if (first->secure()) door->setTls(plan.tls);
            return door->serveAlongside(*first, error);
        };
        const auto webDoor = [&](std::unique_ptr<WebListener>& door, const TcpListener* first) {
            if (!first) return true;
            door = std::make_unique<WebListener>(*pages, plan.limits);
            if (first->secure()) door->setTls(plan.tls);
            return door->serveAlongside(*first, error);
        };
        if (!chatDoor(chat, plan.chat) || !chatDoor(chatTls, plan.chatTls) || !webDoor(web, plan.web) ||
            !webDoor(webTls, plan.webTls))
            return false;
        presence->start();
        return true;
    }

    void finish() {
        for (TcpListener* door : {static_cast<TcpListener*>(chat.get()), static_cast<TcpListener*>(chatTls.get()),
                                  static_cast<TcpListener*>(web.get()), static_cast<TcpListener*>(webTls.get())})
            if (door) door->close();
        presence->flushAll();
    }

    std::unique_ptr<Storage> storage;
    std::unique_ptr<ChatService> service;
    std::unique_ptr<WebPages> pages;
    std::unique_ptr<SecureAccounts> secureAccounts;
    std::unique_ptr<AccountMoves> accountMoves;
    std::unique_ptr<PresenceWriter> presence;
    std::unique_ptr<CallAddressProbe> probe; // outlives the listeners, whose connections it serves
    std::unique_ptr<ChatListener> chat;
    std::unique_ptr<ChatListener> chatTls;
    std::unique_ptr<WebListener> web;
    std::unique_ptr<WebListener> webTls;
};

} // namespace

// The loop's thread. Its end is handed over through a standard promise as well, which the thread
// checker follows: it does not see the waits of QThread, built on bare futexes.
class ServingLoop::Thread : public QThread {
public:
    explicit Thread(LoopPlan plan) : m_plan(std::move(plan)) { setObjectName(QStringLiteral("serving loop")); }
    ~Thread() override {
        finish();
        if (m_wake >= 0) ::close(m_wake);
    }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Empty text once the loop serves; otherwise why it does not.
    QString launch() {
        std::future<QString> started = m_started.get_future();
        m_ended = m_finished.get_future();
        start();
        QString problem = started.get();
        if (!problem.isEmpty()) finish();
        return problem;
    }
    void finish() {
        if (!m_ended.valid()) return;
        quit();
        m_ended.wait();
        wait();
        m_ended = {};
    }
    // Runs `step` on the loop's thread with its parts, and waits for it. The step goes over under
    // a standard lock and comes back through a standard promise, and the loop is woken through a
    // descriptor of its own: all of which the thread checker follows, unlike Qt's queued calls.
    void runOnLoop(const std::function<void(LoopParts&)>& step) {
        if (!m_ended.valid() || !m_parts) return;
        std::promise<void> done;
        {
            const std::lock_guard lock(m_stepsMutex);
            m_steps.emplace_back([&] {
                step(*m_parts);
                done.set_value();
            });
        }
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
        done.get_future().wait();
    }

protected:
    void run() override {
        serve();
        m_finished.set_value();
    }

private:
    void runSteps() {
        quint64 count = 0;
        [[maybe_unused]] const ssize_t taken = ::read(m_wake, &count, sizeof count);
        std::vector<std::function<void()>> steps;
        {
            const std::lock_guard lock(m_stepsMutex);
            steps.swap(m_steps);
        }
        for (const std::function<void()>& step : steps)
            step();
    }
    void serve() {
        QString error;
        try {
            m_parts = std::make_unique<LoopParts>(m_plan);
            if (!m_parts->serve(m_plan, &error)) m_parts.reset();
        } catch (const StorageError& failure) {
            error = QStringLiteral("a serving loop cannot open the store: %1").arg(QString::fromUtf8(failure.what()));
            m_parts.reset();
        }
        if (!m_parts) {
            m_started.set_value(error.isEmpty() ? QStringLiteral("a serving loop did not start") : error);
            return;
        }
        QSocketNotifier woken(m_wake, QSocketNotifier::Read);
        QObject::connect(&woken, &QSocketNotifier::activated, m_parts->presence.get(), [this] { runSteps(); });
        onEachWait(m_parts->presence.get());
        m_started.set_value(QString());
        exec();
        m_parts->finish();
        m_parts.reset();
    }

    LoopPlan m_plan;
    std::promise<QString> m_started;
    std::promise<void> m_finished;
    std::future<void> m_ended;          // valid from launch() until the thread is over
    std::unique_ptr<LoopParts> m_parts; // made before launch() returns, dropped once the loop has ended
    int m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); // wakes the loop for the steps
    std::mutex m_stepsMutex;
    std::vector<std::function<void()>> m_steps; // handed over by runOnLoop()
};

void onEachWait(QObject* context) {
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, context, [] {
        std::fflush(stderr);
        sched_yield();
    });
}

ServingLoop::ServingLoop(LoopPlan plan) : m_thread(std::make_unique<Thread>(std::move(plan))) {}

ServingLoop::~ServingLoop() {
    stop();
}

bool ServingLoop::start(QString* error) {
    const QString problem = m_thread->launch();
    if (problem.isEmpty()) return true;
    if (error) *error = problem;
    return false;
}

void ServingLoop::stop() {
    m_thread->finish();
}

void ServingLoop::flushPresence() {
    m_thread->runOnLoop([](LoopParts& parts) { parts.presence->flushAll(); });
}

void ServingLoop::setTls(std::shared_ptr<TlsServerContext> tls) {
    m_thread->runOnLoop([&tls](LoopParts& parts) {
        for (TcpListener* door :
             {static_cast<TcpListener*>(parts.chatTls.get()), static_cast<TcpListener*>(parts.webTls.get())})
            if (door) door->setTls(tls);
    });
}

} // namespace chatserver
