#pragma once
// The call engine on liblinphone. One linphone Core per engine, with its own data and config
// folder, iterated by a timer on the UI thread. Events that liblinphone reports are queued and
// handed to the event sink from the event loop, never from inside Core::iterate(), so a handler
// may let events run (and so re-enter the engine) without re-entering liblinphone.
#include "call/linphone/SipGuard.h"
#include "call/rtc/CallSecurity.h"
#include "call/rtc/Rtc.h"
#include "call/rtc/ScreenedPoll.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <map>
#include <memory>

namespace linphone {
class Call;
class CallParams;
class Core;
} // namespace linphone

namespace rtc {

class EnginePace;
class LinphoneSession;
class NatTraversal;
class LinphoneVideoWindow;

class LinphoneEngine final : public IRTCClient2,
                             public IRTCClientSecurity,
                             public std::enable_shared_from_this<LinphoneEngine> {
public:
    // Engines are always shared: sessions and queued events hold on to them.
    static std::shared_ptr<LinphoneEngine> create();
    // What starting an engine does once per process, here ahead of time (from any thread, before
    // the first engine is made, or again: only the first call does anything).
    static void prepareProcess();
    ~LinphoneEngine() override;
    LinphoneEngine(const LinphoneEngine&) = delete;
    LinphoneEngine& operator=(const LinphoneEngine&) = delete;

    // IRTCClient2
    void InitializeEx(long flags) override;
    void put_EventFilter(long filter) override;
    long get_EventFilter() const override { return m_filter; }
    void setEventSink(EventSink sink) override { m_sink = std::move(sink); }
    long get_MediaCapabilities() const override;
    QStringList get_NetworkAddresses(bool tcp, bool external) const override;
    void put_ListenForIncomingSessions(long mode) override;
    long get_ListenForIncomingSessions() const override { return m_listenMode; }
    void SetPreferredMediaTypes(long mediaTypes, bool persistent) override;
    long get_PreferredMediaTypes() const override;
    void put_PreferredAEC(bool enable) override;
    bool get_PreferredAEC() const override;
    long get_Volume(long device) const override;
    void put_Volume(long device, long volume) override;
    void put_AudioMuted(long device, bool muted) override;
    bool get_AudioMuted(long device) const override;
    std::shared_ptr<IVideoWindow> get_IVideoWindow(long device) override;
    std::shared_ptr<IRTCSession2> CreateSession(long type, const QString& localPhoneUri, long flags) override;
    void PlayRing(long type, bool play) override;
    QString get_LocalUserName() const override;
    QString get_LocalUserURI() const override;
    void SetLocalIdentity(const QString& displayName, const QString& email) override;
    long get_NetworkQuality() const override;
    void InvokeTuningWizardEx(QWidget* parent, bool allowAudio, bool allowVideo) override;
    void PrepareForShutdown() override;
    void Shutdown() override;
    void SetCallPaths(const CallPaths& paths, const PublishAddress& publish) override;

    // IRTCClientSecurity
    void put_SecretsFile(const QString& path) override;
    void put_EncryptedOnly(bool encryptedOnly) override;

    // ---- For the sessions of this engine ----
    // Calls that cannot be encrypted carry nothing.
    bool encryptedOnly() const { return m_encryptedOnly; }
    linphone::Core& core() const;
    // Throws unless the engine is initialised and not shut down.
    void requireRunning() const;
    bool isRunning() const { return m_initialized && !m_shutDown && m_core; }
    // Queues an event for the sink; it is delivered from the event loop.
    void post(long kind, std::shared_ptr<IRTCEvent> event);
    // Call parameters for a new outgoing call (call == nullptr) or for answering `call`. The first
    // call with video loads the video plug-ins.
    std::shared_ptr<linphone::CallParams> paramsFor(const std::shared_ptr<linphone::Call>& call);
    // Places a call for `session`; the session learns of its call through the listener.
    std::shared_ptr<linphone::Call> invite(const std::shared_ptr<LinphoneSession>& session, const QString& address);
    // The session that owns `call`, or null.
    std::shared_ptr<LinphoneSession> sessionFor(const linphone::Call* call) const;
    // Sets the engine's pace for the state of its calls (faster while one is set up or torn down).
    void pace();
    // Applies the speaker mute to a call that has just got its streams.
    void applyCallSettings(const std::shared_ptr<linphone::Call>& call) const;
    quint16 sipPort() const { return m_sipPort; }
    // Whether a microphone / loudspeaker exists (without one, calls play and record files).
    bool hasCaptureDevice() const;
    bool hasPlaybackDevice() const;
    // The sound PlayRing plays for an incoming call.
    QString ringFile() const;
    // Folder of this engine's configuration and databases (for tests and the tuning dialog).
    QString dataFolder() const;
    // Where the incoming call was sent from, as the guard of the SIP socket saw its first request.
    SipGuard::Origin originOf(const linphone::Call& call) const;
    // New calls the guard dropped because their source called too often.
    qint64 droppedCalls() const { return m_guard ? m_guard->droppedCalls() : 0; }

private:
    LinphoneEngine();
    class Listener;
    friend class Listener;
    class CallWatcher;
    class ScreenedTurn;
    void reportCallQuality();

    void onCallState(const std::shared_ptr<linphone::Call>& call, int state, const std::string& message);
    void iterate();
    void drain();
    void startCore();
    void loadVideoPlugins();
    void stopCore();
    // "address:port", the first reachable address.
    QString localHost() const;
    // "sip:user@address:port" with the first reachable address.
    QString localUri() const;
    // Tells liblinphone who our calls come from: "Name" <sip:user@address>.
    void applyIdentity();
    // The user part of our SIP address.
    QString userPart() const;
    void postSessionless(long kind, std::shared_ptr<IRTCEvent> event);
    // Every call offers SRTP keyed by ZRTP; offers of SDES and DTLS-SRTP are taken too.
    void applyEncryption();
    // The media of a call with these parameters go out encrypted or not at all.
    static void holdClearMedia(const std::shared_ptr<linphone::CallParams>& params);
    // What the guard refused: a transfer ends the call it came in; everything is reported.
    void onRefused(const SipGuard::Refusal& refusal);
    // A call that no session placed or took: ended at once, and reported.
    void endUnplacedCall(const std::shared_ptr<linphone::Call>& call);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SipGuard> m_guard;
    SetPollScreen m_setPollScreen = programPollScreen();
    bool m_unscreenedPollsTold = false;
    QElapsedTimer m_guardClock;
    // On m_guardClock: when the engine last had work whose freed memory is still to go back to the
    // system; -1 when none is left.
    qint64 m_releaseAfterMs = -1;
    std::shared_ptr<linphone::Core> m_core;
    std::unique_ptr<NatTraversal> m_nat; // once the chat server has told the call paths
    std::shared_ptr<Listener> m_listener;
    std::shared_ptr<CallWatcher> m_callWatcher;
    QElapsedTimer m_reportClock;
    long m_reportedQuality = 100;
    QPointer<EnginePace> m_pace;
    std::deque<std::pair<long, std::shared_ptr<IRTCEvent>>> m_queue;
    EventSink m_sink;
    long m_filter = 0;
    long m_listenMode = RTCLM_NONE;
    long m_preferredMedia = -1; // -1: not set yet, the capabilities apply
    long m_speakerVolume = 32768;
    long m_micVolume = 32768;
    bool m_speakerMuted = false;
    bool m_micMuted = false;
    bool m_initialized = false;
    bool m_shutDown = false;
    bool m_preparedForShutdown = false;
    bool m_pluginsLoaded = false;
    quint16 m_sipPort = 0;
    QString m_displayName;
    QString m_email;
    QString m_secretsFile;
    bool m_encryptedOnly = false;
    // Every session with a live call, by the call it carries.
    std::map<const linphone::Call*, std::shared_ptr<LinphoneSession>> m_sessions;
    // The session whose call is being placed right now (its first states arrive inside invite()).
    std::shared_ptr<LinphoneSession> m_placing;
    std::shared_ptr<LinphoneVideoWindow> m_previewWindow;
    std::shared_ptr<LinphoneVideoWindow> m_receiveWindow;
};

} // namespace rtc
