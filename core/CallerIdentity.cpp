#include "core/CallerIdentity.h"

#include "wire/PeerText.h"

namespace basMain {

namespace {

const QString kUnknown = QStringLiteral("Unknown caller");

CallerIdentity asContact(const ContactEntry& entry) {
    return {true, wire::cleanPeerText(entry.name), wire::cleanPeerText(entry.email), entry.callAddress};
}

} // namespace

bool sameCallAddress(const QString& a, const QString& b) {
    return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0;
}

CallerIdentity identifyCaller(const CallerFacts& facts, const QList<ContactEntry>& contacts) {
    for (const ContactEntry& entry : contacts) {
        const bool vouched =
            !facts.verifiedEmail.isEmpty() && facts.verifiedEmail.compare(entry.email, Qt::CaseInsensitive) == 0;
        const bool fromItsAddress =
            sameCallAddress(facts.source, entry.callAddress) && sameCallAddress(facts.contact, entry.callAddress);
        if (vouched || fromItsAddress) return asContact(entry);
    }
    CallerIdentity unknown;
    const QString said = wire::cleanPeerText(facts.name);
    unknown.name = said.isEmpty() ? kUnknown : kUnknown + QStringLiteral(": ") + said;
    unknown.name = wire::cleanPeerText(unknown.name);
    unknown.email = facts.source.isEmpty() ? QString() : QStringLiteral("sip:") + facts.source;
    unknown.callAddress = facts.source;
    return unknown;
}

} // namespace basMain
