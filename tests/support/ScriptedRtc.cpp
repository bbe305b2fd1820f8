#include "support/ScriptedRtc.h"

#include "platform/vb.h"

#include <algorithm>

namespace testrtc {

void CallLog::enter(const QString& operation, const QStringList& args) {
    calls.append(operation + QLatin1Char('(') + args.join(QStringLiteral(", ")) + QLatin1Char(')'));
    const auto failure = failures.constFind(operation);
    if (failure != failures.constEnd()) vb::raise(*failure, operation + QStringLiteral(" failed (scripted)"));
}

int CallLog::count(const QString& prefix) const {
    return int(std::count_if(calls.begin(), calls.end(), [&](const QString& call) { return call.startsWith(prefix); }));
}

std::shared_ptr<rtc::IRTCParticipant> ScriptedSession::AddParticipant(const QString& address, const QString& name) {
    m_log->enter(m_name + QStringLiteral(".AddParticipant"), {address, name});
    auto participant = std::make_shared<rtc::ParticipantData>(name, address);
    participants.append(participant);
    return participant;
}

void ScriptedSession::RemoveParticipant(const std::shared_ptr<rtc::IRTCParticipant>& participant) {
    m_log->enter(m_name + QStringLiteral(".RemoveParticipant"),
                 {participant ? participant->get_UserURI() : QStringLiteral("Nothing")});
    if (!participants.removeOne(participant)) vb::raise(rtc::kRtcErrInvalidArg);
}

std::shared_ptr<rtc::IRTCClient2> ScriptedSession::get_Client() const {
    return m_client.lock();
}

bool ScriptedRtc::fire(long kind, std::shared_ptr<rtc::IRTCEvent> event) {
    if (!m_sink || !rtc::filterAdmits(eventFilter, kind)) return false;
    auto sink = m_sink; // the handler may detach the sink while it runs
    sink(kind, std::move(event));
    return true;
}

bool ScriptedRtc::fireSessionState(const std::shared_ptr<ScriptedSession>& session, long state, long statusCode) {
    if (session) session->state = state;
    return fire(rtc::RTCE_SESSION_STATE_CHANGE,
                std::make_shared<rtc::SessionStateEventData>(state, session, statusCode));
}

std::shared_ptr<ScriptedSession> ScriptedRtc::newSession() {
    auto session = std::make_shared<ScriptedSession>(weak_from_this(), log,
                                                     QStringLiteral("Session") + QString::number(sessions.size() + 1));
    sessions.append(session);
    return session;
}

std::shared_ptr<ScriptedSession> ScriptedRtc::incomingSession(const QString& uri, const QString& name) {
    auto session = newSession();
    session->participants.append(std::make_shared<rtc::ParticipantData>(name, uri));
    return session;
}

ScriptedRtcFactory::ScriptedRtcFactory(std::function<void(ScriptedRtc&)> configure)
    : m_configure(std::move(configure)) {
    rtc::setClientFactory([this]() -> std::shared_ptr<rtc::IRTCClient2> {
        auto engine = std::make_shared<ScriptedRtc>();
        if (m_configure) m_configure(*engine);
        m_created.append(engine);
        return engine;
    });
}

ScriptedRtcFactory::~ScriptedRtcFactory() {
    rtc::setClientFactory({});
}

} // namespace testrtc
