#include "call/control/CallPathsLink.h"

#include "call/control/CallController.h"
#include "core/basMain.h"
#include "wire/CallPaths.h"
#include "wire/MessageCodes.h"

#include <QTimer>

using namespace basMain;

namespace callcontrol {

namespace {

constexpr int kPathWatchMs = 1000;
// The credentials are asked for again when half their time has gone, and at least this late.
constexpr qint64 kMinRenewMs = 60'000;

} // namespace

QString CallPathsLink::mediaPathText(long path) {
    switch (path) {
    case rtc::MEDIAPATH_DIRECT:
        return QStringLiteral("Call path: direct. The media goes straight between the two computers.");
    case rtc::MEDIAPATH_MAPPING:
        return QStringLiteral("Call path: through the router's mapping. The media goes straight between the two "
                              "routers, through the openings their address mappings keep for it.");
    case rtc::MEDIAPATH_RELAYED:
        return QStringLiteral("Call path: relayed. The routers let no media straight through, so the chat "
                              "server's TURN server carries it.");
    case rtc::MEDIAPATH_NO_ICE:
        return QStringLiteral("Call path: to the address the other side gave. It does not look for another way "
                              "through routers, so a call through a router may carry no sound or picture.");
    default:
        return {};
    }
}

CallPathsLink::CallPathsLink(Host host, const CallController& calls, QObject* parent)
    : QObject(parent), m_host(std::move(host)), m_calls(calls), m_hold(new QTimer(this)), m_renew(new QTimer(this)),
      m_pathWatch(new QTimer(this)) {
    m_hold->setSingleShot(true);
    m_hold->setInterval(kHoldMs);
    connect(m_hold, &QTimer::timeout, this, [this] { release(); });
    m_renew->setSingleShot(true);
    connect(m_renew, &QTimer::timeout, this, [this] { askAgain(); });
    m_pathWatch->setInterval(kPathWatchMs);
    connect(m_pathWatch, &QTimer::timeout, this, [this] { showMediaPath(); });
}

void CallPathsLink::startWithLogIn(const QString& logIn) {
    m_heldLogIn = logIn;
    if (!m_host.engine()) {
        release();
        return;
    }
    m_asked = true;
    m_hold->start();
    m_host.send(wire::request(wire::Code::CallPaths, {m_host.identity().userId, m_host.identity().email}));
}

void CallPathsLink::askAgain() {
    if (!m_host.engine() || !g_strAltServerBase.isEmpty() || g_blnLogOffPending) return;
    m_asked = true;
    m_host.send(wire::request(wire::Code::CallPaths, {m_host.identity().userId, m_host.identity().email}));
}

void CallPathsLink::onReply(const QStringList& fields) {
    m_asked = false;
    const std::optional<wire::CallPathsReply> reply = wire::parseCallPaths(fields);
    if (!reply || !m_host.engine()) {
        release();
        return;
    }
    rtc::CallPaths paths;
    paths.observedAddress = reply->observedAddress;
    paths.turnServers = reply->turnServers;
    paths.turnUser = reply->turnUser;
    paths.turnPassword = reply->turnPassword;
    paths.relays = reply->relays;
    m_relayHosts.clear();
    for (const QString& relay : reply->relays)
        m_relayHosts.append(relay.section(QLatin1Char(':'), 0, 0));
    paths.relayCallAddress = reply->relayCallAddress;
    paths.relayUser = reply->relayUser;
    paths.relayPassword = reply->relayPassword;
    m_host.engine()->SetCallPaths(paths, [this](const QString& address) { publish(address); });
    m_renew->start(int(std::min<qint64>(std::max(kMinRenewMs, reply->lifetimeSeconds * 500), qint64{24} * 3'600'000)));
    m_pathWatch->start();
}

void CallPathsLink::exchangeClosed(const QString& answeredRequest) {
    // Closed with request 40 unanswered: a server that does not know it.
    if (m_asked && answeredRequest == wire::codeText(wire::Code::CallPaths)) {
        m_asked = false;
        release();
    }
}

void CallPathsLink::exchangeFailed() {
    // The chat server is unreachable: the alternate server takes the polls from here on, as it
    // would have taken the log-in's.
    m_asked = false;
    m_heldLogIn.clear();
    m_hold->stop();
}

void CallPathsLink::publish(const QString& callAddress) {
    if (callAddress.isEmpty()) return;
    const bool changed = callAddress != g_strMyWanIP;
    g_strMyWanIP = callAddress;
    m_host.addressShown();
    if (!m_heldLogIn.isEmpty()) {
        release();
    } else if (changed && g_strAltServerBase.isEmpty() && !g_blnLogOffPending) {
        // Others learn the new address from the chat server, which learns it from a poll.
        m_host.poll();
    }
}

void CallPathsLink::release() {
    m_hold->stop();
    const QString logIn = std::exchange(m_heldLogIn, QString());
    if (logIn.isEmpty() || !g_strAltServerBase.isEmpty() || g_blnLogOffPending) return;
    m_host.send(logIn);
}

void CallPathsLink::showMediaPath() {
    const auto& session = m_calls.session;
    if (!m_calls.connected || !session) {
        m_shownPath = 0;
        return;
    }
    const long path = session->get_MediaPath();
    if (path == rtc::MEDIAPATH_UNKNOWN || path == m_shownPath) return;
    m_shownPath = path;
    m_host.status(mediaPathText(path));
}

} // namespace callcontrol
