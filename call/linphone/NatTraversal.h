#pragma once
// Calls through routers. Every call looks for its media path with ICE: the host's own addresses,
// the addresses its router maps them to (learnt from a STUN server) and addresses on a TURN
// server that relays. A client behind a router also keeps a registration with the chat server's
// SIP relay, through the hole its keep-alives hold open in the router, and gives others the
// relay's call address for it: a call there reaches it however its router treats calls from
// outside. liblinphone answers the TURN server's challenge only for an account that carries the
// NAT policy, so there is always one account, registering or not.
#include "call/rtc/Rtc.h"

#include <QString>
#include <functional>
#include <memory>

namespace linphone {
class Account;
class Address;
class AuthInfo;
class Call;
class CallParams;
class Core;
} // namespace linphone

namespace rtc {

class NatTraversal {
public:
    using Post = std::function<void(long kind, std::shared_ptr<IRTCEvent> event)>;
    // `ownHost`: the address the engine calls its own; `userPart`, `displayName`: who we are.
    NatTraversal(linphone::Core& core, const CallPaths& paths, const QString& ownHost, quint16 sipPort,
                 const QString& userPart, const QString& displayName, PublishAddress publish, Post post);
    ~NatTraversal();
    NatTraversal(const NatTraversal&) = delete;
    NatTraversal& operator=(const NatTraversal&) = delete;

    // Where a call to `target` is sent. A call address on one of the relays ("sip:RELAY:PORT") is
    // written "sip:PORT@RELAY:SIPPORT": the call then goes to the relay's SIP port, through the
    // same mapping of our router as our registration, and names the callee by the port.
    std::shared_ptr<linphone::Address> route(const std::shared_ptr<linphone::Address>& target) const;

    // Names us in a call we place, for the relay to vouch for: our call address on the relay, while
    // we are registered there (the relay checks that the call comes from where we registered).
    void nameCaller(linphone::CallParams& params) const;

    // Whether the chat server sees us at an address of our own (no router translating between).
    bool behindRouter() const { return m_behindRouter; }

    // The way a call's media has taken, as a MediaPath value.
    static long mediaPath(linphone::Call& call);

private:
    class Listener;
    void onRegistration(int state, int code);
    void publishLater(const QString& address);

    linphone::Core& m_core;
    CallPaths m_paths;
    bool m_behindRouter = false;
    bool m_registering = false;
    int m_reported = -1; // the registration state last reported: -1 none, 0 not registered, 1 registered
    QString m_fallbackAddress;
    PublishAddress m_publish;
    Post m_post;
    std::shared_ptr<linphone::Account> m_account;
    std::shared_ptr<Listener> m_listener;
    std::shared_ptr<linphone::AuthInfo> m_turnAuth;
    std::shared_ptr<linphone::AuthInfo> m_relayAuth;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace rtc
