#pragma once
// The client's side of calls through routers. At log-in the client first asks the chat server
// for the call paths (request 40): the STUN/TURN servers and the SIP relay, with credentials.
// The engine puts its calls on them and, behind a router, registers with the relay; only then
// does the log-in go out, carrying the call address others can reach (the relay's, or else the
// address the chat server sees). A server that does not know request 40 closes the exchange
// without an answer, and the log-in goes out at once as before; one that is slow holds it up
// for kHoldMs at most. During a call the status box tells which way its media has taken.
#include "call/rtc/Rtc.h"
#include "core/Identity.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QTimer;

namespace callcontrol {

class CallController;

class CallPathsLink : public QObject {
public:
    // What the link needs of the program around it.
    struct Host {
        std::function<std::shared_ptr<rtc::IRTCClient2>()> engine;
        std::function<const basMain::Identity&()> identity;
        // Sends a request to the chat server on an exchange of its own.
        std::function<void(const QString&)> send;
        // g_strMyWanIP changed: the title shows it.
        std::function<void()> addressShown;
        // The on-line poll, which tells the chat server the new call address.
        std::function<void()> poll;
        // A line for the status box, in blue.
        std::function<void(const QString&)> status;
    };
    CallPathsLink(Host host, const CallController& calls, QObject* parent);

    // Sends request 40, then `logIn` once the call address is settled.
    void startWithLogIn(const QString& logIn);
    // Reply 40, fields code first.
    void onReply(const QStringList& fields);
    // The chat exchange closed after the server answered `answeredRequest`, or could not be made.
    void exchangeClosed(const QString& answeredRequest);
    void exchangeFailed();

    // The log-in waits for the call address: a poll now would give the server the old one.
    bool holding() const { return !m_heldLogIn.isEmpty(); }

    // The addresses of the chat server's call relays, as its last reply 40 named them: each keeps
    // one port for each of its users, so a call address there names one user, port and all.
    const QStringList& relayHosts() const { return m_relayHosts; }

    // What the status box says of a call's media path (a MediaPath value); empty while unknown.
    static QString mediaPathText(long path);

    // Longest wait for the call paths and the relay's answer before the log-in goes out.
    static constexpr int kHoldMs = 4000;

private:
    void publish(const QString& callAddress);
    void release();
    void askAgain();
    void showMediaPath();

    Host m_host;
    const CallController& m_calls;
    bool m_asked = false; // request 40 went out and no answer has come
    QString m_heldLogIn;
    QTimer* m_hold;
    QTimer* m_renew; // asks again before the credentials run out
    QTimer* m_pathWatch;
    long m_shownPath = 0;
    QStringList m_relayHosts;
};

} // namespace callcontrol
