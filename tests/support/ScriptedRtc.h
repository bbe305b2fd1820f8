#pragma once
// A scripted call engine for tests: it answers from values the test sets, fails the operations
// the test names (with vb::VbError), records every operation called on it, and lets the test
// fire events into the sink, at once or through the event loop.
#include "call/rtc/Rtc.h"
#include "call/rtc/RtcEvents.h"

#include <QMap>
#include <QRect>
#include <QStringList>
#include <memory>

namespace testrtc {

class ScriptedRtc;

// Shared by the engine and its sessions and windows: the operations called, in order, as
// "Operation(arg, arg)" texts, sessions as "Session1.Answer()", windows as "Preview.put_Visible(1)".
struct CallLog {
    QStringList calls;
    QMap<QString, int> failures; // operation name -> error number
    // Records the call, then throws when the operation is set to fail.
    void enter(const QString& operation, const QStringList& args = {});
    // How many recorded calls start with `prefix` (e.g. "PlayRing(0, 1)" or "Session1.Terminate").
    int count(const QString& prefix) const;
};

class ScriptedVideoWindow final : public rtc::IVideoWindow {
public:
    ScriptedVideoWindow(std::shared_ptr<CallLog> log, QString name) : m_log(std::move(log)), m_name(std::move(name)) {}
    void put_WindowStyle(long value) override;
    void put_Owner(QWidget* owner) override;
    void SetWindowPosition(long left, long top, long width, long height) override;
    void put_Visible(long visible) override;
    long get_Visible() const override { return m_visible; }
    QWidget* get_Owner() const override { return m_owner; }
    long style = 0;
    QRect position;

private:
    std::shared_ptr<CallLog> m_log;
    QString m_name;
    QWidget* m_owner = nullptr;
    long m_visible = 0;
};

class ScriptedSession final : public rtc::IRTCSession2 {
public:
    ScriptedSession(std::weak_ptr<ScriptedRtc> client, std::shared_ptr<CallLog> log, QString name);
    std::shared_ptr<rtc::IRTCParticipant> AddParticipant(const QString& address, const QString& name) override;
    void RemoveParticipant(const std::shared_ptr<rtc::IRTCParticipant>& participant) override;
    void Answer() override;
    void Terminate(long reason) override;
    long get_State() const override;
    std::shared_ptr<rtc::IRTCClient2> get_Client() const override;
    std::shared_ptr<rtc::IRTCCollection> get_Participants() const override;

    // "Session1", "Session2", … in the order the engine made them.
    const QString& name() const { return m_name; }
    long state = rtc::RTCSS_IDLE;
    QList<std::shared_ptr<rtc::IRTCParticipant>> participants;

private:
    std::weak_ptr<ScriptedRtc> m_client;
    std::shared_ptr<CallLog> m_log;
    QString m_name;
};

class ScriptedRtc final : public rtc::IRTCClient2, public std::enable_shared_from_this<ScriptedRtc> {
public:
    ScriptedRtc();

    // ---- What the engine answers ----
    long mediaCapabilities =
        rtc::RTCMT_AUDIO_SEND | rtc::RTCMT_AUDIO_RECEIVE | rtc::RTCMT_VIDEO_SEND | rtc::RTCMT_VIDEO_RECEIVE;
    QStringList externalAddresses;
    QStringList internalAddresses{QStringLiteral("127.0.0.1:5060")};
    QString localUserName = QStringLiteral("tester");
    QString localUserUri = QStringLiteral("sip:tester@127.0.0.1:5060");
    long networkQuality = 100;
    bool preferredAEC = true;
    long preferredMedia = 0;
    long listenMode = rtc::RTCLM_NONE;
    long eventFilter = 0;
    long speakerVolume = 32768;
    long microphoneVolume = 32768;
    bool speakerMuted = false;
    bool microphoneMuted = false;

