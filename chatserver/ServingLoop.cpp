#include "chatserver/ServingLoop.h"

#include "chatserver/AccountMoves.h"
#include "chatserver/Doors.h"
#include "chatserver/PresenceWriter.h"
#include "chatserver/SecureAccounts.h"
#include "chatserver/net/Logging.h"

#include <QEventLoop>
#include <future>
#include <thread>

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

// The loop's thread: a standard thread with a Qt event loop, whose start and end the thread
// checker follows (it does not see the waits of QThread, built on bare futexes).
class ServingLoop::Thread {
public:
    explicit Thread(LoopPlan plan) : m_plan(std::move(plan)) {}
    ~Thread() { stop(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Empty text once the loop serves; otherwise why it does not.
    QString start() {
        std::future<QString> started = m_started.get_future();
        m_thread = std::thread([this] { run(); });
        QString problem = started.get();
        if (!problem.isEmpty()) stop();
        return problem;
    }
    void stop() {
        if (!m_thread.joinable()) return;
        if (m_loop) QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
        m_thread.join();
    }
    bool running() const { return m_thread.joinable() && m_parts; }
    // Runs `step` on the loop's thread with its parts, and waits for it.
    void runOnLoop(const std::function<void(LoopParts&)>& step) {
        if (!running()) return;
        QMetaObject::invokeMethod(
            m_parts->presence.get(), [this, &step] { step(*m_parts); }, Qt::BlockingQueuedConnection);
    }

private:
    void run() {
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
        QEventLoop loop;
        m_loop = &loop;
        m_started.set_value(QString());
        loop.exec();
        m_parts->finish();
        m_parts.reset();
    }

    LoopPlan m_plan;
    std::promise<QString> m_started;
    std::thread m_thread;
    QEventLoop* m_loop = nullptr;       // set before start() returns, while the thread runs
    std::unique_ptr<LoopParts> m_parts; // likewise; dropped once the loop has ended
};

ServingLoop::ServingLoop(LoopPlan plan) : m_thread(std::make_unique<Thread>(std::move(plan))) {}

ServingLoop::~ServingLoop() {
    stop();
}

bool ServingLoop::start(QString* error) {
    const QString problem = m_thread->start();
    if (problem.isEmpty()) return true;
    if (error) *error = problem;
    return false;
}

void ServingLoop::stop() {
    m_thread->stop();
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
