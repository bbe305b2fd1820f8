#pragma once
// A scripted call engine for tests: it answers from values the test sets, fails the operations
// the test names (with vb::VbError), records every operation called on it, and lets the test
// fire events into the sink.
#include "call/rtc/Rtc.h"
#include "call/rtc/RtcEvents.h"

#include <QMap>
#include <QStringList>
#include <memory>

namespace testrtc {

class ScriptedRtc;

// Shared by the engine and its sessions: the operations called, in order, as "Operation(arg, arg)"
// texts, sessions' as "Session1.Answer()"; getters, windows and the settings a test reads back
// directly are not recorded.
struct CallLog {
    QStringList calls;
    QMap<QString, int> failures; // operation name -> error number
    // Records the call, then throws when the operation is set to fail.
    void enter(const QString& operation, const QStringList& args = {});
    // How many recorded calls start with `prefix` (e.g. "PlayRing(0, 1)" or "Session1.Terminate").
    int count(const QString& prefix) const;
};

inline QString num(long value) {
    return QString::number(value);
}

class ScriptedVideoWindow final : public rtc::IVideoWindow {
public:
    void put_WindowStyle(long) override {}
    void put_Owner(QWidget* owner) override { m_owner = owner; }
    void SetWindowPosition(long, long, long, long) override {}
    void put_Visible(long visible) override { m_visible = visible; }
    long get_Visible() const override { return m_visible; }
    QWidget* get_Owner() const override { return m_owner; }

private:
    QWidget* m_owner = nullptr;
    long m_visible = 0;
};

class ScriptedSession final : public rtc::IRTCSession2 {
public:
    ScriptedSession(std::weak_ptr<ScriptedRtc> client, std::shared_ptr<CallLog> log, QString name)
        : m_client(std::move(client)), m_log(std::move(log)), m_name(std::move(name)) {}
    std::shared_ptr<rtc::IRTCParticipant> AddParticipant(const QString& address, const QString& name) override;
    void RemoveParticipant(const std::shared_ptr<rtc::IRTCParticipant>& participant) override;
    void Answer() override { m_log->enter(m_name + QStringLiteral(".Answer")); }
    void Terminate(long reason) override { m_log->enter(m_name + QStringLiteral(".Terminate"), {num(reason)}); }
    long get_State() const override { return state; }
    rtc::CallFigures get_CallFigures() const override { return figures; }
    std::shared_ptr<rtc::IRTCClient2> get_Client() const override;
    std::shared_ptr<rtc::IRTCCollection> get_Participants() const override {
        return std::make_shared<rtc::ParticipantList>(participants);
    }

    // "Session1", "Session2", … in the order the engine made them.
    const QString& name() const { return m_name; }
    long state = rtc::RTCSS_IDLE;
    rtc::CallFigures figures; // how the call fares, as the test says
    QList<std::shared_ptr<rtc::IRTCParticipant>> participants;

private:
    std::weak_ptr<ScriptedRtc> m_client;
    std::shared_ptr<CallLog> m_log;
    QString m_name;
};

class ScriptedRtc final : public rtc::IRTCClient2, public std::enable_shared_from_this<ScriptedRtc> {
public:
    // What the engine answers and what the program set.
    long mediaCapabilities =
        rtc::RTCMT_AUDIO_SEND | rtc::RTCMT_AUDIO_RECEIVE | rtc::RTCMT_VIDEO_SEND | rtc::RTCMT_VIDEO_RECEIVE;
    QStringList externalAddresses;
    QStringList internalAddresses{QStringLiteral("127.0.0.1:5060")};
    bool preferredAEC = true;
    long preferredMedia = 0;
    long listenMode = rtc::RTCLM_NONE;
    long eventFilter = 0;
    long speakerVolume = 32768;
    long microphoneVolume = 32768;
    bool speakerMuted = false;
    bool microphoneMuted = false;

    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    const QStringList& calls() const { return log->calls; }
    int count(const QString& prefix) const { return log->count(prefix); }
    void failOn(const QString& operation, int number = rtc::kRtcErrFail) { log->failures[operation] = number; }
    void clearFailures() { log->failures.clear(); }
    QList<std::shared_ptr<ScriptedSession>> sessions; // every session made, in order
    std::shared_ptr<ScriptedVideoWindow> preview = std::make_shared<ScriptedVideoWindow>();
    std::shared_ptr<ScriptedVideoWindow> receive = std::make_shared<ScriptedVideoWindow>();

