#pragma once
// Accounts that have once signed in over TLS sign in that way only: the plain port refuses every
// request that names one of them, before the service sees it. A user ID read off a plain
// connection, or a client pushed back onto the plain port by someone on the path, then gains
// nothing; clients that never had TLS keep the plain port as before.
#include "chatserver/ChatService.h"

#include <QSet>
#include <optional>

namespace chatserver {

class SecureAccounts {
public:
    explicit SecureAccounts(Storage& storage, Clock clock) : m_storage(storage), m_clock(std::move(clock)) {}

    // The refusal (a reply payload) for a request that came in the clear naming such an
    // account; nothing for every other request, and for a poll not known here to name one,
    // which the service checks with its own read. Throws StorageError.
    std::optional<QString> refusal(const ChatRequest& request, bool secure);
    // A request answered over TLS: a log-in that was accepted makes its account one of them.
    void noteAnswer(const ChatRequest& request, bool secure, const ChatService::Outcome& outcome);

    // The text of the refusal, as the client shows it in its status box.
    static QString refusalText();

private:
    Storage& m_storage;
    Clock m_clock;
    QSet<qint64> m_known; // marked, as this server has seen (another server may have marked more)
};

} // namespace chatserver
