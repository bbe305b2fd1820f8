#include "call/linphone/NatTraversal.h"

#include "call/linphone/LinphoneEngine.h"
#include "call/linphone/LinphoneSession.h"
#include "call/rtc/NetworkAddresses.h"
#include "call/rtc/RtcEvents.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <linphone++/linphone.hh>

namespace rtc {

namespace {

// The relay's registration lasts this long and is renewed before it ends; the keep-alives
// between hold the router's mapping open far more often.
constexpr int kRegistrationSeconds = 300;
const QString kProfileName = QStringLiteral("call relay");
// The server of an account that registers nowhere: a name that never resolves, so that no call
// is taken for one to it.
const QString kNoServer = QStringLiteral("colloqchat.invalid");

QString hostOf(const QString& hostPort) {
    return hostPort.section(QLatin1Char(':'), 0, 0);
}

std::string text(const QString& value) {
    return value.toStdString();
}

} // namespace

// Hears the relay account's registration, inside the core's iteration.
class NatTraversal::Listener final : public linphone::AccountListener {
public:
    explicit Listener(NatTraversal* owner) : m_owner(owner) {}
    void detach() { m_owner = nullptr; }
    void onRegistrationStateChanged(const std::shared_ptr<linphone::Account>& account,
                                    linphone::RegistrationState state, const std::string&) override {
        if (!m_owner) return;
        const auto error = account->getErrorInfo();
        m_owner->onRegistration(int(state), error ? error->getProtocolCode() : 0);
    }

private:
    NatTraversal* m_owner;
};

NatTraversal::NatTraversal(linphone::Core& core, const CallPaths& paths, const QString& ownHost, quint16 sipPort,
                           const QString& userPart, const QString& displayName, PublishAddress publish, Post post)
    : m_core(core), m_paths(paths), m_publish(std::move(publish)), m_post(std::move(post)) {
    m_behindRouter = !interfaceAddresses().contains(QHostAddress(paths.observedAddress));
    // Without the relay others can only try the address the chat server sees, at our port.
    m_fallbackAddress = paths.observedAddress + QLatin1Char(':') + QString::number(sipPort);
    m_registering = m_behindRouter && !paths.relays.isEmpty();
    auto factory = linphone::Factory::get();

    auto policy = m_core.createNatPolicy();
    policy->enableIce(true);
    if (!paths.turnServers.isEmpty()) {
        policy->setStunServer(text(paths.turnServers.first()));
        policy->enableStun(true);
        if (!paths.turnUser.isEmpty()) {
            policy->enableTurn(true);
            policy->enableUdpTurnTransport(true);
            policy->setStunServerUsername(text(paths.turnUser));
            m_turnAuth = factory->createAuthInfo(text(paths.turnUser), text(paths.turnUser), text(paths.turnPassword),
                                                 "", "", "");
            m_core.addAuthInfo(m_turnAuth);
        }
    }
    m_core.setNatPolicy(policy);

    // Calls carry our identity with the call address others know us by, so that a callee finds
    // us in its list. liblinphone sends a call to the account's server whenever the callee's host
    // is the server's: the relay for calls to its call addresses, and nowhere else.
    const QString host = m_registering ? paths.relayCallAddress : hostOf(ownHost);
    auto identity = m_core.createAddress(text(QStringLiteral("sip:") + userPart + QLatin1Char('@') + host));
    auto server =
        m_core.createAddress(text(QStringLiteral("sip:") + (m_registering ? paths.relays.first() : kNoServer) +
                                  QStringLiteral(";transport=udp")));
    if (!identity || !server) {
        publishLater(m_fallbackAddress);
        return;
    }
    if (!displayName.isEmpty()) identity->setDisplayName(text(displayName));
    auto params = m_core.createAccountParams();
    params->setIdentityAddress(identity);
    params->setServerAddress(server);
    params->enableOutboundProxy(false);
    params->enableRegister(m_registering);
    params->setExpires(kRegistrationSeconds);
    params->setNatPolicy(policy);
    if (m_registering) {
        // Found by the identity's user name as liblinphone reads it (unescaped); the relay is
        // given the credential's own name.
        m_relayAuth = factory->createAuthInfo(identity->getUsername(), text(paths.relayUser), text(paths.relayPassword),
                                              "", "", "");
        m_core.addAuthInfo(m_relayAuth);
    }
    m_account = m_core.createAccount(params);
    if (!m_account) {
        publishLater(m_fallbackAddress);
        return;
    }
    m_listener = std::make_shared<Listener>(this);
    m_account->addListener(m_listener);
    m_core.addAccount(m_account);
    m_core.setDefaultAccount(m_account);
    if (!m_registering) publishLater(m_fallbackAddress);
}

NatTraversal::~NatTraversal() {
    *m_alive = false;
    if (m_listener) m_listener->detach();
    if (m_account) {
        m_account->removeListener(m_listener);
        m_core.removeAccount(m_account);
    }
    for (const auto& auth : {m_turnAuth, m_relayAuth})
        if (auth) m_core.removeAuthInfo(auth);
}

void NatTraversal::onRegistration(int state, int code) {
    using State = linphone::RegistrationState;
    const auto now = static_cast<State>(state);
    int registered = -1;
    if (now == State::Ok) registered = 1;
    if (now == State::Failed || now == State::Cleared) registered = 0;
    // Renewals pass through Progress and Ok again: only a change is news.
    if (registered < 0 || registered == m_reported) return;
    m_reported = registered;
    // While registered, every call goes out through the relay, which names us to the callee by our
    // call address there (the address others know us by, which our router's address is not). A
    // relay that has not registered us forwards nothing but calls to its own users: then calls go
    // straight to where they are placed, as without a relay.
    if (m_account) {
        auto params = m_account->getParams()->clone();
        if (params->outboundProxyEnabled() != (registered == 1)) {
            params->enableOutboundProxy(registered == 1);
            m_account->setParams(params);
        }
    }
    const QString uri = QStringLiteral("sip:") + m_paths.relayCallAddress;
    m_post(RTCE_REGISTRATION_STATE_CHANGE,
           std::make_shared<RegistrationStateEventData>(registered ? RTCRS_REGISTERED : RTCRS_ERROR,
                                                        registered ? 200 : code, QString(), kProfileName, uri));
    publishLater(registered ? m_paths.relayCallAddress : m_fallbackAddress);
}

void NatTraversal::nameCaller(linphone::CallParams& params) const {
    if (m_reported == 1)
        params.addCustomHeader("P-Preferred-Identity", text(QStringLiteral("<sip:") + m_paths.relayCallAddress + '>'));
}

void NatTraversal::publishLater(const QString& address) {
    // Never from inside the core's iteration or the constructor: the window may let events run.
    std::weak_ptr<bool> alive = m_alive;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [alive, publish = m_publish, address] {
            if (alive.lock() && publish) publish(address);
        },
        Qt::QueuedConnection);
}

