#include "call/linphone/LinphoneEngine.h"

#include "call/linphone/EngineCommon.h"
#include "call/linphone/EnginePace.h"
#include "call/linphone/FrameView.h"
#include "call/linphone/LinphoneSession.h"
#include "call/linphone/NatTraversal.h"
#include "call/linphone/VideoWindow.h"
#include "call/rtc/NetworkAddresses.h"
#include "call/rtc/RtcEvents.h"
#include "platform/vb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>

#include <linphone++/linphone.hh>
#include <linphone/core.h>

#include <algorithm>
#include <cmath>
#include <dlfcn.h>
#include <malloc.h>

namespace rtc {

using namespace engine;

namespace {

// How often a running call reports its sound level and the network quality is looked at.
constexpr int kCallReportIntervalMs = 1000;
// A change of the network quality smaller than this is not worth an event.
constexpr long kQualityStep = 10;
constexpr quint16 kPreferredSipPort = 5060;
// liblinphone ends an unanswered incoming call by itself after this long; the program has its
// own ringing time-out, so liblinphone's must not come first.
constexpr int kIncomingTimeoutSeconds = 3600;
// Plug-ins of the media library a call never needs: a video output for Qt Quick scenes, which
// would bring a second Qt into the process (video is drawn by views of ours).
const QStringList kUnusedPlugins = {QStringLiteral("libmsqogl.so")};

// The media library's plug-in folder: beside the call library, where it looks by default.
QString systemPluginFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&linphone::Factory::get), &info) == 0 || !info.dli_fname) return {};
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath() + QStringLiteral("/mediastreamer/plugins");
}

// The SIP section of the core's configuration: the port to listen on from the first moment, over
// UDP only. The core binds its socket as soon as anything touches its transports; told later,
// it would first bind the default port, and the probe for a free one would then find that taken
// by the core itself. A router forgets a mapping that carries nothing for a while (often 30 s,
// some sooner): the keep-alives to the relay come more often.
QByteArray sipSection(quint16 port) {
    const QByteArray keepAlive = "keepalive_period=20000\n";
    return "[sip]\nsip_port=" + QByteArray::number(port) + "\nsip_tcp_port=0\nsip_tls_port=0\nuse_ipv6=0\n" + keepAlive;
}

// Gives the heap memory freed so far back to the system: a call leaves much of its own free (its
// messages, its streams' buffers), which the process would otherwise keep.
void releaseFreeMemory() {
    ::malloc_trim(0);
}

// The engine's start and each SIP message it takes in while idle free memory too (the core's
// set-up, the parse of a message), and so does the program's own start around it: once the
// engine has had nothing to do for this long with no call, that memory goes back as well.
constexpr qint64 kQuietBeforeReleaseMs = 1000;

} // namespace

// Forwards what liblinphone reports to the engine. Runs inside Core::iterate() or inside a core
// operation; the engine only queues events from here.
class LinphoneEngine::Listener final : public linphone::CoreListener {
public:
    explicit Listener(LinphoneEngine* engine) : m_engine(engine) {}
    void detach() { m_engine = nullptr; }

    void onCallStateChanged(const std::shared_ptr<linphone::Core>&, const std::shared_ptr<linphone::Call>& call,
                            linphone::Call::State state, const std::string& message) override {
        if (m_engine) m_engine->onCallState(call, int(state), message);
    }
    void onCallEncryptionChanged(const std::shared_ptr<linphone::Core>&, const std::shared_ptr<linphone::Call>& call,
                                 bool, const std::string&) override {
        if (!m_engine) return;
        if (auto session = m_engine->sessionFor(call.get())) session->onEncryptionChanged();
    }
    void onAudioDevicesListUpdated(const std::shared_ptr<linphone::Core>&) override {
        if (m_engine) m_engine->postSessionless(RTCE_CLIENT, std::make_shared<ClientEventData>(RTCCET_DEVICE_CHANGE));
    }

private:
    LinphoneEngine* m_engine;
};

// Hears what a single call reports beyond its states.
class LinphoneEngine::CallWatcher final : public linphone::CallListener {
public:
    explicit CallWatcher(LinphoneEngine* engine) : m_engine(engine) {}
    void detach() { m_engine = nullptr; }
    void onCameraNotWorking(const std::shared_ptr<linphone::Call>&, const std::string&) override {
        if (m_engine)
            m_engine->post(RTCE_MEDIA,
                           std::make_shared<MediaEventData>(RTCMET_FAILED, RTCMT_VIDEO_SEND, RTCMER_BAD_DEVICE));
    }

private:
    LinphoneEngine* m_engine;
};

