#include "chatserver/AccountMoves.h"

#include "chatserver/Identifiers.h"

#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

#include <QDateTime>

namespace chatserver {

namespace {

ChatService::Outcome refusal(const QString& text, const QString& note) {
    return {wire::request(wire::Code::Refused, {text}), note};
}

} // namespace

QString AccountMoves::replacedText(qint64 movedMs) {
    return QStringLiteral("This ID was replaced by a new one on ") +
           QDateTime::fromMSecsSinceEpoch(movedMs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm")) +
           QStringLiteral(" UTC and works no more. If you did not move your account yourself, someone who knew your "
                          "ID did: ask the server's operator.");
}

std::optional<ChatService::Outcome> AccountMoves::answer(const ChatRequest& request, const QString& peer, bool secure) {
    if (wire::codeOf(request.code) != wire::Code::NewId) return std::nullopt;
    if (std::optional<ChatService::Outcome> replaced = explainRefusal(request, {})) return replaced;
    return move(request, peer, secure);
}

std::optional<ChatService::Outcome> AccountMoves::explainRefusal(const ChatRequest& request,
                                                                 const ChatService::Outcome& outcome) {
    // Only a refusal is looked into (a moved ID no longer signs in): polls pay nothing for it.
    if (outcome.reply && outcome.replyCode() != wire::Code::Refused) return std::nullopt;
    const std::optional<wire::Code> code = wire::codeOf(request.code);
    if (!code || *code == wire::Code::Register || request.args.isEmpty()) return std::nullopt;
    const std::optional<qint64> id = parseUserId(request.args.constFirst());
    const std::optional<qint64> moved = id ? m_storage.replacedAt(*id) : std::nullopt;
    if (!moved) return std::nullopt;
    return refusal(replacedText(*moved), QStringLiteral("replaced ID"));
}

ChatService::Outcome AccountMoves::move(const ChatRequest& request, const QString& peer, bool secure) {
    // Whoever read the ID off a plain connection must not be able to take the account away.
    if (!secure)
        return refusal(QStringLiteral("An account moves to a new ID only over an encrypted connection."),
                       QStringLiteral("move refused: not over TLS"));
    const qint64 now = m_clock();
    const std::optional<qint64> id = parseUserId(request.args.value(0));
    const std::optional<UserRecord> user = id ? m_storage.findUser(*id) : std::nullopt;
    const QString email = normaliseEmail(request.args.value(1)).address; // empty: matches no one
    // Only what signs in moves (an invitation never does), with the log-in's own throttling.
    if (std::optional<ChatService::Outcome> unproven =
            m_service.refuseUnproven(user ? &*user : nullptr, email, peer, now))
        return *unproven;
    const qint64 newId = m_storage.moveUser(user->id, now);
    m_storage.markSignsInSecurely(newId, now); // moved over TLS: it signs in so from now on
    return {wire::request(wire::Code::NewId, {QString::number(newId)}), QStringLiteral("account moved")};
}

} // namespace chatserver