    // Events, handed to the sink now (when the filter admits them); return whether they went.
    bool fire(long kind, std::shared_ptr<rtc::IRTCEvent> event);
    bool fireSessionState(const std::shared_ptr<ScriptedSession>& session, long state, long statusCode = 0);
    // A new session that comes in from `uri`: made here, its INCOMING state not yet fired.
    std::shared_ptr<ScriptedSession> incomingSession(const QString& uri = QStringLiteral("sip:peer@127.0.0.2:5060"),
                                                     const QString& name = QStringLiteral("peer"));

    void InitializeEx(long flags) override { log->enter(QStringLiteral("InitializeEx"), {num(flags)}); }
    void put_EventFilter(long filter) override { eventFilter = filter; }
    long get_EventFilter() const override { return eventFilter; }
    void setEventSink(rtc::EventSink sink) override {
        log->enter(QStringLiteral("setEventSink"));
        m_sink = std::move(sink);
    }
    long get_MediaCapabilities() const override { return mediaCapabilities; }
    QStringList get_NetworkAddresses(bool tcp, bool external) const override {
        return tcp ? QStringList() : external ? externalAddresses : internalAddresses;
    }
    void put_ListenForIncomingSessions(long mode) override { listenMode = mode; }
    long get_ListenForIncomingSessions() const override { return listenMode; }
    void SetPreferredMediaTypes(long mediaTypes, bool) override { preferredMedia = mediaTypes; }
    long get_PreferredMediaTypes() const override { return preferredMedia; }
    void put_PreferredAEC(bool enable) override { preferredAEC = enable; }
    bool get_PreferredAEC() const override { return preferredAEC; }
    long get_Volume(long device) const override {
        return device == rtc::RTCAD_SPEAKER ? speakerVolume : microphoneVolume;
    }
    void put_Volume(long device, long volume) override {
        (device == rtc::RTCAD_SPEAKER ? speakerVolume : microphoneVolume) = volume;
    }
    void put_AudioMuted(long device, bool muted) override {
        (device == rtc::RTCAD_SPEAKER ? speakerMuted : microphoneMuted) = muted;
    }
    bool get_AudioMuted(long device) const override {
        return device == rtc::RTCAD_SPEAKER ? speakerMuted : microphoneMuted;
    }
    std::shared_ptr<rtc::IVideoWindow> get_IVideoWindow(long device) override {
        return device == rtc::RTCVD_PREVIEW ? preview : receive;
    }
    std::shared_ptr<rtc::IRTCSession2> CreateSession(long type, const QString& localPhoneUri, long flags) override {
        log->enter(QStringLiteral("CreateSession"), {num(type), localPhoneUri, num(flags)});
        return newSession();
    }
    void PlayRing(long type, bool play) override { log->enter(QStringLiteral("PlayRing"), {num(type), num(play)}); }
    QString get_LocalUserName() const override { return QStringLiteral("tester"); }
    QString get_LocalUserURI() const override { return QStringLiteral("sip:tester@127.0.0.1:5060"); }
    void SetLocalIdentity(const QString&, const QString&) override {}
    long get_NetworkQuality() const override { return 100; }
    void InvokeTuningWizardEx(QWidget*, bool, bool) override { log->enter(QStringLiteral("InvokeTuningWizardEx")); }
    void PrepareForShutdown() override { log->enter(QStringLiteral("PrepareForShutdown")); }
    void Shutdown() override { log->enter(QStringLiteral("Shutdown")); }

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

private:
    std::function<void(ScriptedRtc&)> m_configure;
    QList<std::shared_ptr<ScriptedRtc>> m_created;
};

} // namespace testrtc
