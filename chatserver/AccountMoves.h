#pragma once
// Moving an account to a new ID, the way out for a user whose ID was read by someone else: over
// TLS only, with the ID and e-mail address that sign in, the account (e-mail address, contacts
// both ways, TLS mark) gets a new random ID and the old one never works again. A request that
// names a replaced ID is told so in words, which tells a user who did not move it that someone
// else did.
#include "chatserver/ChatService.h"

#include <optional>

namespace chatserver {

class AccountMoves {
public:
    AccountMoves(Storage& storage, ChatService& service, Clock clock)
        : m_storage(storage), m_service(service), m_clock(std::move(clock)) {}

    // The answer to a move; nothing for every other request. Throws StorageError.
    std::optional<ChatService::Outcome> answer(const ChatRequest& request, const QString& peer, bool secure);
    // The refusal the service gave (or would give: `outcome` without a reply) to a request that
    // names a replaced ID, told as such; nothing otherwise.
    std::optional<ChatService::Outcome> explainRefusal(const ChatRequest& request, const ChatService::Outcome& outcome);

    static QString replacedText(qint64 movedMs);

private:
    ChatService::Outcome move(const ChatRequest& request, const QString& peer, bool secure);

    Storage& m_storage;
    ChatService& m_service; // proves the account as a log-in does, with the same throttling
    Clock m_clock;
};

} // namespace chatserver
