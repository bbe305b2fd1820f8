// What the engine does about the requests its guard refused, and about calls nobody here placed.
#include "call/linphone/LinphoneEngine.h"
#include "call/linphone/LinphoneSession.h"
#include "call/rtc/CallerOrigin.h"
#include "wire/PeerText.h"

#include <QCoreApplication>

#include <linphone++/linphone.hh>

namespace rtc {

namespace {

using What = RequestRefusedEventData::What;

What whatWasRefused(const sip::Verdict& verdict) {
    switch (verdict.reason) {
    case sip::Reason::Transfer:
        return What::Transfer;
    case sip::Reason::Takeover:
        return What::Takeover;
    default:
        return verdict.newCall() ? What::Call : What::Other;
    }
}

std::string callIdOf(const linphone::Call& call) {
    const auto log = call.getCallLog();
    return log ? log->getCallId() : std::string();
}

} // namespace

SipGuard::Origin LinphoneEngine::originOf(const linphone::Call& call) const {
    if (!m_guard) return {};
    return m_guard->originOf(QByteArray::fromStdString(callIdOf(call))).value_or(SipGuard::Origin{});
}

void LinphoneEngine::onRefused(const SipGuard::Refusal& refusal) {
    const sip::Verdict& verdict = refusal.verdict;
    if (!verdict.request) return;
    const sip::Request& request = *verdict.request;
    const What what = whatWasRefused(verdict);
    QString description = QString::fromLatin1(request.method.left(32)) + QStringLiteral(" from ") + refusal.source +
                          QStringLiteral(" refused: ") + QString::number(verdict.code) + QLatin1Char(' ') +
                          QString::fromLatin1(verdict.phrase);
    const SipGuard::Origin& origin = refusal.origin;
    if (!origin.source.isEmpty() && origin.source != refusal.source)
        description += QStringLiteral(" (a call the relay forwarded for ") + origin.source + QLatin1Char(')');
    std::shared_ptr<CallerData> caller;
    if (what == What::Call)
        caller = std::make_shared<CallerData>(wire::cleanPeerText(QString::fromUtf8(request.fromName)),
                                              wire::cleanPeerText(QString::fromUtf8(request.fromUri)), origin.source,
                                              origin.contact);
    if (what == What::Transfer && request.toTag) {
        // A peer that asks us to call someone else is not one to stay in a call with.
        for (const auto& [call, session] : m_sessions) {
            const auto& ours = session->call();
            if (!ours || callIdOf(*ours) != request.callId.toStdString()) continue;
            ours->terminate();
            description += QStringLiteral("; the call it came in was ended");
        }
    }
    post(RTCE_CLIENT, std::make_shared<RequestRefusedEventData>(what, description, caller));
}

void LinphoneEngine::endUnplacedCall(const std::shared_ptr<linphone::Call>& call) {
    const auto remote = call->getRemoteAddress();
    const QString to = remote ? wire::cleanPeerText(QString::fromStdString(remote->asStringUriOnly())) : QString();
    // Not from inside liblinphone's report of the new call, which goes on using the call: at once
    // after it.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [unplaced = call] {
            const auto state = unplaced->getState();
            if (state != linphone::Call::State::End && state != linphone::Call::State::Released &&
                state != linphone::Call::State::Error)
                unplaced->terminate();
        },
        Qt::QueuedConnection);
    post(RTCE_CLIENT,
         std::make_shared<RequestRefusedEventData>(What::UnplacedCall, QStringLiteral("A call to ") + to +
                                                                           QStringLiteral(" that was neither placed "
                                                                                          "nor answered here was "
                                                                                          "ended")));
}

} // namespace rtc