std::shared_ptr<LinphoneEngine> LinphoneEngine::create() {
    return std::shared_ptr<LinphoneEngine>(new LinphoneEngine());
}

LinphoneEngine::LinphoneEngine() = default;

LinphoneEngine::~LinphoneEngine() {
    m_sink = nullptr;
    stopCore();
    if (m_pace) {
        m_pace->stop();
        m_pace->deleteLater(); // may be the pace whose tick is releasing us
    }
}

linphone::Core& LinphoneEngine::core() const {
    requireRunning();
    return *m_core;
}

void LinphoneEngine::requireRunning() const {
    if (!m_initialized || m_shutDown || !m_core)
        vb::raise(kRtcErrUnexpected, QStringLiteral("The call engine is not initialized."));
}

QString LinphoneEngine::dataFolder() const {
    return m_dir ? m_dir->path() : QString();
}

void LinphoneEngine::InitializeEx(long /*flags: no UPnP is used either way*/) {
    if (m_initialized) vb::raise(kRtcErrUnexpected, QStringLiteral("The call engine is already initialized."));
    if (m_shutDown) vb::raise(kRtcErrUnexpected, QStringLiteral("The call engine has been shut down."));
    startCore();
    m_initialized = true;
    std::weak_ptr<LinphoneEngine> weak = weak_from_this();
    m_pace = new EnginePace([weak] { // deleted by the destructor through deleteLater
        if (auto self = weak.lock()) self->iterate();
    });
    m_pace->start(m_sipPort);
    m_guardClock.start();
    m_releaseAfterMs = 0; // the start's own
    m_guard = std::make_unique<SipGuard>([weak](const SipGuard::Refusal& refusal) {
        if (auto self = weak.lock()) self->onRefused(refusal);
    });
}

