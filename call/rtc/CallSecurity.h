#pragma once
// Whether a call's voice and pictures are encrypted, and how. Engines that encrypt media give
// their sessions the IRTCSessionSecurity side and their clients the IRTCClientSecurity side; the
// program asks for them with dynamic_pointer_cast, so an engine that knows nothing of encryption
// (the tests' scripted one) still works, and its calls simply show no security state.
#include "call/rtc/Rtc.h"

#include <QString>
#include <memory>
#include <utility>

namespace rtc {

// How the media of a call are protected.
enum class MediaProtection {
    Unknown, // not settled yet: the call is being set up, or its key exchange is still running
    None,    // plain RTP: anyone on the path can listen
    Zrtp,    // SRTP keyed by ZRTP inside the media path; the short authentication string proves it
    Srtp,    // SRTP keyed in the call's signalling (SDES), which itself travels in the clear
    Dtls,    // SRTP keyed by a DTLS handshake inside the media path
};

struct CallSecurity {
    MediaProtection protection = MediaProtection::Unknown;
    // ZRTP: the short authentication string both ends show, to be read aloud and compared.
    QString sas;
    // ZRTP: the engine holds this peer's key as verified by the user in an earlier call, and the
    // secret kept from then matched again.
    bool sasVerified = false;

    bool encrypted() const {
        return protection == MediaProtection::Zrtp || protection == MediaProtection::Srtp ||
               protection == MediaProtection::Dtls;
    }
    bool operator==(const CallSecurity&) const = default;
};

// "ZRTP", "SRTP", "DTLS-SRTP", "not encrypted", or "" while unknown: how the history names it.
QString protectionName(MediaProtection protection);

// Event kind of a change of a session's security. Beyond the kinds of Rtc.h; admitted by its bit
// of the event filter like any other kind.
inline constexpr long RTCE_SESSION_SECURITY = 20;
inline constexpr long kSecurityEventFilter = 1L << RTCE_SESSION_SECURITY;

class IRTCSessionSecurity {
public:
    virtual ~IRTCSessionSecurity() = default;
    virtual CallSecurity get_Security() const = 0;
    // The user read the short authentication string aloud and it matched (or, with false, did
    // not): the engine keeps that for the peer's key, so later calls with the same key are
    // verified without reading it again.
    virtual void put_SasVerified(bool verified) = 0;
};

class IRTCClientSecurity {
public:
    virtual ~IRTCClientSecurity() = default;
    // Where the engine keeps the secrets it shares with each peer it has talked to, which is
    // what tells a known key from a changed one. Set before InitializeEx; without it every call
    // starts as with a stranger.
    virtual void put_SecretsFile(const QString& path) = 0;
    // Media go out only encrypted: nothing is sent in the clear while a key exchange runs, and
    // a call that cannot be encrypted carries nothing at all.
    virtual void put_EncryptedOnly(bool encryptedOnly) = 0;
};

class IRTCSecurityEvent : public IRTCEvent {
public:
    virtual std::shared_ptr<IRTCSession2> get_Session() const = 0;
    virtual CallSecurity get_Security() const = 0;
};

class SecurityEventData final : public IRTCSecurityEvent {
public:
    SecurityEventData(std::shared_ptr<IRTCSession2> session, CallSecurity security)
        : m_session(std::move(session)), m_security(std::move(security)) {}
    std::shared_ptr<IRTCSession2> get_Session() const override { return m_session; }
    CallSecurity get_Security() const override { return m_security; }

private:
    std::shared_ptr<IRTCSession2> m_session;
    CallSecurity m_security;
};

} // namespace rtc