std::shared_ptr<linphone::Address> NatTraversal::route(const std::shared_ptr<linphone::Address>& target) const {
    if (!target || !target->getUsername().empty() || target->getPort() <= 0) return target;
    const QString host = QString::fromStdString(target->getDomain());
    for (const QString& relay : m_paths.relays) {
        if (hostOf(relay) != host || relay.section(QLatin1Char(':'), 1).toInt() == target->getPort()) continue;
        auto routed = target->clone();
        routed->setUsername(std::to_string(target->getPort()));
        routed->setPort(relay.section(QLatin1Char(':'), 1).toInt());
        return routed;
    }
    return target;
}

long NatTraversal::mediaPath(linphone::Call& call) {
    const auto stats = call.getAudioStats();
    if (!stats) return MEDIAPATH_UNKNOWN;
    switch (stats->getIceState()) {
    case linphone::IceState::HostConnection:
        return MEDIAPATH_DIRECT;
    case linphone::IceState::ReflexiveConnection:
        return MEDIAPATH_MAPPING;
    case linphone::IceState::RelayConnection:
        return MEDIAPATH_RELAYED;
    case linphone::IceState::NotActivated:
    case linphone::IceState::Failed:
        return MEDIAPATH_NO_ICE;
    case linphone::IceState::InProgress:
        break;
    }
    return MEDIAPATH_UNKNOWN;
}

long LinphoneSession::get_MediaPath() const {
    return m_call && m_state == RTCSS_CONNECTED ? NatTraversal::mediaPath(*m_call) : MEDIAPATH_UNKNOWN;
}

void LinphoneEngine::SetCallPaths(const CallPaths& paths, const PublishAddress& publish) {
    requireRunning();
    if (m_guard) m_guard->setRelays(paths.relays);
    m_nat.reset(); // its account and credentials go first
    std::weak_ptr<LinphoneEngine> weak = weak_from_this();
    m_nat = std::make_unique<NatTraversal>(*m_core, paths, localHost(), m_sipPort, userPart(), m_displayName, publish,
                                           [weak](long kind, std::shared_ptr<IRTCEvent> event) {
                                               if (auto self = weak.lock()) self->post(kind, std::move(event));
                                           });
}

} // namespace rtc
