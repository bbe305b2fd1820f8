// Placing, answering and ending calls, and the main window through the life of a call.
#include "app/CallHelpers.h"
#include "app/frmMain.h"
#include "call/control/CallRecord.h"
#include "call/control/CallRinger.h"
#include "call/rtc/CallerOrigin.h"
#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "platform/widgets/Controls.h"
#include "wire/PeerText.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

using namespace basMain;
using callengine::eventAs;
using callengine::required;
using callengine::stepName;

namespace {

const QString kReady = QStringLiteral("RTCClient is initialized and ready to make/receive calls.");

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

// The other party of a call. An incoming call's caller is named by the facts of where its
// request came from (identifyCaller); a call placed here by the listed contact whose call address
// the remote address names, anybody else by the name and address of its SIP identity. Texts are
// cleaned for the screen.
struct Party {
    QString name;
    QString email;
    QString callAddress;
    bool contact = false;
};

Party partyOf(const frmMain& form, const std::shared_ptr<rtc::IRTCSession2>& session) {
    Party party;
    std::shared_ptr<rtc::IRTCParticipant> participant;
    const auto participants = required(session)->get_Participants();
    if (participants && participants->get_Count() > 0) participant = participants->get_Item(1);
    if (participant) {
        party.name = participant->get_Name();
        party.email = participant->get_UserURI();
    }
    const QList<basMain::ContactEntry> contacts = callengine::contactEntries(*form.LstUsers);
    if (const auto origin = std::dynamic_pointer_cast<rtc::IRTCCallerOrigin>(participant)) {
        const basMain::CallerIdentity caller = basMain::identifyCaller(
            {party.name, party.email, origin->get_SourceAddress(), origin->get_ContactAddress(), {}}, contacts);
        return {caller.name, caller.email, caller.callAddress, caller.contact};
    }
    party.callAddress = callAddressIn(party.email);
    for (const basMain::ContactEntry& entry : contacts) {
        if (!basMain::sameCallAddress(entry.callAddress, party.callAddress)) continue;
        party.name = entry.name;
        party.email = entry.email;
        party.contact = true;
        break;
    }
    return {wire::cleanPeerText(party.name), wire::cleanPeerText(party.email), party.callAddress, party.contact};
}

// The caller of an incoming call as a report of it names it.
CallActivity callerActivity(const Party& party) {
    CallActivity caller;
    caller.incoming = true;
    caller.name = party.name;
    caller.email = party.email;
    caller.address = party.callAddress;
    caller.contact = party.contact;
    return caller;
}

// "User: name    address" of the other party of a call, as the status caption shows it: short
// enough that the window keeps its size whatever the party calls itself.
QString otherParty(const frmMain& form, const std::shared_ptr<rtc::IRTCSession2>& session) {
    const Party party = partyOf(form, session);
    return QStringLiteral("User: ") + wire::cleanPeerText(party.name, kCaptionNameChars) + QStringLiteral("    ") +
           wire::cleanPeerText(party.email, kCaptionAddressChars);
}

// A call address others can be called at: "host:port" with a host and a port from 1 to 65535.
bool usableCallAddress(const QString& address) {
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    bool numeric = false;
    const int port = address.mid(colon + 1).toInt(&numeric);
    return colon > 0 && numeric && port > 0 && port <= 65535 && !address.contains(QLatin1Char(' ')) &&
           !address.contains(QLatin1Char('@'));
}

// Tells the user in the status box, in red, what went wrong and what to do about it.
void showFailure(frmMain& form, const QString& text) {
    vb::setForeColor(*form.txtStatus, vb::vbRed);
    form.txtStatus->setPlainText(text);
}

bool hasEnded(const std::shared_ptr<rtc::IRTCSession2>& session) {
    try {
        return session->get_State() == rtc::RTCSS_DISCONNECTED;
    } catch (const std::exception&) {
        return false; // a session that cannot tell is taken as still ringing
    }
}

} // namespace

namespace callengine {
void setRingPassMsForTesting(int milliseconds) {
    callcontrol::CallRinger::setCheckMsForTesting(milliseconds);
}
} // namespace callengine

