#pragma once
// The server's two front doors: the chat protocol and the web pages, each a listener whose
// connections carry one exchange, read with the request parsers and answered by the service.
#include "chatserver/net/Listeners.h"

namespace chatserver {

class AccountMoves;
class CallAddressProbe;
class ChatService;
class SecureAccounts;
class WebPages;

class ChatListener final : public TcpListener {
    Q_OBJECT
public:
    ChatListener(ChatService& service, const ListenerLimits& limits, QObject* parent = nullptr);
    // Log-ins wait for the check of their call address before they are answered; null: no checks.
    // The probe must outlive the listener.
    void setCallAddressProbe(CallAddressProbe* probe) { m_probe = probe; }
    // Requests naming an account that signed in over TLS are refused in the clear; null: no such
    // rule. Must outlive the listener.
    void setSecureAccounts(SecureAccounts* accounts) { m_accounts = accounts; }
    // Moves of accounts to new IDs, and refusals of replaced IDs; null: neither. Must outlive
    // the listener.
    void setAccountMoves(AccountMoves* moves) { m_moves = moves; }

protected:
    std::unique_ptr<Connection> createConnection(int fd, const QString& peer, quint64 serial) override;
    // A client reads its answer and hangs up; a web page's answer is followed by our goodbye.
    bool callersHangUpFirst() const override { return true; }

private:
    ChatService& m_service;
    CallAddressProbe* m_probe = nullptr;
    SecureAccounts* m_accounts = nullptr;
    AccountMoves* m_moves = nullptr;
};

class WebListener final : public TcpListener {
    Q_OBJECT
public:
    WebListener(WebPages& pages, const ListenerLimits& limits, QObject* parent = nullptr);

protected:
    std::unique_ptr<Connection> createConnection(int fd, const QString& peer, quint64 serial) override;

private:
    WebPages& m_pages;
};

} // namespace chatserver
