// Requests 80 and 81: the entries of a list that are not returned, both ways, so that a client
// can show "waiting for them to add you" and "wants to reach you" instead of a contact that
// looks off line for good.
//
// What each side learns is only what the other consented to: of the users you list you learn
// nothing new (the e-mail address you typed, the same whether anyone has it or not); of those
// who list you, their name and address, which they gave you by asking. Ignoring a request tells
// its sender nothing: their entry stays as it was.
#include "wire/ContactRequests.h"
#include "chatserver/ChatService.h"
#include "chatserver/Identifiers.h"
#include "chatserver/ServiceReplies.h"

namespace chatserver {

using namespace answers;

namespace {

const char kTooMany[] = "You have asked the server many times in a short time. Please try again in a few minutes.";

} // namespace

std::optional<UserRecord> ChatService::provenUser(const ChatRequest& request, const QString& peer, Outcome* refusal) {
    // The same proof as a log-in: the user ID, secret to its owner, with its e-mail address.
    if (!mayTry(peer, refusal)) return std::nullopt;
    const std::optional<qint64> id = parseUserId(request.args.value(0));
    std::optional<UserRecord> user = id ? m_storage.findUser(*id) : std::nullopt;
    const QString email = normaliseEmail(request.args.value(1)).address; // empty: matches no one
    if (std::optional<Outcome> unproven = refuseUnproven(user ? &*user : nullptr, email, peer, m_clock())) {
        *refusal = *unproven;
        return std::nullopt;
    }
    return user;
}

ChatService::Outcome ChatService::contactRequests(const ChatRequest& request, const QString& peer) {
    Outcome refusal;
    const std::optional<UserRecord> user = provenUser(request, peer, &refusal);
    if (!user) return refusal;
    // Counted with the addresses looked up: each answer reads two lists.
    if (!mayLookUp(peer))
        return refused(wire::Code::Refused, QLatin1String(kTooMany), QStringLiteral("look-ups throttled"));
    if (wire::codeOf(request.code) == wire::Code::IgnoreRequest) return ignoreRequest(*user, request.args.value(2));
    QList<wire::ContactRequestEntry> entries;
    for (const UserRecord& contact : m_storage.contactsOf(user->id)) {
        if (contact.mutual) continue;
        if (entries.size() >= m_settings.maxContacts) break;
        entries.append({wire::ContactRequestEntry::Kind::Waiting,
                        QString::number(handleOf(user->id, contact)),
                        {},
                        contact.email});
    }
    const qsizetype waiting = entries.size();
    for (const UserRecord& requester : m_storage.askingToReach(user->id, m_settings.maxContacts))
        entries.append({wire::ContactRequestEntry::Kind::Asking, handleFor(user->id, requester.id),
                        requester.displayName, requester.email});
    return reply(wire::composeContactRequests(entries),
                 QStringLiteral("%1 waiting, %2 asking").arg(waiting).arg(entries.size() - waiting));
}

ChatService::Outcome ChatService::ignoreRequest(const UserRecord& user, const QString& handle) {
    if (!parseUserId(handle))
        return refused(wire::Code::Refused, QStringLiteral("This contact request is not known."),
                       QStringLiteral("bad handle"));
    // Only a request the user is shown can be ignored: nobody makes marks for others.
    QString note = QStringLiteral("no such request");
    for (const UserRecord& requester : m_storage.askingToReach(user.id, m_settings.maxContacts))
        if (handleFor(user.id, requester.id) == handle) {
            m_storage.ignoreRequest(user.id, requester.id, m_clock(), m_settings.maxContacts);
            note = QStringLiteral("request ignored");
            break;
        }
    return reply(joined(wire::Code::IgnoreRequest, {}, {handle}), note);
}

} // namespace chatserver