void frmMain::setUpRinging() {
    m_record = new callcontrol::CallRecord(this);
    connect(m_record, &callcontrol::CallRecord::callActivity, this, &frmMain::callActivity);
    m_ringer = new callcontrol::CallRinger([this] { return g_objRTCClient; }, this);
    connect(chkAutoAnswer, &QCheckBox::stateChanged, m_ringer,
            [this](int state) { m_ringer->setAutoAnswer(state == Qt::Checked); });
    m_ringer->setAutoAnswer(chkAutoAnswer->checkState() == Qt::Checked);
    // What follows a ringing keeps the step numbers of the session's handler in the log.
    const auto steps = [](int first, auto&& body) {
        int step = first;
        try {
            body(step);
        } catch (const std::exception& error) {
            logCaught(stepName("SessionStateEvent", step), error);
        }
    };
    connect(m_ringer, &callcontrol::CallRinger::answered, this,
            [this, steps](const std::shared_ptr<rtc::IRTCSession2>& session) {
                steps(11, [&](int& step) {
                    g_objSession = session;
                    step = 14;
                    required(g_objSession)->Answer();
                });
            });
    connect(m_ringer, &callcontrol::CallRinger::timedOut, this,
            [this, steps](const std::shared_ptr<rtc::IRTCSession2>& session) {
                steps(9, [&](int& step) {
                    g_objSession = session;
                    step = 10;
                    required(g_objSession)->Terminate(rtc::RTCTR_REJECT);
                    g_blnCallConnected = false;
                    reportCall(CallActivity::Phase::Ended, CallActivity::Outcome::Missed);
                });
            });
    connect(m_ringer, &callcontrol::CallRinger::ended, this, [this](bool declined) {
        reportCall(CallActivity::Phase::Ended, declined || m_record->isEndedByUser() ? CallActivity::Outcome::Declined
                                                                                     : CallActivity::Outcome::Missed);
    });
}

// ---- The two recurring sets of control changes ----

namespace {

void lock(frmMain& form) {
    form.cmdConnect->setEnabled(false);
    form.cmdManageContacts->setEnabled(false);
    form.tmrServerCall->stop();
    form.fraSend->setEnabled(false);
    form.fraReceive->setEnabled(false);
    form.LstUsers->setEnabled(false);
}

void release(frmMain& form) {
    form.chkOptions[5]->setEnabled(true);
    form.cmdWizard->setEnabled(true);
    form.cmdAnswer->setEnabled(false);
    form.cmdTerminate->setEnabled(false);
    // Connect needs a row to call; contacts cannot be managed through the alternate server.
    form.cmdConnect->setEnabled(form.LstUsers->selectedItem() != nullptr);
    form.cmdManageContacts->setEnabled(g_strAltServerBase.isEmpty());
    form.tmrServerCall->start();
    form.fraSend->setEnabled(true);
    form.fraReceive->setEnabled(true);
    form.LstUsers->setEnabled(true);
    form.cmdWizard->setEnabled(true);
}

} // namespace

void frmMain::cmdConnect_Click() {
    const vb::ListItem* row = LstUsers->selectedItem();
    placeCall(row ? std::optional<CallTarget>({row->SubItem(1), row->SubItem(2), row->Tag()}) : std::nullopt);
}

void frmMain::placeCall(const std::optional<CallTarget>& target) {
    tmrServerCall->stop();
    cmdConnect->setEnabled(false);
    int step = 0;
    QString address;
    QString name;
    QString displayName;
    try {
        if (!target) vb::raise(vb::kErrObjectNotSet);
        displayName = target->name;
        address = QStringLiteral("sip:") + target->address;
        step = 1;
        g_objSession = required(g_objRTCClient)->CreateSession(rtc::RTCST_PC_TO_PC, QString(), 0);
        step = 5;
        name = displayName + QStringLiteral(" [") + target->email + QStringLiteral("]");
        // A contact off line has no call address; the engine would try to call "sip:" itself.
        if (!usableCallAddress(target->address)) vb::raise(vb::kErrInvalidCall);
        required(g_objSession)->AddParticipant(address, name);
        reportCallStart(CallActivity::Phase::Placing, false, g_objSession, &*target);
        step = 6;
        tmrUpdateUserOnLine->stop();
        g_intOnLineTicks = 1;
    } catch (const std::exception& error) {
        logCaught(step == 5 ? stepName("cmdConnect_Click", 5) + QLatin1Char(' ') + address + QLatin1Char('|') + name
                            : stepName("cmdConnect_Click", step),
                  error);
        // A session that never placed its call must not stand for a call in progress.
        if (step == 5) g_objSession.reset();
        if (step == 0)
            showFailure(*this, QStringLiteral("No contact is selected: click a contact in the list, then press "
                                              "Connect."));
        else if (step == 5 && target->fromHistory)
            showFailure(*this, displayName +
                                   QStringLiteral(" cannot be called back: this call left no call address. "
                                                  "Wait until ") +
                                   displayName + QStringLiteral(" is on line and call from the contact list."));
        else if (step == 5)
            showFailure(*this, displayName + QStringLiteral(" cannot be called now: no call address. Wait until ") +
                                   displayName + QStringLiteral(" is on line, click the row again and press Connect."));
        else
            showFailure(*this, QStringLiteral("The call could not be placed: ") + QString::fromUtf8(error.what()));
    }
}

