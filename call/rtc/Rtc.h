#pragma once
// The call engine as the program sees it: the operations, events and constants of an RTC
// client. Every operation reports failure by throwing vb::VbError, the way a COM call fails.
// The engine behind it is chosen by a factory (the liblinphone engine in the program, a
// scripted one in tests).
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QWidget;

namespace rtc {

// Session states.
enum RTC_SESSION_STATE : long {
    RTCSS_IDLE = 0,
    RTCSS_INCOMING = 1,
    RTCSS_ANSWERING = 2,
    RTCSS_INPROGRESS = 3,
    RTCSS_CONNECTED = 4,
    RTCSS_DISCONNECTED = 5,
    RTCSS_HOLD = 6,
    RTCSS_REFER = 7,
};
// Media type bits.
enum RTC_MEDIA_TYPE : long {
    RTCMT_AUDIO_SEND = 1,
    RTCMT_AUDIO_RECEIVE = 2,
    RTCMT_VIDEO_SEND = 4,
    RTCMT_VIDEO_RECEIVE = 8,
    RTCMT_T120_SENDRECV = 16,
};
// Reasons for ending a session.
enum RTC_TERMINATE_REASON : long {
    RTCTR_NORMAL = 0,
    RTCTR_DND = 1,
    RTCTR_BUSY = 2,
    RTCTR_REJECT = 3,
    RTCTR_TIMEOUT = 4,
    RTCTR_SHUTDOWN = 5,
};
// Event kinds and the filter bits that admit them (bit n admits kind n).
enum RTC_EVENT : long {
    RTCE_CLIENT = 0,
    RTCE_REGISTRATION_STATE_CHANGE = 1,
    RTCE_SESSION_STATE_CHANGE = 2,
    RTCE_SESSION_OPERATION_COMPLETE = 3,
    RTCE_PARTICIPANT_STATE_CHANGE = 4,
    RTCE_MEDIA = 5,
    RTCE_INTENSITY = 6,
    RTCE_MESSAGING = 7,
    RTCE_BUDDY = 8,
    RTCE_WATCHER = 9,
};
enum RTC_CLIENT_EVENT_TYPE : long {
    RTCCET_VOLUME_CHANGE = 0,
    RTCCET_DEVICE_CHANGE = 1,
    RTCCET_NETWORK_QUALITY_CHANGE = 2,
    RTCCET_ASYNC_CLEANUP_DONE = 3,
};
enum RTC_MEDIA_EVENT_TYPE : long { RTCMET_STOPPED = 0, RTCMET_STARTED = 1, RTCMET_FAILED = 2 };
enum RTC_MEDIA_EVENT_REASON : long {
    RTCMER_NORMAL = 0,
    RTCMER_HOLD = 1,
    RTCMER_TIMEOUT = 2,
    RTCMER_BAD_DEVICE = 3,
    RTCMER_NO_PORT = 4,
    RTCMER_PORTMAPPING_FAILED = 5,
    RTCMER_REMOTE_REQUEST = 6,
};
enum RTC_REGISTRATION_STATE : long {
    RTCRS_NOT_REGISTERED = 0,
    RTCRS_REGISTERING = 1,
    RTCRS_REGISTERED = 2,
    RTCRS_REJECTED = 3,
    RTCRS_UNREGISTERING = 4,
    RTCRS_ERROR = 5,
    RTCRS_LOGGED_OFF = 6,
    RTCRS_LOCAL_PA_LOGGED_OFF = 7,
    RTCRS_REMOTE_PA_LOGGED_OFF = 8,
};
enum RTC_LISTEN_MODE : long { RTCLM_NONE = 0, RTCLM_DYNAMIC = 1, RTCLM_BOTH = 2 };
enum RTC_SESSION_TYPE : long { RTCST_PC_TO_PC = 0 };
enum RTC_RING_TYPE : long { RTCRT_PHONE = 0, RTCRT_MESSAGE = 1, RTCRT_RINGBACK = 2 };
// Audio devices for volume and mute.
enum RTC_AUDIO_DEVICE : long { RTCAD_SPEAKER = 0, RTCAD_MICROPHONE = 1 };
// Video devices for the video windows.
enum RTC_VIDEO_DEVICE : long { RTCVD_RECEIVE = 0, RTCVD_PREVIEW = 1 };
// Initialisation flag asked for by the program.
inline constexpr long RTCIF_DISABLE_UPNP = 4;
// The filter the program sets: client, registration, session state, operation complete, media, intensity.
inline constexpr long kProgramEventFilter = 0x6F;
// Window style of a video window placed inside another window: child window, clip siblings.
inline constexpr long kVideoChildStyle = 0x44000000;

class IRTCClient2;
class IRTCSession2;

// A video window the engine renders into; placed inside a widget of ours.
class IVideoWindow {
public:
    virtual ~IVideoWindow() = default;
    virtual void put_WindowStyle(long style) = 0;
    // The widget whose native window owns the video; nullptr detaches it.
    virtual void put_Owner(QWidget* owner) = 0;
    virtual void SetWindowPosition(long left, long top, long width, long height) = 0;
    virtual void put_Visible(long visible) = 0; // 1 shown, 0 hidden
    virtual long get_Visible() const = 0;
    virtual QWidget* get_Owner() const = 0;
};

class IRTCParticipant {
public:
    virtual ~IRTCParticipant() = default;
    virtual QString get_Name() const = 0;
    virtual QString get_UserURI() const = 0;
};

// The participants of a session, 1-based like the collection it stands for.
class IRTCCollection {
public:
    virtual ~IRTCCollection() = default;
    virtual long get_Count() const = 0;
    virtual std::shared_ptr<IRTCParticipant> get_Item(long index) const = 0;
};

// How a call fares now, as the engine measures it; a figure it cannot give is negative.
struct CallFigures {
    double rating = -1;      // 0 (bad) to 5 (good)
    double jitterMs = -1;    // what the receiving side buffers to even out late packets
    double lossPercent = -1; // packets lost on the way here
    double roundTripMs = -1;
};

class IRTCSession2 {
public:
    virtual ~IRTCSession2() = default;
    // How the connected call fares now; engines that cannot tell give nothing.
    virtual CallFigures get_CallFigures() const { return {}; }
    // The way the call's media takes, once the engine knows it (see MediaPath); Unknown before,
    // and from engines that do not tell.
    virtual long get_MediaPath() const { return 0; }
    virtual std::shared_ptr<IRTCParticipant> AddParticipant(const QString& address, const QString& name) = 0;
    virtual void RemoveParticipant(const std::shared_ptr<IRTCParticipant>& participant) = 0;
    virtual void Answer() = 0;
    virtual void Terminate(long reason) = 0;
    virtual long get_State() const = 0;
    virtual std::shared_ptr<IRTCClient2> get_Client() const = 0;
    virtual std::shared_ptr<IRTCCollection> get_Participants() const = 0;
};

// Events. Each kind is its own interface, as the program reads them.
class IRTCEvent {
public:
    virtual ~IRTCEvent() = default;
};
class IRTCClientEvent : public IRTCEvent {
public:
    virtual long get_EventType() const = 0;
};
class IRTCSessionStateChangeEvent : public IRTCEvent {
public:
    virtual long get_State() const = 0;
    virtual std::shared_ptr<IRTCSession2> get_Session() const = 0;
    virtual long get_StatusCode() const = 0;
    virtual QString get_StatusText() const = 0;
};
class IRTCMediaEvent : public IRTCEvent {
public:
    virtual long get_EventType() const = 0;
    virtual long get_MediaType() const = 0;
    virtual long get_EventReason() const = 0;
};
class IRTCRegistrationStateChangeEvent : public IRTCEvent {
public:
    virtual long get_State() const = 0;
    virtual long get_StatusCode() const = 0;
    virtual QString get_StatusText() const = 0;
    virtual QString get_ProfileName() const = 0;
    virtual QString get_ProfileUserURI() const = 0;
};
class IRTCSessionOperationCompleteEvent : public IRTCEvent {
public:
    virtual long get_StatusCode() const = 0;
    virtual QString get_StatusText() const = 0;
};
class IRTCIntensityEvent : public IRTCEvent {
public:
    virtual long get_Level() const = 0;
    virtual long get_Direction() const = 0;
};

// The way a call's media takes between the two ends.
enum MediaPath : long {
    MEDIAPATH_UNKNOWN = 0,
    MEDIAPATH_DIRECT = 1,  // straight between the two addresses
    MEDIAPATH_MAPPING = 2, // through the address mappings of one or both ends' routers
    MEDIAPATH_RELAYED = 3, // through a TURN server
    MEDIAPATH_NO_ICE = 4,  // to the address the other end gave, which did not look for another
};

// Where calls find their way through routers, as the chat server tells a signed-in client.
struct CallPaths {
    QString observedAddress; // our network address as the chat server sees it
    QStringList turnServers; // "address:port" of STUN/TURN servers, the first used
    QString turnUser;        // TURN credentials; empty: STUN only
    QString turnPassword;
    QStringList relays;       // "address:port" of SIP relays, our own first; empty: none
    QString relayCallAddress; // "address:port": where calls reach us through our relay
    QString relayUser;        // credentials for registering there
    QString relayPassword;
};
// Told, on the UI thread, the call address others should use from now on.
using PublishAddress = std::function<void(const QString& callAddress)>;

// Receives every event the filter admits, on the UI thread, one at a time.
using EventSink = std::function<void(long kind, std::shared_ptr<IRTCEvent> event)>;

class IRTCClient2 {
public:
    virtual ~IRTCClient2() = default;
    virtual void InitializeEx(long flags) = 0;
    virtual void put_EventFilter(long filter) = 0;
    virtual long get_EventFilter() const = 0;
    // Attaching the sink is what the program calls "attaching the event alias".
    virtual void setEventSink(EventSink sink) = 0;
    virtual long get_MediaCapabilities() const = 0;
    // Address texts ("address:port") of the given transport and reach.
    virtual QStringList get_NetworkAddresses(bool tcp, bool external) const = 0;
    virtual void put_ListenForIncomingSessions(long mode) = 0;
    virtual long get_ListenForIncomingSessions() const = 0;
    virtual void SetPreferredMediaTypes(long mediaTypes, bool persistent) = 0;
    virtual long get_PreferredMediaTypes() const = 0;
    virtual void put_PreferredAEC(bool enable) = 0;
    virtual bool get_PreferredAEC() const = 0;
    virtual long get_Volume(long device) const = 0; // 0 .. 65535
    virtual void put_Volume(long device, long volume) = 0;
    virtual void put_AudioMuted(long device, bool muted) = 0;
    virtual bool get_AudioMuted(long device) const = 0;
    virtual std::shared_ptr<IVideoWindow> get_IVideoWindow(long device) = 0;
    virtual std::shared_ptr<IRTCSession2> CreateSession(long type, const QString& localPhoneUri, long flags) = 0;
    virtual void PlayRing(long type, bool play) = 0;
    virtual QString get_LocalUserName() const = 0;
    virtual QString get_LocalUserURI() const = 0;
    // Who the engine's calls come from, as every peer sees it: the user's display name and
    // e-mail address (the user part of the SIP identity); the host stays the engine's own.
    // Either may be empty (then the engine names the user as best it can).
    virtual void SetLocalIdentity(const QString& displayName, const QString& email) = 0;
    virtual long get_NetworkQuality() const = 0;
    // Modal tuning dialog parented to `parent`.
    virtual void InvokeTuningWizardEx(QWidget* parent, bool allowAudio, bool allowVideo) = 0;
    virtual void PrepareForShutdown() = 0;
    virtual void Shutdown() = 0;
    // Puts every call on the paths given (ICE with STUN and TURN) and, behind a router, keeps a
    // registration with our relay. `publish` is told the call address to give others: at once
    // when there is no relay to register with, else when the registration succeeds or fails, and
    // again whenever that changes. An engine without such paths ignores them.
    virtual void SetCallPaths(const CallPaths& paths, const PublishAddress& publish) {
        (void)paths;
        (void)publish;
    }
};

// The engine factory. The program installs the liblinphone engine (call/linphone/) before its
// window comes up; tests install a scripted one. With none installed there is no engine to create.
using ClientFactory = std::function<std::shared_ptr<IRTCClient2>()>;
std::shared_ptr<IRTCClient2> CreateRTCClient(); // nullptr when no factory is installed
void setClientFactory(ClientFactory factory);

} // namespace rtc
