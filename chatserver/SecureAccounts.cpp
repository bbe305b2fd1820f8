#include "chatserver/SecureAccounts.h"

#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

namespace chatserver {

namespace {

// The user ID a request names: its first field, for every code that acts for an account.
std::optional<qint64> accountOf(const ChatRequest& request) {
    const std::optional<wire::Code> code = wire::codeOf(request.code);
    if (!code || *code == wire::Code::Register || request.args.isEmpty()) return std::nullopt;
    return parseUserId(request.args.constFirst());
}

} // namespace

QString SecureAccounts::refusalText() {
    return QStringLiteral("This account signs in over an encrypted connection only, and this connection is not "
                          "encrypted: nothing was done. If ColloqChat says its chat server cannot be reached "
                          "encrypted, someone on the network may be in the way.");
}

std::optional<QString> SecureAccounts::refusal(const ChatRequest& request, bool secure) {
    if (secure) return std::nullopt;
    const std::optional<qint64> id = accountOf(request);
    if (!id) return std::nullopt;
    if (!m_known.contains(*id)) {
        // A poll, nearly all of the traffic, reads the mark with the user's row and is refused by
        // the service (ChatService::handle with `plain`): one read of the store, not two.
        static const QString kPoll = wire::codeText(wire::Code::LogIn);
        if (request.code == kPoll) return std::nullopt;
        if (!m_storage.signsInSecurely(*id)) return std::nullopt;
        m_known.insert(*id);
    }
    return wire::request(wire::Code::Refused, {refusalText()});
}

void SecureAccounts::noteAnswer(const ChatRequest& request, bool secure, const ChatService::Outcome& outcome) {
    if (!secure || !outcome.reply || request.code != wire::codeText(wire::Code::LogIn)) return;
    // A refusal (an unknown ID, a throttled caller) marks nothing.
    const std::optional<wire::Code> reply = outcome.replyCode();
    if (!reply || *reply == wire::Code::Refused || *reply == wire::Code::RegistrationRefused) return;
    const std::optional<qint64> id = accountOf(request);
    if (!id || m_known.contains(*id)) return;
    m_storage.markSignsInSecurely(*id, m_clock());
    m_known.insert(*id);
}

} // namespace chatserver
