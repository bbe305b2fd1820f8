#pragma once
// The call state machine, without a window: the call in progress (placed here, or answered once
// it rang), the count of incoming calls under way, the ringing, the calls turned away and the
// record of every call. It acts on the engine's session states and on the user's Connect, Answer
// and Terminate, and tells whoever shows the call what to show through its signals; the window
// only connects to them.
#include "call/control/CallRecord.h"
#include "call/control/CallRinger.h"
#include "call/rtc/Rtc.h"
#include "core/CallActivity.h"
#include "core/CallerIdentity.h"
#include "core/RingPolicy.h"

#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace callcontrol {

// Whom Connect calls: a contact's name, e-mail and call address ("host:port").
struct CallTarget {
    QString name;
    QString email;
    QString address;
    bool fromHistory = false; // a call back from the History tab, which has no rows to click
};

class CallController : public QObject {
    Q_OBJECT
public:
    using Engine = std::function<std::shared_ptr<rtc::IRTCClient2>()>;
    using Contacts = std::function<QList<basMain::ContactEntry>()>;
    // The hosts of the chat server's call relays, which keep a port for each user.
    using RelayHosts = std::function<QStringList()>;

    // `engine` gives the call engine (sessions are created and rings played on it); `contacts`
    // the listed contacts, whom callers and called parties are matched against.
    CallController(Engine engine, Contacts contacts, QObject* parent = nullptr);

    // Which calls may ring: the user's ring settings, and strangers who keep calling, counted by
    // the network address of their call address (on a relay: by the whole call address).
    basMain::RingPolicy& ringPolicy() { return m_ringPolicy; }
    void setRelayHosts(RelayHosts hosts) { m_relayHosts = std::move(hosts); }

    // The call in progress: placed here, or answered once it rang; null when there is none.
    std::shared_ptr<rtc::IRTCSession2> session;
    bool connected = false;
    // Incoming calls under way: ringing, connected, or refused and not yet ended.
    qint16 incomingCount = 0;

    CallRinger& ringer() { return *m_ringer; }
    CallRecord& record() { return *m_record; }
    // Whether a call rings (or is about to), is being placed or is connected: one call at a time.
    bool busy() const { return session || connected || m_announced || m_ringer->ringing(); }

    // The engine's report that a session's state changed.
    void sessionStateChanged(const std::shared_ptr<rtc::IRTCEvent>& event);

    // Places a call to `target` (none: no contact was selected). What failed is logged, and told.
    enum class PlaceFailure { None, NoTarget, NoAddress, Engine };
    struct Placing {
        PlaceFailure failure = PlaceFailure::None;
        QString error; // the engine's words, for PlaceFailure::Engine
    };
    Placing place(const std::optional<CallTarget>& target);
    // What the user is told of a call that could not be placed to `target`, and what to do about
    // it; empty when it was placed.
    static QString placingText(const Placing& placing, const std::optional<CallTarget>& target);
    // "Manual": the ringing call is picked up at the ringer's next check.
    void answer() { m_ringer->answer(); }
    // Terminate: refuses the ringing call, or ends (or cancels) the call in progress. False when
    // that failed (logged).
    bool hangUp();
    // The engine refused a request before anything rang: logged, and a call so refused kept in
    // the record under the name it gave.
    void requestRefused(const std::shared_ptr<rtc::IRTCEvent>& event);

signals:
    // The status caption for a session's new state ("Status: CONNECTED User: ..."). For
    // RTCSS_INCOMING the window comes up here; the phone rings once its events have run.
    void stateShown(long state, const QString& caption);
    // An incoming call starts ringing: it can be answered or refused, little else.
    void ringing();
    // The call in progress ended: the engine is ready for the next one...
    void ready();
    // ...and, once the session has gone, the window's controls come back.
    void released();

private:
    void incoming(const std::shared_ptr<rtc::IRTCSession2>& ringingSession, int& step);
    void startRinging(const std::shared_ptr<rtc::IRTCSession2>& ringingSession);
    // Whether the end of `ended` concerns the call in progress (false: only the counts change).
    bool endsTheCall(const std::shared_ptr<rtc::IRTCSession2>& ended);
    // `sipCode`: the final SIP status the session ended with (0: none).
    void endCall(const std::shared_ptr<rtc::IRTCSession2>& ended, long sipCode, int& step);
    void reportStart(CallActivity::Phase phase, bool incoming, const std::shared_ptr<rtc::IRTCSession2>& of,
                     const CallTarget* placed = nullptr);
    QString otherParty(const std::shared_ptr<rtc::IRTCSession2>& of) const;
    CallActivity callerOf(const std::shared_ptr<rtc::IRTCSession2>& of) const;
    // Turns `caller`'s call away without a ring when the ring policy says so (kept in the record
    // as refused).
    bool turnAwayByChoice(const std::shared_ptr<rtc::IRTCSession2>& ringingSession, const CallActivity& caller);
    QString callerKey(const QString& callAddress) const;

    Engine m_engine;
    Contacts m_contacts;
    RelayHosts m_relayHosts;
    basMain::RingPolicy m_ringPolicy;
    CallRinger* m_ringer;
    // The incoming call shown to the user, whose phone is about to ring.
    std::shared_ptr<rtc::IRTCSession2> m_announced;
    CallRecord* m_record;
};

} // namespace callcontrol
