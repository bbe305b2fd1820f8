#include "call/control/CallController.h"

#include "call/control/CallSteps.h"
#include "call/rtc/CallerOrigin.h"
#include "core/ErrorLog.h"
#include "wire/PeerText.h"

#include <QTimer>

namespace callcontrol {

using basMain::logCaught;
using callengine::eventAs;
using callengine::required;
using callengine::stepName;

namespace {

// The most of a party's name and address the status caption shows.
constexpr qsizetype kCaptionNameChars = 40;
constexpr qsizetype kCaptionAddressChars = 48;

// The host and port a SIP address names ("sip:user@host:port;param" gives "host:port"): what the
// user list keeps as a contact's call address.
QString callAddressIn(QString uri) {
    if (uri.startsWith(QStringLiteral("sip:"), Qt::CaseInsensitive)) uri = uri.mid(4);
    uri = uri.section(QLatin1Char(';'), 0, 0).section(QLatin1Char('>'), 0, 0);
    return uri.section(QLatin1Char('@'), -1);
}

// A call address others can be called at: "host:port" with a host and a port from 1 to 65535.
bool usableCallAddress(const QString& address) {
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    bool numeric = false;
    const int port = address.mid(colon + 1).toInt(&numeric);
    return colon > 0 && numeric && port > 0 && port <= 65535 && !address.contains(QLatin1Char(' ')) &&
           !address.contains(QLatin1Char('@'));
}

qint64 nowMs() {
    return vb::Now().toMSecsSinceEpoch();
}

bool hasEnded(const std::shared_ptr<rtc::IRTCSession2>& session) {
    try {
        return session->get_State() == rtc::RTCSS_DISCONNECTED;
    } catch (const std::exception&) {
        return false; // a session that cannot tell is taken as still ringing
    }
}

// The other party of a call. An incoming call's caller is named by the facts of where its
// request came from (identifyCaller); a call placed here by the listed contact whose call address
// the remote address names, anybody else by the name and address of its SIP identity. Texts are
// cleaned for the screen.
CallActivity partyOf(const std::shared_ptr<rtc::IRTCSession2>& session, const QList<basMain::ContactEntry>& contacts) {
    CallActivity party;
    std::shared_ptr<rtc::IRTCParticipant> participant;
    const auto participants = required(session)->get_Participants();
    if (participants && participants->get_Count() > 0) participant = participants->get_Item(1);
    if (participant) {
        party.name = participant->get_Name();
        party.email = participant->get_UserURI();
    }
    if (const auto origin = std::dynamic_pointer_cast<rtc::IRTCCallerOrigin>(participant)) {
        const basMain::CallerIdentity caller = basMain::identifyCaller(
            {party.name, party.email, origin->get_SourceAddress(), origin->get_ContactAddress(), {}}, contacts);
        party.name = caller.name;
        party.email = caller.email;
        party.address = caller.callAddress;
        party.contact = caller.contact;
        return party;
    }
    party.address = callAddressIn(party.email);
    for (const basMain::ContactEntry& entry : contacts) {
        if (!basMain::sameCallAddress(entry.callAddress, party.address)) continue;
        party.name = entry.name;
        party.email = entry.email;
        party.contact = true;
        break;
    }
    party.name = wire::cleanPeerText(party.name);
    party.email = wire::cleanPeerText(party.email);
    return party;
}

} // namespace

CallController::CallController(Engine engine, Contacts contacts, QObject* parent)
    : QObject(parent), m_engine(std::move(engine)), m_contacts(std::move(contacts)) {
    m_record = new CallRecord(this);
    m_ringer = new CallRinger(m_engine, this);
    // What follows a ringing keeps the step numbers of the session's handler in the log.
    const auto steps = [](int first, auto&& body) {
        int step = first;
        try {
            body(step);
        } catch (const std::exception& error) {
            logCaught(stepName("SessionStateEvent", step), error);
        }
    };
    connect(m_ringer, &CallRinger::answered, this, [this, steps](const std::shared_ptr<rtc::IRTCSession2>& rung) {
        steps(11, [&](int& step) {
            session = rung;
            step = 14;
            required(session)->Answer();
        });
    });
    connect(m_ringer, &CallRinger::timedOut, this, [this, steps](const std::shared_ptr<rtc::IRTCSession2>& rung) {
        steps(9, [&](int& step) {
            session = rung;
            step = 10;
            // Not a refusal: the caller is told nobody answered (480), not that the call was declined.
            required(session)->Terminate(rtc::RTCTR_TIMEOUT);
            connected = false;
            m_record->report(CallActivity::Phase::Ended, CallActivity::Outcome::Missed);
        });
    });
    // Every unanswered call of a stranger counts towards refusing its next ones quietly.
    connect(m_record, &CallRecord::callActivity, this, [this](const CallActivity& activity) {
        if (activity.phase == CallActivity::Phase::Ended && activity.incoming &&
            activity.outcome != CallActivity::Outcome::Answered)
            m_ringPolicy.noteUnanswered(activity.contact, callerKey(activity.address), nowMs());
    });
    connect(m_ringer, &CallRinger::ended, this, [this](bool declined) {
        m_record->report(CallActivity::Phase::Ended, declined || m_record->isEndedByUser()
                                                         ? CallActivity::Outcome::Declined
                                                         : CallActivity::Outcome::Missed);
    });
}

CallController::Placing CallController::place(const std::optional<CallTarget>& target) {
    int step = 0;
    QString address;
    QString name;
    try {
        if (!target) vb::raise(vb::kErrObjectNotSet);
        address = QStringLiteral("sip:") + target->address;
        step = 1;
        const auto engine = m_engine();
        session = required(engine)->CreateSession(rtc::RTCST_PC_TO_PC, QString(), 0);
        step = 5;
        name = target->name + QStringLiteral(" [") + target->email + QStringLiteral("]");
        // A contact off line has no call address; the engine would try to call "sip:" itself.
        if (!usableCallAddress(target->address)) vb::raise(vb::kErrInvalidCall);
        required(session)->AddParticipant(address, name);
        reportStart(CallActivity::Phase::Placing, false, session, &*target);
        return {};
    } catch (const std::exception& error) {
        logCaught(step == 5 ? stepName("cmdConnect_Click", 5) + QLatin1Char(' ') + address + QLatin1Char('|') + name
                            : stepName("cmdConnect_Click", step),
                  error);
        // A session that never placed its call must not stand for a call in progress.
        if (step == 5) session.reset();
        if (step == 0) return {PlaceFailure::NoTarget, {}};
        if (step == 5) return {PlaceFailure::NoAddress, {}};
        return {PlaceFailure::Engine, QString::fromUtf8(error.what())};
    }
}

bool CallController::hangUp() {
    int step = 0;
    try {
        m_record->endedByUser();
        // While a call rings its session is not yet ours; Terminate then refuses it.
        const auto ending = session ? session : m_ringer->session();
        required(ending);
        if (ending->get_State() == rtc::RTCSS_INCOMING) {
            step = 4;
            m_ringer->decline();
            ending->Terminate(rtc::RTCTR_REJECT);
            step = 5;
            const auto engine = m_engine();
            required(engine)->PlayRing(rtc::RTCRT_PHONE, false);
        } else {
            step = 6;
            ending->Terminate(rtc::RTCTR_NORMAL);
        }
        return true;
    } catch (const std::exception& error) {
        logCaught(stepName("cmdTerminate_Click", step), error);
        return false;
    }
}

void CallController::sessionStateChanged(const std::shared_ptr<rtc::IRTCEvent>& event) {
    int step = 0;
    try {
        const auto change = eventAs<rtc::IRTCSessionStateChangeEvent>(event);
        const auto changed = change->get_Session();
        switch (change->get_State()) {
        case rtc::RTCSS_IDLE:
            emit stateShown(rtc::RTCSS_IDLE, QStringLiteral("Status: IDLE"));
            break;
        case rtc::RTCSS_INCOMING:
            incoming(changed, step);
            break;
        case rtc::RTCSS_ANSWERING:
            step = 20; // the answer time-out starts
            emit stateShown(rtc::RTCSS_ANSWERING, QStringLiteral("Status: ANSWERING"));
            break;
        case rtc::RTCSS_INPROGRESS:
            emit stateShown(rtc::RTCSS_INPROGRESS, QStringLiteral("Status: INPROGRESS"));
            break;
        case rtc::RTCSS_CONNECTED:
            connected = true;
            step = 21;
            emit stateShown(rtc::RTCSS_CONNECTED, QStringLiteral("Status: CONNECTED ") + otherParty(changed));
            m_record->report(CallActivity::Phase::Connected);
            break;
        case rtc::RTCSS_DISCONNECTED:
            // The caller gave up, or the user's refusal went through: the ringing ends with it.
            m_ringer->sessionEnded(changed);
            if (endsTheCall(changed)) endCall(changed, change->get_StatusCode(), step);
            break;
        case rtc::RTCSS_HOLD:
            emit stateShown(rtc::RTCSS_HOLD, QStringLiteral("Status: HOLD"));
            break;
        case rtc::RTCSS_REFER:
            emit stateShown(rtc::RTCSS_REFER, QStringLiteral("Status: REFERRED"));
            break;
        default:
            break;
        }
    } catch (const std::exception& error) {
        logCaught(stepName("SessionStateEvent", step), error);
    }
}

void CallController::incoming(const std::shared_ptr<rtc::IRTCSession2>& ringingSession, int& step) {
    ++incomingCount;
    step = 4;
    // Only one call at a time: a second one is refused while one is connected or ringing, and
    // (busy) while our own is being placed.
    const bool refuse = connected || incomingCount >= 2;
    if (refuse || session) {
        step = 19;
        // Not the call in progress: reported on its own, as missed.
        m_record->turnAway(callerOf(ringingSession), CallActivity::Outcome::Missed, ringingSession);
        required(ringingSession)->Terminate(refuse ? rtc::RTCTR_REJECT : rtc::RTCTR_BUSY);
        return;
    }
    step = 18;
    // The user's settings, or a stranger's calls over and over, may keep it from ringing.
    if (turnAwayByChoice(ringingSession, callerOf(ringingSession))) return;
    reportStart(CallActivity::Phase::Ringing, true, ringingSession);
    step = 5;
    emit stateShown(rtc::RTCSS_INCOMING, QStringLiteral("Status: INCOMING ") + otherParty(ringingSession));
    // The phone rings once the events that brought the window up have run: the user sees who
    // calls as it rings. Whatever else comes meanwhile is handled as it comes, not inside this.
    m_announced = ringingSession;
    QTimer::singleShot(0, this, [this, ringingSession] { startRinging(ringingSession); });
}

void CallController::startRinging(const std::shared_ptr<rtc::IRTCSession2>& ringingSession) {
    if (m_announced != ringingSession) return;
    m_announced.reset();
    int step = 6;
    try {
        // The caller gave up while the window came up: its end has been handled already.
        if (hasEnded(required(ringingSession))) {
            m_record->report(CallActivity::Phase::Ended, CallActivity::Outcome::Missed);
            return;
        }
        if (session) {
            // A call of ours was placed meanwhile.
            m_record->ignoreEnd(ringingSession);
            required(ringingSession)->Terminate(rtc::RTCTR_BUSY);
            return;
        }
        emit ringing();
        step = 7;
        // The ringer takes it from here: answered, refused or given up, it tells the record.
        m_ringer->start(ringingSession);
    } catch (const std::exception& error) {
        logCaught(stepName("SessionStateEvent", step), error);
    }
}

bool CallController::endsTheCall(const std::shared_ptr<rtc::IRTCSession2>& ended) {
    // The end of a call we turned away touches nothing but the count of incoming calls.
    if (m_record->takeTurnedAway(ended)) {
        if (incomingCount > 0) --incomingCount;
        return false;
    }
    // The end of a session that is not the call in progress leaves that call alone.
    if (session && ended && ended != session) {
        if (incomingCount > 0) --incomingCount;
        return false;
    }
    if (incomingCount > 1 && connected) {
        --incomingCount;
        return false;
    }
    if (incomingCount >= 2) return false;
    // Outgoing calls never raised the count, so it must not drop below zero for them.
    if (incomingCount > 0) --incomingCount;
    return true;
}

void CallController::endCall(const std::shared_ptr<rtc::IRTCSession2>& ended, long sipCode, int& step) {
    emit stateShown(rtc::RTCSS_DISCONNECTED, QStringLiteral("Status: DISCONNECTED"));
    if (m_record->open())
        m_record->report(CallActivity::Phase::Ended,
                         m_record->endingOutcome(m_ringer->session() == ended || m_announced == ended, sipCode));
    emit ready();
    step = 22;
    if (session) {
        step = 23;
        const auto participants = session->get_Participants();
        step = 24;
        // The session has ended: its participants go at once, the engine asks nothing of them.
        const long count = participants ? participants->get_Count() : 0;
        for (long index = 1; index <= count; ++index) {
            step = 25;
            const auto current = session; // a handler the removal ran may have cleared it
            if (!current) break;
            current->RemoveParticipant(participants->get_Item(index));
            step = 26;
        }
    }
    step = 27;
    session.reset();
    step = 28;
    connected = false;
    emit released();
}

void CallController::reportStart(CallActivity::Phase phase, bool incoming, const std::shared_ptr<rtc::IRTCSession2>& of,
                                 const CallTarget* placed) {
    CallActivity named = partyOf(of, m_contacts());
    if (placed) {
        named.name = placed->name;
        named.email = placed->email;
        named.address = placed->address;
    }
    m_record->start(phase, incoming, named);
}

bool CallController::turnAwayByChoice(const std::shared_ptr<rtc::IRTCSession2>& ringingSession,
                                      const CallActivity& caller) {
    using Decision = basMain::RingPolicy::Decision;
    const Decision decision = m_ringPolicy.decide(caller.contact, callerKey(caller.address), nowMs());
    if (decision == Decision::Ring) return false;
    m_record->turnAway(caller, CallActivity::Outcome::Refused, ringingSession);
    required(ringingSession)->Terminate(decision == Decision::DoNotDisturb ? rtc::RTCTR_DND : rtc::RTCTR_REJECT);
    return true;
}

QString CallController::callerKey(const QString& callAddress) const {
    const qsizetype colon = callAddress.lastIndexOf(QLatin1Char(':'));
    const QString host = colon < 0 ? callAddress : callAddress.left(colon);
    return m_relayHosts && m_relayHosts().contains(host) ? callAddress : host;
}

QString CallController::otherParty(const std::shared_ptr<rtc::IRTCSession2>& of) const {
    const CallActivity party = partyOf(of, m_contacts());
    return QStringLiteral("User: ") + wire::cleanPeerText(party.name, kCaptionNameChars) + QStringLiteral("    ") +
           wire::cleanPeerText(party.email, kCaptionAddressChars);
}

CallActivity CallController::callerOf(const std::shared_ptr<rtc::IRTCSession2>& of) const {
    CallActivity caller = partyOf(of, m_contacts());
    caller.incoming = true;
    return caller;
}

QString CallController::placingText(const Placing& placing, const std::optional<CallTarget>& target) {
    const QString name = target ? target->name : QString();
    switch (placing.failure) {
    case PlaceFailure::None:
        return {};
    case PlaceFailure::NoTarget:
        return QStringLiteral("No contact is selected: click a contact in the list, then press Connect.");
    case PlaceFailure::NoAddress:
        if (target->fromHistory)
            return name + QStringLiteral(" cannot be called back: this call left no call address. Wait until ") + name +
                   QStringLiteral(" is on line and call from the contact list.");
        return name + QStringLiteral(" cannot be called now: no call address. Wait until ") + name +
               QStringLiteral(" is on line, click the row again and press Connect.");
    case PlaceFailure::Engine:
        return QStringLiteral("The call could not be placed: ") + placing.error;
    }
    return {};
}

void CallController::requestRefused(const std::shared_ptr<rtc::IRTCEvent>& event) {
    try {
        const auto refusal = std::dynamic_pointer_cast<rtc::RequestRefusedEventData>(event);
        if (!refusal) vb::raise(vb::kErrTypeMismatch);
        // Every refusal is logged: the user may want to know who tried what.
        basMain::logCaught(QStringLiteral("RequestRefusedEvent"),
                           vb::VbError(vb::kErrPermissionDenied, refusal->description()));
        const auto& caller = refusal->caller();
        if (refusal->what() != rtc::RequestRefusedEventData::What::Call || !caller) return;
        const basMain::CallerIdentity identity = basMain::identifyCaller(
            {caller->get_Name(), caller->get_UserURI(), caller->get_SourceAddress(), caller->get_ContactAddress(), {}},
            m_contacts());
        CallActivity refused;
        refused.name = identity.name;
        refused.email = identity.email;
        refused.address = identity.callAddress;
        refused.contact = identity.contact;
        m_record->turnAway(refused, CallActivity::Outcome::Refused);
    } catch (const std::exception& error) {
        basMain::logCaught(QStringLiteral("RequestRefusedEvent"), error);
    }
}

} // namespace callcontrol