    // ---- What the test sees ----
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    const QStringList& calls() const { return log->calls; }
    int count(const QString& prefix) const { return log->count(prefix); }
    void failOn(const QString& operation, int number = rtc::kRtcErrFail) { log->failures[operation] = number; }
    void clearFailures() { log->failures.clear(); }
    QList<std::shared_ptr<ScriptedSession>> sessions; // every session made, in order
    std::shared_ptr<ScriptedVideoWindow> preview;
    std::shared_ptr<ScriptedVideoWindow> receive;

    // ---- Events ----
    // Hands the event to the sink now (when the filter admits it); returns whether it went.
    bool fire(long kind, std::shared_ptr<rtc::IRTCEvent> event);
    bool fireSessionState(const std::shared_ptr<ScriptedSession>& session, long state, long statusCode = 0);
    bool fireMedia(long type, long mediaType, long reason = rtc::RTCMER_NORMAL);
    bool fireClient(long type);
    bool fireRegistration(long state, long statusCode, const QString& profileName = {}, const QString& uri = {});
    bool fireOperationComplete(long statusCode, const QString& statusText);
    bool fireIntensity(long level, long direction = 0);
    // A new session that comes in from `uri`: made here, its INCOMING state not yet fired.
    std::shared_ptr<ScriptedSession> incomingSession(const QString& uri = QStringLiteral("sip:peer@127.0.0.2:5060"),
                                                     const QString& name = QStringLiteral("peer"));

    // ---- IRTCClient2 ----
    void InitializeEx(long flags) override;
    void put_EventFilter(long filter) override;
    long get_EventFilter() const override { return eventFilter; }
    void setEventSink(rtc::EventSink sink) override;
    long get_MediaCapabilities() const override;
    QStringList get_NetworkAddresses(bool tcp, bool external) const override;
    void put_ListenForIncomingSessions(long mode) override;
    long get_ListenForIncomingSessions() const override { return listenMode; }
    void SetPreferredMediaTypes(long mediaTypes, bool persistent) override;
    long get_PreferredMediaTypes() const override { return preferredMedia; }
    void put_PreferredAEC(bool enable) override;
    bool get_PreferredAEC() const override;
    long get_Volume(long device) const override;
    void put_Volume(long device, long volume) override;
    void put_AudioMuted(long device, bool muted) override;
    bool get_AudioMuted(long device) const override;
    std::shared_ptr<rtc::IVideoWindow> get_IVideoWindow(long device) override;
    std::shared_ptr<rtc::IRTCSession2> CreateSession(long type, const QString& localPhoneUri, long flags) override;
    void PlayRing(long type, bool play) override;
    QString get_LocalUserName() const override;
    QString get_LocalUserURI() const override;
    long get_NetworkQuality() const override;
    void InvokeTuningWizardEx(QWidget* parent, bool allowAudio, bool allowVideo) override;
    void PrepareForShutdown() override;
    void Shutdown() override;

private:
    std::shared_ptr<ScriptedSession> newSession();
    rtc::EventSink m_sink;
};

// Installs a factory that hands out scripted engines for as long as it lives; afterwards no
// engine is installed. `configure` runs on each engine before the program gets it.
class ScriptedRtcFactory {
public:
    explicit ScriptedRtcFactory(std::function<void(ScriptedRtc&)> configure = {});
    ~ScriptedRtcFactory();
    ScriptedRtcFactory(const ScriptedRtcFactory&) = delete;
    ScriptedRtcFactory& operator=(const ScriptedRtcFactory&) = delete;

    // Every engine handed out, in order; last() is the one the program is using.
    const QList<std::shared_ptr<ScriptedRtc>>& created() const { return m_created; }
    std::shared_ptr<ScriptedRtc> last() const { return m_created.isEmpty() ? nullptr : m_created.last(); }
    // Make the factory hand out nothing, as when no engine can be created.
    void failCreation(bool fail) { m_fail = fail; }

private:
    std::function<void(ScriptedRtc&)> m_configure;
    QList<std::shared_ptr<ScriptedRtc>> m_created;
    bool m_fail = false;
};

} // namespace testrtc
