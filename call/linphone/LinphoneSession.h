#pragma once
// A session of the liblinphone engine: one SIP call, placed by AddParticipant or received.
// It turns liblinphone's call states into the session states the program knows, each reported
// once and in order (outgoing: INPROGRESS, CONNECTED, DISCONNECTED; incoming: INCOMING,
// ANSWERING, CONNECTED, DISCONNECTED; HOLD and REFER in between), and reports the media
// streams that start and stop.
#include "call/rtc/CallSecurity.h"
#include "call/rtc/Rtc.h"

#include <QList>
#include <memory>
#include <string>

namespace linphone {
class Call;
}

namespace rtc {

class LinphoneEngine;

class LinphoneSession final : public IRTCSession2,
                              public IRTCSessionSecurity,
                              public std::enable_shared_from_this<LinphoneSession> {
public:
    explicit LinphoneSession(std::weak_ptr<LinphoneEngine> engine);
    ~LinphoneSession() override;

    // IRTCSession2
    std::shared_ptr<IRTCParticipant> AddParticipant(const QString& address, const QString& name) override;
    void RemoveParticipant(const std::shared_ptr<IRTCParticipant>& participant) override;
    void Answer() override;
    void Terminate(long reason) override;
    long get_State() const override { return m_state; }
    // Being set up or torn down: each step waits on the engine's next iteration.
    bool settling() const { return m_state != RTCSS_CONNECTED && m_state != RTCSS_INCOMING; }
    std::shared_ptr<IRTCClient2> get_Client() const override;
    std::shared_ptr<IRTCCollection> get_Participants() const override;
    long get_MediaPath() const override;
    CallFigures get_CallFigures() const override;

    // IRTCSessionSecurity (LinphoneSessionSecurity.cpp)
    CallSecurity get_Security() const override { return m_security; }
    void put_SasVerified(bool verified) override;

    // ---- For the engine ----
    // Binds the session to its call; an incoming call brings its caller as the participant.
    void attach(const std::shared_ptr<linphone::Call>& call, bool incoming);
    const std::shared_ptr<linphone::Call>& call() const { return m_call; }
    // A new liblinphone state of the call (a linphone::Call::State value).
    void onCallState(int linphoneState, const std::string& message);
    // Ends the session without a word to the peer (the engine is shutting down).
    void abandon();
    // The media bits whose streams run now.
    long activeMedia() const { return m_activeMedia; }
    // Maps a termination reason to what liblinphone sends for an unanswered incoming call.
    static int declineReasonFor(long reason);
    // liblinphone reports that the call's media encryption went on or off.
    void onEncryptionChanged();
    // How long a key exchange inside the media path may take once the streams run: a call not
    // encrypted by then is not encrypted.
    static constexpr int kKeyExchangeMs = 5000;
    // How long a call placed here waits for the other side to ring: an address where nothing
    // answers (the other party quit, or the computer is gone) is given up as unreachable, rather
    // than after the SIP transaction's 32 s.
    static constexpr int kSilentAddressMs = 10000;

private:
    std::shared_ptr<LinphoneEngine> engine() const;
    void report(long state, long statusCode = 0, const QString& statusText = {});
    // Compares the running streams with what was reported and reports the difference.
    void reportMedia(long reason);
    void stopAllMedia(long reason);
    long runningMedia() const;
    // The streams run: the protection is read now, and again once the key exchange had its time.
    void settleProtection();
    CallSecurity readSecurity(bool keyExchangeOver) const;
    // The user confirmed this peer's key in an earlier call, and the key still matches.
    bool keptAsVerified() const;
    // The key exchange is over and found no way of encrypting: the streams, held back until now,
    // may carry the call in the clear.
    void releaseClearMedia();
    // Reports the security when it changed.
    void updateSecurity(const CallSecurity& now);
    // Our call was placed: nothing heard from the other side in kSilentAddressMs ends it.
    void awaitRinging();

    std::weak_ptr<LinphoneEngine> m_engine;
    std::shared_ptr<linphone::Call> m_call;
    long m_state = RTCSS_IDLE;
    bool m_incoming = false;
    bool m_onHold = false;
    long m_activeMedia = 0;
    QList<std::shared_ptr<IRTCParticipant>> m_participants;
    CallSecurity m_security;
    bool m_keyExchangeOver = false;
    bool m_rang = false;   // the other side of our call rang, answered or said no
    bool m_gaveUp = false; // our call was ended after kSilentAddressMs without a word from there
};

} // namespace rtc