void frmMain::cmdAnswer_Click() {
    m_ringer->answer(); // the ringing call is picked up at its next check
}

void frmMain::cmdTerminate_Click() {
    int step = 0;
    try {
        cmdTerminate->setEnabled(false);
        m_record->endedByUser();
        // While a call rings its session is not yet ours; Terminate then refuses it.
        const auto session = g_objSession ? g_objSession : m_ringer->session();
        required(session);
        if (session->get_State() == rtc::RTCSS_INCOMING) {
            step = 4;
            m_ringer->decline();
            session->Terminate(rtc::RTCTR_REJECT);
            step = 5;
            required(g_objRTCClient)->PlayRing(rtc::RTCRT_PHONE, false);
        } else {
            step = 6;
            session->Terminate(rtc::RTCTR_NORMAL);
        }
        tmrUpdateUserOnLine->start();
        g_intOnLineTicks = 1;
    } catch (const std::exception& error) {
        logCaught(stepName("cmdTerminate_Click", step), error);
    }
}

void frmMain::SessionStateEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    int step = 0;
    try {
        const auto event = eventAs<rtc::IRTCSessionStateChangeEvent>(pEvent);
        const auto session = event->get_Session();
        switch (event->get_State()) {
        case rtc::RTCSS_IDLE:
            fraStatus->setTitle(QStringLiteral("Status: IDLE"));
            break;

        case rtc::RTCSS_INCOMING: {
            ++g_intIncomingCount;
            step = 4;
            // Only one call at a time: a second one is refused while one is connected or
            // ringing, and (busy) while our own is being placed.
            const bool refuse = g_blnCallConnected || g_intIncomingCount >= 2;
            if (refuse || g_objSession) {
                step = 19;
                // Not the call in progress: reported on its own, as missed.
                m_record->turnAway(callerActivity(partyOf(*this, session)), CallActivity::Outcome::Missed, session);
                required(session)->Terminate(refuse ? rtc::RTCTR_REJECT : rtc::RTCTR_BUSY);
                return;
            }
            step = 18;
            // The user's settings, or a stranger's calls over and over, may keep it from ringing.
            if (turnAwayByChoice(session, callerActivity(partyOf(*this, session)))) return;
            reportCallStart(CallActivity::Phase::Ringing, true, session);
            if (isMinimized()) showNormal();
            raise();
            activateWindow();
            step = 5;
            fraStatus->setTitle(QStringLiteral("Status: INCOMING ") + otherParty(*this, session));
            // The window comes up before the phone rings: the user sees who calls as it rings.
            vb::DoEvents();
            step = 6;
            // The caller gave up while the window came up: its end has been handled already.
            if (hasEnded(required(session))) {
                reportCall(CallActivity::Phase::Ended, CallActivity::Outcome::Missed);
                return;
            }
            if (g_objSession) {
                // A call of ours was placed meanwhile.
                m_record->ignoreEnd(session);
                required(session)->Terminate(rtc::RTCTR_BUSY);
                return;
            }
            lock(*this);
            cmdAnswer->setEnabled(true);
            cmdTerminate->setEnabled(true); // refuses the ringing call
            step = 7;
            // The ringer takes it from here: answered, refused or given up, it tells the window.
            m_ringer->start(session);
            break;
        }

        case rtc::RTCSS_ANSWERING:
            vb::setForeColor(*txtStatus, vb::vbBlue);
            fraStatus->setTitle(QStringLiteral("Status: ANSWERING"));
            step = 20;
            cmdAnswer->setEnabled(false);
            tmrRegistration->start(); // the answer time-out
            break;

        case rtc::RTCSS_INPROGRESS:
            vb::setForeColor(*txtStatus, vb::vbBlue);
            fraStatus->setTitle(QStringLiteral("Status: INPROGRESS"));
            lock(*this);
            cmdWizard->setEnabled(false);
            cmdTerminate->setEnabled(true); // cancels the call before it is answered
            break;

        case rtc::RTCSS_CONNECTED:
            g_blnCallConnected = true;
            vb::setForeColor(*txtStatus, vb::vbBlue);
            step = 21;
            fraStatus->setTitle(QStringLiteral("Status: CONNECTED ") + otherParty(*this, session));
            cmdTerminate->setEnabled(true);
            chkOptions[5]->setEnabled(false);
            reportCall(CallActivity::Phase::Connected);
            cmdWizard->setEnabled(false);
            break;

        case rtc::RTCSS_DISCONNECTED: {
            // The caller gave up, or the user's refusal went through: the ringing ends with it.
            m_ringer->sessionEnded(session);
            // The end of a call we turned away touches nothing but the count of incoming calls.
            if (m_record->takeTurnedAway(session)) {
                if (g_intIncomingCount > 0) --g_intIncomingCount;
                return;
            }
            // The end of a session that is not the call in progress leaves that call alone.
            if (g_objSession && session && session != g_objSession) {
                if (g_intIncomingCount > 0) --g_intIncomingCount;
                return;
            }
            if (g_intIncomingCount > 1 && g_blnCallConnected) {
                --g_intIncomingCount;
                return;
            }
            if (g_intIncomingCount >= 2) return;
            // Outgoing calls never raised the count, so it must not drop below zero for them.
            if (g_intIncomingCount > 0) --g_intIncomingCount;
            vb::setForeColor(*txtStatus, vb::vbBlue);
            fraStatus->setTitle(QStringLiteral("Status: DISCONNECTED"));
            if (m_record->open())
                reportCall(CallActivity::Phase::Ended, m_record->endingOutcome(m_ringer->session() == session));
            vb::setForeColor(*txtStatus, vb::vbBlack);
            txtStatus->setPlainText(kReady);
            step = 22;
            if (g_objSession) {
                step = 23;
                const auto participants = g_objSession->get_Participants();
                step = 24;
                if (participants && participants->get_Count() > 0) {
                    const long count = participants->get_Count();
                    for (long index = 1; index <= count; ++index) {
                        step = 25;
                        const auto current = g_objSession; // a handler run meanwhile may clear it
                        if (!current) break;
                        current->RemoveParticipant(participants->get_Item(index));
                        step = 26;
                        // The engine hears of each removal before the next.
                        vb::DoEvents();
                    }
                }
            }
            step = 27;
            g_objSession.reset();
            step = 28;
            release(*this);
            step = 30;
            setWindowTitle(versionCaption());
            g_blnCallConnected = false;
            g_intOnLineTicks = 1;
            tmrUpdateUserOnLine->start();
            break;
        }

        case rtc::RTCSS_HOLD:
            fraStatus->setTitle(QStringLiteral("Status: HOLD"));
            break;
        case rtc::RTCSS_REFER:
            fraStatus->setTitle(QStringLiteral("Status: REFERRED"));
            break;
        default:
            break;
        }
    } catch (const std::exception& error) {
        logCaught(stepName("SessionStateEvent", step), error);
    }
}

