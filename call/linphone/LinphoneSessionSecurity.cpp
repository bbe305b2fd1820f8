// The security side of a liblinphone session: how its media are protected, the short
// authentication string of ZRTP, and the user's verdict on it.
#include "call/linphone/LinphoneEngine.h"
#include "call/linphone/LinphoneSession.h"
#include "call/rtc/RtcEvents.h"
#include "platform/vb.h"

#include <QTimer>
#include <linphone++/linphone.hh>
#include <linphone/core.h>
#include <mediastreamer2/mediastream.h>
#include <mediastreamer2/ms_srtp.h>

// The media stream of a call, exported by the call library though declared only in its test header.
extern "C" MediaStream* linphone_call_get_stream(LinphoneCall* call, LinphoneStreamType type);

namespace rtc {

namespace {

MediaProtection protectionOf(linphone::MediaEncryption encryption) {
    switch (encryption) {
    case linphone::MediaEncryption::ZRTP:
        return MediaProtection::Zrtp;
    case linphone::MediaEncryption::SRTP:
        return MediaProtection::Srtp;
    case linphone::MediaEncryption::DTLS:
        return MediaProtection::Dtls;
    case linphone::MediaEncryption::None:
        break;
    }
    return MediaProtection::None;
}

} // namespace

bool LinphoneSession::keptAsVerified() const {
    // ZRTP reports a string as verified only once both ends have confirmed it. The user's own
    // confirmation is kept with the peer's key, and a key that no longer matches what was kept
    // clears it; so while the kept mark stands, the peer is the one the user verified, whether or
    // not the peer confirmed on its side. The secrets are filed under "sip:user@host" of the
    // remote address, as the call library writes it ("(null)" for a missing user part).
    const auto eng = m_engine.lock();
    const auto remote = m_call->getRemoteAddress();
    if (!eng || !eng->isRunning() || !remote) return false;
    const std::string user = remote->getUsername().empty() ? std::string("(null)") : remote->getUsername();
    const std::string uri = remote->getScheme() + ":" + user + "@" + remote->getDomain();
    return eng->core().getZrtpStatus(uri) == linphone::ZrtpPeerStatus::Valid;
}

CallSecurity LinphoneSession::readSecurity(bool keyExchangeOver) const {
    CallSecurity security;
    if (!m_call) return security;
    const auto current = m_call->getCurrentParams();
    const MediaProtection now = current ? protectionOf(current->getMediaEncryption()) : MediaProtection::None;
    if (now == MediaProtection::Zrtp) {
        // ZRTP counts once its key exchange has given both ends the string to compare.
        security.sas = QString::fromStdString(m_call->getAuthenticationToken());
        if (!security.sas.isEmpty()) {
            security.protection = now;
            security.sasVerified = m_call->getAuthenticationTokenVerified() || keptAsVerified();
            return security;
        }
    } else if (now != MediaProtection::None) {
        security.protection = now;
        return security;
    }
    // Nothing protects the media yet. ZRTP starts inside the media path whatever the peer said in
    // its offer or answer (many peers do not announce it), so the peer gets the time of a key
    // exchange before the call counts as not encrypted.
    security.protection = keyExchangeOver ? MediaProtection::None : MediaProtection::Unknown;
    return security;
}

void LinphoneSession::updateSecurity(const CallSecurity& now) {
    if (now == m_security) return;
    m_security = now;
    if (auto eng = m_engine.lock())
        eng->post(RTCE_SESSION_SECURITY, std::make_shared<SecurityEventData>(shared_from_this(), now));
}

void LinphoneSession::settleProtection() {
    if (m_state == RTCSS_DISCONNECTED || !m_call) return;
    const CallSecurity now = readSecurity(m_keyExchangeOver);
    if (now.protection == MediaProtection::None) {
        const auto eng = m_engine.lock();
        if (eng && !eng->encryptedOnly()) releaseClearMedia();
    }
    updateSecurity(now);
    if (now.protection != MediaProtection::Unknown || m_keyExchangeOver) return;
    std::weak_ptr<LinphoneSession> weak = weak_from_this();
    QTimer::singleShot(kKeyExchangeMs, [weak] {
        auto self = weak.lock();
        if (!self || self->m_keyExchangeOver) return;
        self->m_keyExchangeOver = true;
        self->settleProtection();
    });
}

void LinphoneSession::releaseClearMedia() {
    for (const LinphoneStreamType type : {LinphoneStreamTypeAudio, LinphoneStreamTypeVideo})
        if (MediaStream* stream = linphone_call_get_stream(m_call->cPtr(), type))
            ms_media_stream_sessions_set_encryption_mandatory(&stream->sessions, FALSE);
}

void LinphoneSession::onEncryptionChanged() {
    if (m_state == RTCSS_DISCONNECTED || !m_call) return;
    updateSecurity(readSecurity(m_keyExchangeOver));
}

void LinphoneSession::put_SasVerified(bool verified) {
    if (!m_call || m_security.protection != MediaProtection::Zrtp || m_state == RTCSS_DISCONNECTED)
        vb::raise(kRtcErrUnexpected, QStringLiteral("This call has no short authentication string to verify."));
    m_call->setAuthenticationTokenVerified(verified);
    CallSecurity now = m_security;
    now.sasVerified = verified;
    updateSecurity(now);
}

} // namespace rtc
