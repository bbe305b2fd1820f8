// The engine's media encryption: ZRTP offered on every call, the peers' secrets kept in the
// program's file, and media held back until they are encrypted for users who want nothing else.
#include "call/linphone/LinphoneEngine.h"
#include "call/rtc/RtcEvents.h"
#include "platform/PrivateFiles.h"
#include "platform/vb.h"

#include <linphone++/linphone.hh>
#include <linphone/call_params.h>

namespace rtc {

void LinphoneEngine::put_SecretsFile(const QString& path) {
    if (m_initialized) vb::raise(kRtcErrUnexpected, QStringLiteral("The secrets file is chosen before start-up."));
    m_secretsFile = path;
}

void LinphoneEngine::put_EncryptedOnly(bool encryptedOnly) {
    m_encryptedOnly = encryptedOnly;
}

void LinphoneEngine::applyEncryption() {
    if (!m_secretsFile.isEmpty()) {
        // The secrets kept with each peer are what a later call checks the peer's key against:
        // they are the user's alone, like every file of theirs.
        privatefiles::prepareFile(m_secretsFile);
        m_core->setZrtpSecretsFile(m_secretsFile.toStdString());
    }
    // Calls offer ZRTP, which keys SRTP inside the media path (so no server and no one reading
    // the signalling learns the keys) and gives both ends a short string to compare. A peer's
    // offer of SRTP keyed in the signalling (SDES) or by DTLS is taken as it comes.
    if (m_core->mediaEncryptionSupported(linphone::MediaEncryption::ZRTP))
        m_core->setMediaEncryption(linphone::MediaEncryption::ZRTP);
    // Not for the whole engine: an engine whose ZRTP is mandatory turns away offers of SDES and
    // DTLS-SRTP. Each call holds its media back instead (holdClearMedia).
    m_core->setMediaEncryptionMandatory(false);
}

void LinphoneEngine::holdClearMedia(const std::shared_ptr<linphone::CallParams>& params) {
    // Nothing goes out in the clear while the keys are being agreed: the streams drop what they
    // cannot encrypt. A call whose peer turns out to have no way of encrypting is released
    // afterwards, unless the user takes encrypted calls only (LinphoneSession::settleProtection).
    linphone_call_params_enable_mandatory_media_encryption(params->cPtr(), TRUE);
}

} // namespace rtc
