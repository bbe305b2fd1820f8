// Placing, answering and ending calls, and the main window through the life of a call.
#include "app/ErrorLog.h"
#include "app/basMain.h"
#include "app/frmMain.h"
#include "call/CallHelpers.h"
#include "platform/Controls.h"
#include "platform/win32.h"

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

// The ringing loop: passes of at least this many milliseconds, a ring every 400 passes, and the
// call refused after the last of them.
int s_ringPassMs = 10;
constexpr qint16 kRingPasses = 4000;
constexpr qint16 kRingEvery = 400;

const QString kReady = QStringLiteral("RTCClient is initialized and ready to make/receive calls.");

// "User: name    sip:address" of the client the session belongs to.
QString localUser(const std::shared_ptr<rtc::IRTCSession2>& session) {
    const auto client = required(session)->get_Client();
    required(client);
    return QStringLiteral("User: ") + client->get_LocalUserName() + QStringLiteral("    ") + client->get_LocalUserURI();
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
    s_ringPassMs = milliseconds < 0 ? 10 : milliseconds;
}
} // namespace callengine

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
    form.cmdConnect->setEnabled(true);
    form.cmdManageContacts->setEnabled(true);
    form.tmrServerCall->start();
    form.fraSend->setEnabled(true);
    form.fraReceive->setEnabled(true);
    form.LstUsers->setEnabled(true);
    form.cmdWizard->setEnabled(true);
}

} // namespace

void frmMain::cmdConnect_Click() {
    tmrServerCall->stop();
    cmdConnect->setEnabled(false);
    int step = 0;
    QString address;
    QString name;
    try {
        const vb::ListItem* row = LstUsers->selectedItem();
        if (!row) vb::raise(vb::kErrObjectNotSet);
        address = QStringLiteral("sip:") + row->Tag();
        step = 1;
        g_objSession = required(g_objRTCClient)->CreateSession(rtc::RTCST_PC_TO_PC, QString(), 0);
        step = 5;
        name = row->SubItem(1) + QStringLiteral(" [") + row->SubItem(2) + QStringLiteral("]");
        required(g_objSession)->AddParticipant(address, name);
        step = 6;
        tmrUpdateUserOnLine->stop();
        g_intOnLineTicks = 1;
    } catch (const std::exception& error) {
        logCaught(step == 5 ? stepName("cmdConnect_Click", 5) + QLatin1Char(' ') + address + QLatin1Char('|') + name
                            : stepName("cmdConnect_Click", step),
                  error);
    }
}

void frmMain::cmdAnswer_Click() {
    try {
        g_blnManualAnswer = true; // the ringing loop answers
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("cmdAnswer_Click"), error);
    }
}

void frmMain::cmdTerminate_Click() {
    int step = 0;
    try {
        cmdTerminate->setEnabled(false);
        const auto session = required(g_objSession);
        if (session->get_State() == rtc::RTCSS_INCOMING) {
            step = 4;
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
            if (g_blnCallConnected || g_intIncomingCount >= 2) {
                // A second call is refused while one is connected or ringing.
                step = 19;
                m_refusedSessions.push_back(session);
                required(session)->Terminate(rtc::RTCTR_REJECT);
                return;
            }
            if (isMinimized()) showNormal();
            raise();
            activateWindow();
            step = 5;
            fraStatus->setTitle(QStringLiteral("Status: INCOMING ") + localUser(session));
            vb::DoEvents();
            step = 6;
            if (!g_objSession) {
                lock(*this);
                cmdAnswer->setEnabled(true);
                step = 7;
                g_blnManualAnswer = false;
                qint16 pass = 0;
                for (;;) {
                    ++pass;
                    if (pass == 1 || (pass % kRingEvery == 0 && pass <= kRingPasses)) {
                        step = 8;
                        required(g_objRTCClient)->PlayRing(rtc::RTCRT_PHONE, true);
                    }
                    if (vb::Value(*chkAutoAnswer) == vb::vbChecked) break;
                    vb::DoEvents();
                    win32::Sleep(s_ringPassMs);
                    vb::DoEvents();
                    if (pass >= kRingPasses) {
                        step = 9;
                        g_objSession = session;
                        step = 10;
                        required(g_objSession)->Terminate(rtc::RTCTR_REJECT);
                        g_blnCallConnected = false;
                        return;
                    }
                    if (g_blnManualAnswer) break;
                    vb::DoEvents();
                    // The caller gave up: its end has been handled meanwhile, nothing is left to answer.
                    if (hasEnded(required(session))) return;
                }
                step = 11;
                g_objSession = session;
                step = 12;
                if (vb::Value(*chkAutoAnswer) == vb::vbChecked || g_blnManualAnswer) {
                    step = 14;
                    required(g_objSession)->Answer();
                }
            } else if (g_objSession->get_State() != rtc::RTCSS_CONNECTED) {
                lock(*this);
                cmdAnswer->setEnabled(true);
                step = 15;
                required(g_objRTCClient)->PlayRing(rtc::RTCRT_PHONE, true);
                step = 16;
                g_objSession = session;
                step = 17;
                if (vb::Value(*chkAutoAnswer) == vb::vbChecked) {
                    step = 18;
                    required(g_objSession)->Answer();
                }
            }
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
            break;

        case rtc::RTCSS_CONNECTED:
            g_blnCallConnected = true;
            vb::setForeColor(*txtStatus, vb::vbBlue);
            step = 21;
            fraStatus->setTitle(QStringLiteral("Status: CONNECTED ") + localUser(session));
            cmdTerminate->setEnabled(true);
            chkOptions[5]->setEnabled(false);
            cmdWizard->setEnabled(false);
            break;

        case rtc::RTCSS_DISCONNECTED: {
            // The end of a call we turned away touches nothing but the count of incoming calls.
            for (auto it = m_refusedSessions.begin(); it != m_refusedSessions.end();) {
                const auto refused = it->lock();
                if (!refused) {
                    it = m_refusedSessions.erase(it);
                    continue;
                }
                if (refused == session) {
                    m_refusedSessions.erase(it);
                    if (g_intIncomingCount > 0) --g_intIncomingCount;
                    return;
                }
                ++it;
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
                        vb::DoEvents();
                    }
                }
            }
            step = 27;
            g_objSession.reset();
            step = 28;
            release(*this);
            step = 30;
            vb::DoEvents();
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
