#include "chatserver/ServingLoop.h"

#include "chatserver/AccountMoves.h"
#include "chatserver/Doors.h"
#include "chatserver/PresenceWriter.h"
#include "chatserver/SecureAccounts.h"
#include "chatserver/net/Logging.h"

#include <QThread>
#include <future>

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

class ServingLoop::Thread : public QThread {
public:
    explicit Thread(LoopPlan plan) : m_plan(std::move(plan)) { setObjectName(QStringLiteral("serving loop")); }

    std::future<QString> started() { return m_started.get_future(); }
    // Runs `step` on the loop's thread with its parts, and waits for it.
    void runOnLoop(const std::function<void(LoopParts&)>& step) {
        if (!m_parts) return;
        QMetaObject::invokeMethod(
            m_parts->presence.get(), [this, &step] { step(*m_parts); }, Qt::BlockingQueuedConnection);
    }

protected:
    void run() override {
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
        m_started.set_value(QString());
        exec();
        m_parts->finish();
        m_parts.reset();
    }

private:
    LoopPlan m_plan;
    std::promise<QString> m_started;
    std::unique_ptr<LoopParts> m_parts; // set before started() is fulfilled, dropped after exec() ends
};

ServingLoop::ServingLoop(LoopPlan plan) : m_thread(std::make_unique<Thread>(std::move(plan))) {}

ServingLoop::~ServingLoop() {
    stop();
}

bool ServingLoop::start(QString* error) {
    std::future<QString> started = m_thread->started();
    m_thread->start();
    const QString problem = started.get();
    if (problem.isEmpty()) return true;
    m_thread->wait();
    if (error) *error = problem;
    return false;
}

void ServingLoop::stop() {
    if (!m_thread->isRunning()) return;
    m_thread->quit();
    m_thread->wait();
}

void ServingLoop::flushPresence() {
    if (m_thread->isRunning()) m_thread->runOnLoop([](LoopParts& parts) { parts.presence->flushAll(); });
}

void ServingLoop::setTls(std::shared_ptr<TlsServerContext> tls) {
    if (!m_thread->isRunning()) return;
    m_thread->runOnLoop([&tls](LoopParts& parts) {
        for (TcpListener* door :
             {static_cast<TcpListener*>(parts.chatTls.get()), static_cast<TcpListener*>(parts.webTls.get())})
            if (door) door->setTls(tls);
    });
}

} // namespace chatserver