void LinphoneEngine::startCore() {
    prepareProcess();
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/colloq-rtc-XXXXXX"));
    if (!m_dir->isValid()) vb::raise(kRtcErrFail, QStringLiteral("No folder for the call engine's data."));
    const std::string folder = m_dir->path().toStdString();
    // liblinphone would keep call history and chat rooms in databases of their own. The program
    // reads none of them, and creating them (a write to disk each) was a good part of the
    // start-up. The ZRTP secrets are kept where the program says (see applyEncryption).
    quint16 port = findFreeUdpPort(kPreferredSipPort); // the SIP port, see below
    QFile config(m_dir->filePath(QStringLiteral("linphonerc")));
    const QByteArray storage = m_secretsFile.isEmpty()
                                   ? "[storage]\nuri=null\ncall_logs_db_uri=null\nzrtp_secrets_db_uri=null\n"
                                   : "[storage]\nuri=null\ncall_logs_db_uri=null\n";
    if (!config.open(QIODevice::WriteOnly) || config.write(storage) < 0 || config.write(sipSection(port)) < 0)
        vb::raise(kRtcErrFail, QStringLiteral("No folder for the call engine's data."));
    config.close();

    auto factory = linphone::Factory::get();
    // The factory is shared by every core of the process; its folders are read while a core is
    // created and started, which happens right here on the one thread. liblinphone puts file
    // names right after them, so they end in a slash (else its files land beside the folder,
    // in the temporary folder, and outlive the engine).
    factory->setDataDir(folder + "/");
    factory->setConfigDir(folder + "/");
    // The core starts without plug-ins (they are video codecs and outputs, several MiB with what
    // they load); the first call with video loads those it can use.
    QDir(m_dir->path()).mkdir(QStringLiteral("plugins"));
    factory->setMspluginsDir(folder + "/plugins");
    if (QFileInfo::exists(kSoundFolder)) {
        factory->setSoundResourcesDir(kSoundFolder.toStdString());
        factory->setRingResourcesDir((kSoundFolder + QStringLiteral("/rings")).toStdString());
    }
    m_core = factory->createCore(folder + "/linphonerc", "", nullptr);
    if (!m_core) vb::raise(kRtcErrFail, QStringLiteral("The call engine could not be created."));
    m_listener = std::make_shared<Listener>(this);
    m_core->addListener(m_listener);
    m_callWatcher = std::make_shared<CallWatcher>(this);

    m_core->enableIpv6(false);
    m_core->setUserAgent("ColloqChat", QCoreApplication::applicationVersion().toStdString());
    m_core->setIncTimeout(kIncomingTimeoutSeconds);
    applyEncryption();
    m_core->setAudioPort(-1); // random RTP ports: several engines may share the machine
    m_core->setVideoPort(-1);
    m_core->enableVideoCapture(false);
    m_core->enableVideoDisplay(false);
    // Video is drawn by Qt in views of ours (the engine's own drawers size their pictures by
    // themselves and cannot follow a window that is resized while they draw), the local picture
    // in a view of its own rather than as an inset of the remote one.
    if (platformShowsVideo()) {
        registerFrameViewFilter(linphone_core_get_ms_factory(m_core->cPtr()));
        m_core->setVideoDisplayFilter(kFrameViewFilter);
    }
    m_core->usePreviewWindow(true);
    auto noVideo = factory->createVideoActivationPolicy();
    noVideo->setAutomaticallyInitiate(false);
    noVideo->setAutomaticallyAccept(false);
    m_core->setVideoActivationPolicy(noVideo);
    if (QFileInfo::exists(kRingFile)) m_core->setRing(kRingFile.toStdString());
    if (QFileInfo::exists(kRingbackFile)) m_core->setRingback(kRingbackFile.toStdString());
    if (QFileInfo::exists(kPlayFile)) m_core->setPlayFile(kPlayFile.toStdString());
    // The SIP port: 5060 when free, else the next free one (found before the core was made, and
    // already held by it). A port can be taken by someone else between the test and the core's
    // bind, so a failed bind moves on to the next free one.
    for (int attempt = 0; attempt < 5 && port != 0; ++attempt) {
        auto transports = factory->createTransports();
        transports->setUdpPort(port);
        transports->setTcpPort(0);
        transports->setTlsPort(0);
        transports->setDtlsPort(0);
        m_core->setTransports(transports);
        if (m_core->getGlobalState() != linphone::GlobalState::On && m_core->start() != 0) break;
        if (m_core->getTransportsUsed()->getUdpPort() == port) break;
        port = findFreeUdpPort(quint16(port + 1));
    }
    if (m_core->getGlobalState() != linphone::GlobalState::On || m_core->getTransportsUsed()->getUdpPort() <= 0) {
        stopCore();
        vb::raise(kRtcErrFail, QStringLiteral("The call engine could not start listening."));
    }
    m_sipPort = quint16(m_core->getTransportsUsed()->getUdpPort());
    applyIdentity();
    // With no sound card the calls play a file and record into nothing, so they still connect.
    m_core->setUseFiles(!hasCaptureDevice() || !hasPlaybackDevice());
    m_core->setPlaybackGainDb(volumeToGainDb(m_speakerVolume));
    m_core->setMicGainDb(volumeToGainDb(m_micVolume));
}

// While the engine turns (or winds down), the polls of this thread screen the guard's socket
// before the engine reads it.
class LinphoneEngine::ScreenedTurn {
public:
    explicit ScreenedTurn(LinphoneEngine& engine) : m_set(engine.m_setPollScreen) {
        if (!m_set || !engine.m_guard || engine.m_guard->socket() < 0) return;
        const auto screen = [](void* context) {
            auto& self = *static_cast<LinphoneEngine*>(context);
            return self.m_guard->screen(self.m_sipPort, self.m_guardClock.elapsed()) == SipGuard::Waiting::Readable;
        };
        if (!m_set(engine.m_guard->socket(), screen, &engine) && !engine.m_unscreenedPollsTold) {
            engine.m_unscreenedPollsTold = true;
            qWarning("The engine's polls are not screened: this program does not export its own poll().");
        }
    }
    ~ScreenedTurn() {
        if (m_set) m_set(-1, nullptr, nullptr);
    }
    ScreenedTurn(const ScreenedTurn&) = delete;
    ScreenedTurn& operator=(const ScreenedTurn&) = delete;

private:
    SetPollScreen m_set;
};

void LinphoneEngine::stopCore() {
    if (m_pace) m_pace->stop(); // before the core closes the socket it watches
    if (!m_core) return;
    if (m_listener) {
        m_listener->detach();
        m_core->removeListener(m_listener);
    }
    if (m_callWatcher) m_callWatcher->detach();
    m_nat.reset();
    for (auto& [call, session] : m_sessions)
        session->abandon();
    m_sessions.clear();
    m_placing.reset();
    if (m_core->getGlobalState() == linphone::GlobalState::On) {
        const ScreenedTurn turn(*this); // the core still reads its socket while it winds down
        m_core->stop();
    }
    m_core.reset();
    m_listener.reset();
    m_callWatcher.reset();
}

