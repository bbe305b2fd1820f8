#include "support/ScriptedRtc.h"

#include "platform/vb.h"

#include <QWidget>

namespace testrtc {

namespace {
QString num(long value) {
    return QString::number(value);
}
QString flag(bool value) {
    return value ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

void CallLog::enter(const QString& operation, const QStringList& args) {
    calls.append(operation + QLatin1Char('(') + args.join(QStringLiteral(", ")) + QLatin1Char(')'));
    const auto failure = failures.constFind(operation);
    if (failure != failures.constEnd()) vb::raise(*failure, operation + QStringLiteral(" failed (scripted)"));
}

int CallLog::count(const QString& prefix) const {
    int n = 0;
    for (const QString& call : calls)
        if (call.startsWith(prefix)) ++n;
    return n;
}

// ---- Video windows ----

void ScriptedVideoWindow::put_WindowStyle(long value) {
    m_log->enter(m_name + QStringLiteral(".put_WindowStyle"), {num(value)});
    style = value;
}

void ScriptedVideoWindow::put_Owner(QWidget* owner) {
    m_log->enter(m_name + QStringLiteral(".put_Owner"), {owner ? owner->objectName() : QStringLiteral("0")});
    m_owner = owner;
}

void ScriptedVideoWindow::SetWindowPosition(long left, long top, long width, long height) {
    m_log->enter(m_name + QStringLiteral(".SetWindowPosition"), {num(left), num(top), num(width), num(height)});
    position = QRect(int(left), int(top), int(width), int(height));
}

void ScriptedVideoWindow::put_Visible(long visible) {
    m_log->enter(m_name + QStringLiteral(".put_Visible"), {num(visible)});
    m_visible = visible;
}

// ---- Sessions ----

ScriptedSession::ScriptedSession(std::weak_ptr<ScriptedRtc> client, std::shared_ptr<CallLog> log, QString name)
    : m_client(std::move(client)), m_log(std::move(log)), m_name(std::move(name)) {}

std::shared_ptr<rtc::IRTCParticipant> ScriptedSession::AddParticipant(const QString& address, const QString& name) {
    m_log->enter(m_name + QStringLiteral(".AddParticipant"), {address, name});
    auto participant = std::make_shared<rtc::ParticipantData>(name, address);
    participants.append(participant);
    return participant;
}

void ScriptedSession::RemoveParticipant(const std::shared_ptr<rtc::IRTCParticipant>& participant) {
    m_log->enter(m_name + QStringLiteral(".RemoveParticipant"),
                 {participant ? participant->get_UserURI() : QStringLiteral("Nothing")});
    if (!participants.removeOne(participant)) vb::raise(rtc::kRtcErrInvalidArg);
}

void ScriptedSession::Answer() {
    m_log->enter(m_name + QStringLiteral(".Answer"));
}

void ScriptedSession::Terminate(long reason) {
    m_log->enter(m_name + QStringLiteral(".Terminate"), {num(reason)});
}

long ScriptedSession::get_State() const {
    m_log->enter(m_name + QStringLiteral(".get_State"));
    return state;
}

std::shared_ptr<rtc::IRTCClient2> ScriptedSession::get_Client() const {
    m_log->enter(m_name + QStringLiteral(".get_Client"));
    return m_client.lock();
}

std::shared_ptr<rtc::IRTCCollection> ScriptedSession::get_Participants() const {
    m_log->enter(m_name + QStringLiteral(".get_Participants"));
    return std::make_shared<rtc::ParticipantList>(participants);
}

// ---- The engine ----

ScriptedRtc::ScriptedRtc() {
    preview = std::make_shared<ScriptedVideoWindow>(log, QStringLiteral("Preview"));
    receive = std::make_shared<ScriptedVideoWindow>(log, QStringLiteral("Receive"));
}

bool ScriptedRtc::fire(long kind, std::shared_ptr<rtc::IRTCEvent> event) {
    if (!m_sink || !rtc::filterAdmits(eventFilter, kind)) return false;
    auto sink = m_sink; // the handler may detach the sink while it runs
    sink(kind, std::move(event));
    return true;
}

bool ScriptedRtc::fireSessionState(const std::shared_ptr<ScriptedSession>& session, long state, long statusCode) {
    if (session) session->state = state;
    return fire(rtc::RTCE_SESSION_STATE_CHANGE,
                std::make_shared<rtc::SessionStateEventData>(state, session, statusCode));
}

bool ScriptedRtc::fireMedia(long type, long mediaType, long reason) {
    return fire(rtc::RTCE_MEDIA, std::make_shared<rtc::MediaEventData>(type, mediaType, reason));
}

bool ScriptedRtc::fireClient(long type) {
    return fire(rtc::RTCE_CLIENT, std::make_shared<rtc::ClientEventData>(type));
}

bool ScriptedRtc::fireRegistration(long state, long statusCode, const QString& profileName, const QString& uri) {
    return fire(rtc::RTCE_REGISTRATION_STATE_CHANGE,
                std::make_shared<rtc::RegistrationStateEventData>(state, statusCode, QString(), profileName, uri));
}

bool ScriptedRtc::fireOperationComplete(long statusCode, const QString& statusText) {
    return fire(rtc::RTCE_SESSION_OPERATION_COMPLETE,
                std::make_shared<rtc::OperationCompleteEventData>(statusCode, statusText));
}

bool ScriptedRtc::fireIntensity(long level, long direction) {
    return fire(rtc::RTCE_INTENSITY, std::make_shared<rtc::IntensityEventData>(level, direction));
}

std::shared_ptr<ScriptedSession> ScriptedRtc::newSession() {
    auto session = std::make_shared<ScriptedSession>(weak_from_this(), log,
                                                     QStringLiteral("Session") + QString::number(sessions.size() + 1));
    sessions.append(session);
    return session;
}

std::shared_ptr<ScriptedSession> ScriptedRtc::incomingSession(const QString& uri, const QString& name) {
    auto session = newSession();
    session->participants.append(std::make_shared<rtc::ParticipantData>(name, uri));
    return session;
}

void ScriptedRtc::InitializeEx(long flags) {
    log->enter(QStringLiteral("InitializeEx"), {num(flags)});
}

void ScriptedRtc::put_EventFilter(long filter) {
    log->enter(QStringLiteral("put_EventFilter"), {num(filter)});
    eventFilter = filter;
}

void ScriptedRtc::setEventSink(rtc::EventSink sink) {
    log->enter(QStringLiteral("setEventSink"), {sink ? QStringLiteral("sink") : QStringLiteral("Nothing")});
    m_sink = std::move(sink);
}

long ScriptedRtc::get_MediaCapabilities() const {
    log->enter(QStringLiteral("get_MediaCapabilities"));
    return mediaCapabilities;
}

QStringList ScriptedRtc::get_NetworkAddresses(bool tcp, bool external) const {
    log->enter(QStringLiteral("get_NetworkAddresses"), {flag(tcp), flag(external)});
    if (tcp) return {};
    return external ? externalAddresses : internalAddresses;
}

void ScriptedRtc::put_ListenForIncomingSessions(long mode) {
    log->enter(QStringLiteral("put_ListenForIncomingSessions"), {num(mode)});
    listenMode = mode;
}

void ScriptedRtc::SetPreferredMediaTypes(long mediaTypes, bool persistent) {
    log->enter(QStringLiteral("SetPreferredMediaTypes"), {num(mediaTypes), flag(persistent)});
    preferredMedia = mediaTypes;
}

void ScriptedRtc::put_PreferredAEC(bool enable) {
    log->enter(QStringLiteral("put_PreferredAEC"), {flag(enable)});
    preferredAEC = enable;
}

bool ScriptedRtc::get_PreferredAEC() const {
    log->enter(QStringLiteral("get_PreferredAEC"));
    return preferredAEC;
}

long ScriptedRtc::get_Volume(long device) const {
    log->enter(QStringLiteral("get_Volume"), {num(device)});
    return device == rtc::RTCAD_SPEAKER ? speakerVolume : microphoneVolume;
}

void ScriptedRtc::put_Volume(long device, long volume) {
    log->enter(QStringLiteral("put_Volume"), {num(device), num(volume)});
    (device == rtc::RTCAD_SPEAKER ? speakerVolume : microphoneVolume) = volume;
}

void ScriptedRtc::put_AudioMuted(long device, bool muted) {
    log->enter(QStringLiteral("put_AudioMuted"), {num(device), flag(muted)});
    (device == rtc::RTCAD_SPEAKER ? speakerMuted : microphoneMuted) = muted;
}

bool ScriptedRtc::get_AudioMuted(long device) const {
    log->enter(QStringLiteral("get_AudioMuted"), {num(device)});
    return device == rtc::RTCAD_SPEAKER ? speakerMuted : microphoneMuted;
}

std::shared_ptr<rtc::IVideoWindow> ScriptedRtc::get_IVideoWindow(long device) {
    log->enter(QStringLiteral("get_IVideoWindow"), {num(device)});
    return device == rtc::RTCVD_PREVIEW ? std::shared_ptr<rtc::IVideoWindow>(preview)
                                        : std::shared_ptr<rtc::IVideoWindow>(receive);
}

std::shared_ptr<rtc::IRTCSession2> ScriptedRtc::CreateSession(long type, const QString& localPhoneUri, long flags) {
    log->enter(QStringLiteral("CreateSession"), {num(type), localPhoneUri, num(flags)});
    return newSession();
}

void ScriptedRtc::PlayRing(long type, bool play) {
    log->enter(QStringLiteral("PlayRing"), {num(type), flag(play)});
}

QString ScriptedRtc::get_LocalUserName() const {
    log->enter(QStringLiteral("get_LocalUserName"));
    return localUserName;
}

QString ScriptedRtc::get_LocalUserURI() const {
    log->enter(QStringLiteral("get_LocalUserURI"));
    return localUserUri;
}

long ScriptedRtc::get_NetworkQuality() const {
    log->enter(QStringLiteral("get_NetworkQuality"));
    return networkQuality;
}

void ScriptedRtc::InvokeTuningWizardEx(QWidget* parent, bool allowAudio, bool allowVideo) {
    log->enter(QStringLiteral("InvokeTuningWizardEx"),
               {parent ? parent->objectName() : QStringLiteral("0"), flag(allowAudio), flag(allowVideo)});
}

void ScriptedRtc::PrepareForShutdown() {
    log->enter(QStringLiteral("PrepareForShutdown"));
}

void ScriptedRtc::Shutdown() {
    log->enter(QStringLiteral("Shutdown"));
}

// ---- The factory ----

ScriptedRtcFactory::ScriptedRtcFactory(std::function<void(ScriptedRtc&)> configure)
    : m_configure(std::move(configure)) {
    rtc::setClientFactory([this]() -> std::shared_ptr<rtc::IRTCClient2> {
        if (m_fail) return nullptr;
        auto engine = std::make_shared<ScriptedRtc>();
        if (m_configure) m_configure(*engine);
        m_created.append(engine);
        return engine;
    });
}

ScriptedRtcFactory::~ScriptedRtcFactory() {
    rtc::setClientFactory({});
}

} // namespace testrtc
