#include "call/linphone/LinphoneSession.h"

#include "call/linphone/LinphoneEngine.h"
#include "call/linphone/VideoWindow.h"
#include "call/rtc/CallerOrigin.h"
#include "call/rtc/RtcEvents.h"
#include "platform/vb.h"

#include <QTimer>
#include <linphone++/linphone.hh>
#include <linphone/core.h>

namespace rtc {

namespace {

using State = linphone::Call::State;

long directionBits(linphone::MediaDirection direction, long sendBit, long receiveBit) {
    switch (direction) {
    case linphone::MediaDirection::SendRecv:
        return sendBit | receiveBit;
    case linphone::MediaDirection::SendOnly:
        return sendBit;
    case linphone::MediaDirection::RecvOnly:
        return receiveBit;
    default:
        return 0;
    }
}

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

LinphoneSession::LinphoneSession(std::weak_ptr<LinphoneEngine> engine) : m_engine(std::move(engine)) {}

LinphoneSession::~LinphoneSession() = default;

std::shared_ptr<LinphoneEngine> LinphoneSession::engine() const {
    auto engine = m_engine.lock();
    if (!engine) vb::raise(kRtcErrUnexpected, QStringLiteral("The call engine has been released."));
    return engine;
}

std::shared_ptr<IRTCClient2> LinphoneSession::get_Client() const {
    return engine();
}

std::shared_ptr<IRTCCollection> LinphoneSession::get_Participants() const {
    return std::make_shared<ParticipantList>(m_participants);
}

std::shared_ptr<IRTCParticipant> LinphoneSession::AddParticipant(const QString& address, const QString& name) {
    auto eng = engine();
    eng->requireRunning();
    if (m_call || m_state != RTCSS_IDLE || !m_participants.isEmpty())
        vb::raise(kRtcErrUnexpected, QStringLiteral("A PC-to-PC session takes one participant."));
    auto participant = std::make_shared<ParticipantData>(name, address);
    m_participants.append(participant);
    try {
        eng->invite(shared_from_this(), address);
    } catch (...) {
        m_participants.removeAll(participant);
        throw;
    }
    return participant;
}

void LinphoneSession::RemoveParticipant(const std::shared_ptr<IRTCParticipant>& participant) {
    const auto found = m_participants.indexOf(participant);
    if (!participant || found < 0)
        vb::raise(kRtcErrInvalidArg, QStringLiteral("The participant is not part of this session."));
    m_participants.removeAt(found);
    // Without its one participant a PC-to-PC call has nobody left to talk to.
    if (m_call && m_state != RTCSS_DISCONNECTED) Terminate(RTCTR_NORMAL);
}

void LinphoneSession::Answer() {
    auto eng = engine();
    eng->requireRunning();
    if (!m_call || !m_incoming || m_state != RTCSS_INCOMING)
        vb::raise(kRtcErrUnexpected, QStringLiteral("There is no incoming call to answer."));
    // ANSWERING goes out before accepting: liblinphone may report the call connected at once.
    report(RTCSS_ANSWERING);
    eng->pace();
    const int status = m_call->acceptWithParams(eng->paramsFor(m_call));
    releaseDrawingContext(); // the answered call's video may have started right here
    if (status != 0) vb::raise(kRtcErrFail, QStringLiteral("The call could not be answered."));
}

int LinphoneSession::declineReasonFor(long reason) {
    switch (reason) {
    case RTCTR_BUSY:
        return int(linphone::Reason::Busy); // 486 Busy Here
    case RTCTR_DND:
        return int(linphone::Reason::DoNotDisturb); // 600 Busy Everywhere
    case RTCTR_TIMEOUT:
    case RTCTR_SHUTDOWN:
        return int(linphone::Reason::TemporarilyUnavailable); // 480 Temporarily Unavailable
    case RTCTR_NORMAL:
    case RTCTR_REJECT:
    default:
        return int(linphone::Reason::Declined); // 603 Decline
    }
}

void LinphoneSession::Terminate(long reason) {
    if (reason < RTCTR_NORMAL || reason > RTCTR_SHUTDOWN)
        vb::raise(kRtcErrInvalidArg, QStringLiteral("Unknown termination reason."));
    if (m_state == RTCSS_DISCONNECTED) return;
    if (!m_call) {
        // A session that never placed a call ends at once.
        report(RTCSS_DISCONNECTED);
        return;
    }
    const State callState = m_call->getState();
    if (callState == State::End || callState == State::Released || callState == State::Error) return;
    int status = 0;
    if (m_incoming && m_state == RTCSS_INCOMING)
        status = m_call->decline(static_cast<linphone::Reason>(declineReasonFor(reason)));
    else
        status = m_call->terminate(); // CANCEL before the answer, BYE after it
    if (status != 0) vb::raise(kRtcErrUnexpected, QStringLiteral("The call could not be ended."));
}

void LinphoneSession::attach(const std::shared_ptr<linphone::Call>& call, bool incoming) {
    m_call = call;
    m_incoming = incoming;
    if (incoming && m_participants.isEmpty()) {
        const auto remote = call->getRemoteAddress();
        QString uri;
        if (remote) {
            // A caller that names its host without a port is reached at the port of its contact
            // address; with the port its address reads like a call address of the user list.
            auto identity = remote->clone();
            const auto eng = m_engine.lock();
            const auto contact =
                eng && eng->isRunning() ? eng->core().createAddress(call->getRemoteContact()) : nullptr;
            if (identity->getPort() <= 0 && contact && contact->getPort() > 0 &&
                contact->getDomain() == identity->getDomain())
                identity->setPort(contact->getPort());
            uri = fromStd(identity->asStringUriOnly());
        }
        const QString name = remote ? fromStd(remote->getDisplayName()) : QString();
        const auto owner = m_engine.lock();
        const SipGuard::Origin origin = owner ? owner->originOf(*call) : SipGuard::Origin{};
        m_participants.append(
            std::make_shared<CallerData>(name.isEmpty() ? uri : name, uri, origin.source, origin.contact));
    }
}

void LinphoneSession::report(long state, long statusCode, const QString& statusText) {
    m_state = state;
    if (auto eng = m_engine.lock())
        eng->post(RTCE_SESSION_STATE_CHANGE,
                  std::make_shared<SessionStateEventData>(state, shared_from_this(), statusCode, statusText));
}

CallFigures LinphoneSession::get_CallFigures() const {
    CallFigures figures;
    if (!m_call || m_state != RTCSS_CONNECTED) return figures;
    figures.rating = m_call->getCurrentQuality(); // -1 until the first reports have come
    // The sound tells how the call fares: it flows whether or not there is video. The copy of the
    // figures is taken through the C interface, which lets it go again: the C++ one keeps a
    // reference too many to every copy it hands out, and this is asked every second.
    if (LinphoneCallStats* stats = linphone_call_get_audio_stats(m_call->cPtr())) {
        figures.jitterMs = linphone_call_stats_get_jitter_buffer_size_ms(stats);
        figures.lossPercent = linphone_call_stats_get_local_loss_rate(stats);
        const float roundTrip = linphone_call_stats_get_round_trip_delay(stats); // seconds; negative before any report
        figures.roundTripMs = roundTrip < 0 ? -1 : roundTrip * 1000.0;
        linphone_call_stats_unref(stats);
    }
    return figures;
}

long LinphoneSession::runningMedia() const {
    if (!m_call) return 0;
    const auto params = m_call->getCurrentParams();
    if (!params) return 0;
    long bits = 0;
    if (params->audioEnabled())
        bits |= directionBits(params->getAudioDirection(), RTCMT_AUDIO_SEND, RTCMT_AUDIO_RECEIVE);
    if (params->videoEnabled())
        bits |= directionBits(params->getVideoDirection(), RTCMT_VIDEO_SEND, RTCMT_VIDEO_RECEIVE);
    return bits;
}

void LinphoneSession::reportMedia(long reason) {
    auto eng = m_engine.lock();
    if (!eng) return;
    const long now = runningMedia();
    for (long bit : {RTCMT_AUDIO_SEND, RTCMT_AUDIO_RECEIVE, RTCMT_VIDEO_SEND, RTCMT_VIDEO_RECEIVE}) {
        const bool was = (m_activeMedia & bit) != 0;
        const bool is = (now & bit) != 0;
        if (was == is) continue;
        eng->post(RTCE_MEDIA, std::make_shared<MediaEventData>(is ? RTCMET_STARTED : RTCMET_STOPPED, bit, reason));
    }
    m_activeMedia = now;
}

void LinphoneSession::stopAllMedia(long reason) {
    auto eng = m_engine.lock();
    if (eng)
        for (long bit : {RTCMT_AUDIO_SEND, RTCMT_AUDIO_RECEIVE, RTCMT_VIDEO_SEND, RTCMT_VIDEO_RECEIVE})
            if (m_activeMedia & bit)
                eng->post(RTCE_MEDIA, std::make_shared<MediaEventData>(RTCMET_STOPPED, bit, reason));
    m_activeMedia = 0;
}

void LinphoneSession::onCallState(int linphoneState, const std::string& message) {
    const auto state = static_cast<State>(linphoneState);
    if (m_state == RTCSS_DISCONNECTED) return;
    switch (state) {
    case State::IncomingReceived:
    case State::PushIncomingReceived:
    case State::IncomingEarlyMedia:
        if (m_state == RTCSS_IDLE) report(RTCSS_INCOMING);
        break;
    case State::OutgoingInit:
    case State::OutgoingProgress:
        if (m_state == RTCSS_IDLE) {
            report(RTCSS_INPROGRESS);
            awaitRinging();
        }
        break;
    case State::OutgoingRinging:
    case State::OutgoingEarlyMedia:
        m_rang = true;
        if (m_state == RTCSS_IDLE) report(RTCSS_INPROGRESS);
        break;
    case State::Connected:
        if (m_state != RTCSS_CONNECTED) report(RTCSS_CONNECTED);
        break;
    case State::StreamsRunning: {
        const bool resumed = m_onHold;
        m_onHold = false;
        if (m_state != RTCSS_CONNECTED) report(RTCSS_CONNECTED);
        // The first streams start normally; later changes come from a re-INVITE of either side.
        const long reason = resumed ? RTCMER_HOLD : (m_activeMedia == 0 ? RTCMER_NORMAL : RTCMER_REMOTE_REQUEST);
        reportMedia(reason);
        if (auto eng = m_engine.lock()) eng->applyCallSettings(m_call);
        settleProtection();
        break;
    }
    case State::Paused:
    case State::PausedByRemote:
        m_onHold = true;
        stopAllMedia(RTCMER_HOLD);
        if (m_state != RTCSS_HOLD) report(RTCSS_HOLD);
        break;
    case State::Referred:
        report(RTCSS_REFER);
        break;
    case State::Error:
    case State::End:
    case State::Released: {
        stopAllMedia(RTCMER_NORMAL);
        long code = 0;
        QString text = fromStd(message);
        if (m_gaveUp) {
            code = 408;
            text = QStringLiteral("Nothing answers at the address");
        } else if (m_call) {
            if (const auto info = m_call->getErrorInfo()) {
                code = info->getProtocolCode();
                if (!info->getPhrase().empty()) text = fromStd(info->getPhrase());
            }
        }
        report(RTCSS_DISCONNECTED, code, text);
        // A call we placed that failed tells the program why, after it has seen the session end.
        if (!m_incoming && code >= 300)
            if (auto eng = m_engine.lock())
                eng->post(RTCE_SESSION_OPERATION_COMPLETE, std::make_shared<OperationCompleteEventData>(code, text));
        break;
    }
    default:
        break; // transitions inside a state (pausing, resuming, updating) are not reported
    }
}

void LinphoneSession::awaitRinging() {
    std::weak_ptr<LinphoneSession> weak = weak_from_this();
    QTimer::singleShot(kSilentAddressMs, [weak] {
        auto self = weak.lock();
        if (!self || self->m_rang || self->m_state != RTCSS_INPROGRESS || !self->m_call) return;
        const State callState = self->m_call->getState();
        if (callState != State::OutgoingInit && callState != State::OutgoingProgress) return;
        self->m_gaveUp = true;
        self->m_call->terminate();
    });
}

void LinphoneSession::abandon() {
    m_activeMedia = 0;
    m_state = RTCSS_DISCONNECTED;
}

} // namespace rtc