void LinphoneEngine::iterate() {
    if (!m_core || m_shutDown) return;
    // The engine reads its socket only in here (and as it stops): what it may not read is taken
    // out first, and again whenever the engine's own poll finds the socket readable
    // (ScreenedPoll.h).
    if (m_guard && m_guard->screen(m_sipPort, m_guardClock.elapsed()) != SipGuard::Waiting::Nothing)
        m_releaseAfterMs = m_guardClock.elapsed();
    {
        const ScreenedTurn turn(*this);
        m_core->iterate();
    }
    releaseDrawingContext();
    if (m_preparedForShutdown && m_sessions.empty()) {
        m_preparedForShutdown = false; // reported once
        postSessionless(RTCE_CLIENT, std::make_shared<ClientEventData>(RTCCET_ASYNC_CLEANUP_DONE));
    }
    if (!m_reportClock.isValid() || m_reportClock.elapsed() >= kCallReportIntervalMs) {
        m_reportClock.start();
        reportCallQuality();
    }
    if (m_releaseAfterMs >= 0 && m_sessions.empty() &&
        m_guardClock.elapsed() - m_releaseAfterMs >= kQuietBeforeReleaseMs) {
        m_releaseAfterMs = -1;
        releaseFreeMemory();
    }
    pace();
}

void LinphoneEngine::pace() {
    const bool settling =
        std::any_of(m_sessions.begin(), m_sessions.end(), [](const auto& entry) { return entry.second->settling(); });
    const bool busy = !m_sessions.empty() || m_preparedForShutdown;
    if (m_pace)
        m_pace->set(settling ? EnginePace::Mode::Settling : busy ? EnginePace::Mode::Busy : EnginePace::Mode::Idle);
}

void LinphoneEngine::reportCallQuality() {
    for (const auto& [call, session] : m_sessions) {
        if (session->get_State() != RTCSS_CONNECTED || !session->call()) continue;
        // liblinphone gives the sound level in dBm0 (about -96 silent to 0 loud); events carry 0 to 100.
        const float level = session->call()->getRecordVolume();
        const long scaled = std::clamp(std::lround((level + 96.0f) * 100.0f / 96.0f), 0L, 100L);
        post(RTCE_INTENSITY, std::make_shared<IntensityEventData>(scaled, RTCAD_MICROPHONE));
    }
    const long quality = get_NetworkQuality();
    if (std::labs(quality - m_reportedQuality) >= kQualityStep) {
        m_reportedQuality = quality;
        post(RTCE_CLIENT, std::make_shared<ClientEventData>(RTCCET_NETWORK_QUALITY_CHANGE));
    }
}

void LinphoneEngine::post(long kind, std::shared_ptr<IRTCEvent> event) {
    m_queue.emplace_back(kind, std::move(event));
    // Each event gets its own delivery turn, so an event queued while a handler of an earlier
    // one is letting events run is still delivered in that wait.
    std::weak_ptr<LinphoneEngine> weak = weak_from_this();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak] {
            if (auto self = weak.lock()) self->drain();
        },
        Qt::QueuedConnection);
}

void LinphoneEngine::postSessionless(long kind, std::shared_ptr<IRTCEvent> event) {
    post(kind, std::move(event));
}

void LinphoneEngine::drain() {
    // Keep ourselves alive: a handler may release the program's last reference to the engine.
    auto self = shared_from_this();
    while (!m_queue.empty()) {
        auto [kind, event] = std::move(m_queue.front());
        m_queue.pop_front();
        if (m_shutDown || !m_sink || !filterAdmits(m_filter, kind)) continue;
        try {
            m_sink(kind, event);
        } catch (...) {
            // The sink handles its own failures; nothing may escape into the event loop.
        }
    }
}