void frmMain::tmrRegistration_Timer() {
    QString marker = QStringLiteral(" [1]");
    try {
        tmrRegistration->stop();
        marker = QStringLiteral(" [2]");
        if (g_blnLogOffPending) {
            g_blnLogOffPending = false;
            return;
        }
        if (fraStatus->title() == QStringLiteral("Status: ANSWERING")) {
            marker = QStringLiteral(" [3]");
            required(g_objSession)->Terminate(rtc::RTCTR_TIMEOUT);
            marker = QStringLiteral(" [5]");
        } else {
            g_blnRegistrationTimeOut = true;
        }
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("tmrRegistration_Timer") + marker, error);
    }
}

// ---- Reporting calls to whoever shows or keeps them ----

void frmMain::reportCallStart(CallActivity::Phase phase, bool incoming,
                              const std::shared_ptr<rtc::IRTCSession2>& session, const CallTarget* placed) {
    const Party party = partyOf(*this, session);
    CallActivity named;
    named.name = placed ? placed->name : party.name;
    named.email = placed ? placed->email : party.email;
    named.address = placed ? placed->address : party.callAddress;
    named.contact = party.contact;
    m_record->start(phase, incoming, named);
}

void frmMain::reportCall(CallActivity::Phase phase, CallActivity::Outcome outcome) {
    m_record->report(phase, outcome);
}