void LinphoneEngine::onCallState(const std::shared_ptr<linphone::Call>& call, int state, const std::string& message) {
    using State = linphone::Call::State;
    const auto callState = static_cast<State>(state);
    auto session = sessionFor(call.get());
    if (!session) {
        if (callState == State::IncomingReceived || callState == State::PushIncomingReceived) {
            if (m_listenMode == RTCLM_NONE) {
                call->decline(linphone::Reason::TemporarilyUnavailable);
                return;
            }
            session = std::make_shared<LinphoneSession>(weak_from_this());
            session->attach(call, true);
        } else if (m_placing && call->getDir() == linphone::Call::Dir::Outgoing) {
            session = m_placing;
            session->attach(call, false);
        } else {
            // Placed by nobody here (a transfer the peer asked for, say): it must not go on.
            if (callState == State::OutgoingInit) endUnplacedCall(call);
            return;
        }
        m_sessions[call.get()] = session;
        call->addListener(m_callWatcher);
    }
    session->onCallState(state, message);
    if (callState == State::Released) {
        m_sessions.erase(call.get());
        if (m_sessions.empty()) releaseFreeMemory();
    }
}

std::shared_ptr<LinphoneSession> LinphoneEngine::sessionFor(const linphone::Call* call) const {
    const auto found = m_sessions.find(call);
    return found == m_sessions.end() ? nullptr : found->second;
}

void LinphoneEngine::put_EventFilter(long filter) {
    requireRunning();
    m_filter = filter;
}

bool LinphoneEngine::hasCaptureDevice() const {
    if (!m_core) return false;
    for (const auto& device : m_core->getAudioDevices())
        if (device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityRecord)) return true;
    return false;
}

bool LinphoneEngine::hasPlaybackDevice() const {
    if (!m_core) return false;
    for (const auto& device : m_core->getAudioDevices())
        if (device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityPlay)) return true;
    return false;
}

long LinphoneEngine::get_MediaCapabilities() const {
    requireRunning();
    long caps = 0;
    if (hasCaptureDevice()) caps |= RTCMT_AUDIO_SEND;
    if (hasPlaybackDevice()) caps |= RTCMT_AUDIO_RECEIVE;
    if (m_core->videoSupported() && platformShowsVideo()) {
        // A machine without a camera still has the still-picture source, which sends a picture.
        if (!m_core->getVideoDevicesList().empty()) caps |= RTCMT_VIDEO_SEND;
        caps |= RTCMT_VIDEO_RECEIVE;
    }
    return caps;
}

QStringList LinphoneEngine::get_NetworkAddresses(bool tcp, bool external) const {
    requireRunning();
    if (tcp) return {}; // SIP is offered over UDP only
    const AddressLists lists = classifyAddresses(interfaceAddresses(), m_sipPort);
    return external ? lists.external : lists.internal;
}

void LinphoneEngine::put_ListenForIncomingSessions(long mode) {
    requireRunning();
    if (mode < RTCLM_NONE || mode > RTCLM_BOTH) vb::raise(kRtcErrInvalidArg, QStringLiteral("Unknown listen mode."));
    m_listenMode = mode;
}

long LinphoneEngine::get_PreferredMediaTypes() const {
    requireRunning();
    return m_preferredMedia < 0 ? get_MediaCapabilities() : m_preferredMedia;
}

void LinphoneEngine::SetPreferredMediaTypes(long mediaTypes, bool /*persistent: nothing outlives the engine*/) {
    requireRunning();
    if (mediaTypes < 0 || mediaTypes > 0xFF) vb::raise(kRtcErrInvalidArg, QStringLiteral("Unknown media types."));
    m_preferredMedia = mediaTypes;
    const long caps = get_MediaCapabilities();
    const bool send = (mediaTypes & caps & RTCMT_VIDEO_SEND) != 0;
    const bool receive = (mediaTypes & caps & RTCMT_VIDEO_RECEIVE) != 0;
    m_core->enableVideoCapture(send);
    m_core->enableVideoDisplay(receive);
    auto policy = linphone::Factory::get()->createVideoActivationPolicy();
    policy->setAutomaticallyInitiate(send || receive);
    policy->setAutomaticallyAccept(send || receive);
    m_core->setVideoActivationPolicy(policy);
}

void LinphoneEngine::loadVideoPlugins() {
    if (m_pluginsLoaded) return;
    m_pluginsLoaded = true;
    const QString own = m_dir->path() + QStringLiteral("/plugins/");
    for (const QFileInfo& plugin : QDir(systemPluginFolder()).entryInfoList({QStringLiteral("*.so")}, QDir::Files))
        if (!kUnusedPlugins.contains(plugin.fileName()))
            QFile::link(plugin.absoluteFilePath(), own + plugin.fileName());
    m_core->reloadMsPlugins(own.toStdString());
}

std::shared_ptr<linphone::CallParams> LinphoneEngine::paramsFor(const std::shared_ptr<linphone::Call>& call) {
    auto params = core().createCallParams(call);
    if (!params) vb::raise(kRtcErrFail, QStringLiteral("No call parameters."));
    holdClearMedia(params);
    const long caps = get_MediaCapabilities();
    const long wanted = get_PreferredMediaTypes();
    // Audio is always part of a call (from files when there is no sound card); its direction
    // follows the preference when one of the audio kinds is preferred.
    const long audio = wanted & (RTCMT_AUDIO_SEND | RTCMT_AUDIO_RECEIVE);
    params->enableAudio(true);
    if (audio == RTCMT_AUDIO_SEND)
        params->setAudioDirection(linphone::MediaDirection::SendOnly);
    else if (audio == RTCMT_AUDIO_RECEIVE)
        params->setAudioDirection(linphone::MediaDirection::RecvOnly);
    else
        params->setAudioDirection(linphone::MediaDirection::SendRecv);
    const bool videoSend = (wanted & caps & RTCMT_VIDEO_SEND) != 0;
    const bool videoReceive = (wanted & caps & RTCMT_VIDEO_RECEIVE) != 0;
    params->enableVideo(videoSend || videoReceive);
    if (videoSend || videoReceive) {
        loadVideoPlugins();
        params->setVideoDirection(videoSend && videoReceive ? linphone::MediaDirection::SendRecv
                                  : videoSend               ? linphone::MediaDirection::SendOnly
                                                            : linphone::MediaDirection::RecvOnly);
    }
    return params;
}

std::shared_ptr<linphone::Call> LinphoneEngine::invite(const std::shared_ptr<LinphoneSession>& session,
                                                       const QString& address) {
    requireRunning();
    auto target = m_core->createAddress(address.trimmed().toStdString());
    if (!target || !target->isSip()) vb::raise(kRtcErrInvalidArg, QStringLiteral("Not a SIP address: ") + address);
    if (m_nat) target = m_nat->route(target);
    m_placing = session;
    std::shared_ptr<linphone::Call> call;
    try {
        auto params = paramsFor(nullptr);
        if (m_nat) m_nat->nameCaller(*params);
        call = m_core->inviteAddressWithParams(target, params);
    } catch (...) {
        m_placing.reset();
        releaseDrawingContext();
        throw;
    }
    m_placing.reset();
    releaseDrawingContext();
    if (!call) vb::raise(kRtcErrFail, QStringLiteral("The call could not be placed."));
    if (!sessionFor(call.get())) {
        session->attach(call, false);
        m_sessions[call.get()] = session;
    }
    pace();
    return call;
}

void LinphoneEngine::applyCallSettings(const std::shared_ptr<linphone::Call>& call) const {
    if (!call) return;
    call->setSpeakerMuted(m_speakerMuted);
    call->setMicrophoneMuted(m_micMuted);
}

std::shared_ptr<IRTCSession2> LinphoneEngine::CreateSession(long type, const QString& /*localPhoneUri*/,
                                                            long /*flags*/) {
    requireRunning();
    if (type != RTCST_PC_TO_PC) vb::raise(kRtcErrInvalidArg, QStringLiteral("Only PC-to-PC sessions are offered."));
    return std::make_shared<LinphoneSession>(weak_from_this());
}

long LinphoneEngine::get_NetworkQuality() const {
    requireRunning();
    // liblinphone rates a call from 0 (bad) to 5 (good); with no call the network is taken as good.
    const auto calls = m_core->getCalls();
    if (calls.empty()) return 100;
    float worst = 5.0f;
    for (const auto& call : calls) {
        const float q = call->getCurrentQuality();
        if (q >= 0 && q < worst) worst = q;
    }
    return std::lround(worst * 20.0f);
}

void LinphoneEngine::PrepareForShutdown() {
    requireRunning();
    m_listenMode = RTCLM_NONE;
    m_core->terminateAllCalls();
    m_preparedForShutdown = true; // reported once the last call is released
    pace();
}

void LinphoneEngine::Shutdown() {
    if (m_shutDown) return;
    if (!m_initialized) vb::raise(kRtcErrUnexpected, QStringLiteral("The call engine is not initialized."));
    stopCore();
    m_shutDown = true;
    m_queue.clear();
    if (m_pace) m_pace->stop();
}

} // namespace rtc
