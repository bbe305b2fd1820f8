// Placing, answering and ending calls, and the main window through the life of a call: the call
// controller keeps the calls, the window shows them.
#include "app/frmMain.h"
#include "call/control/CallPathsLink.h"
#include "call/control/CallSteps.h"
#include "callui/CallButtons.h"
#include "callui/CallView.h"
#include "callui/RingSettingsBoxes.h"
#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

using namespace basMain;
using callcontrol::CallController;

namespace {

const QString kReady = QStringLiteral("RTCClient is initialized and ready to make/receive calls.");

// The rows of the contact list, as callers and called parties are matched against them.
QList<ContactEntry> contactEntries(const vb::ListView& list) {
    QList<ContactEntry> entries;
    for (int index = 0; index < list.count(); ++index) {
        const vb::ListItem* row = list.itemAt(index);
        entries.append({row->SubItem(1), row->SubItem(2), row->Tag()});
    }
    return entries;
}

} // namespace

CallController* frmMain::makeCallController() {
    auto* calls =
        new CallController([this] { return g_objRTCClient; }, [this] { return contactEntries(*LstUsers); }, this);
    connect(&calls->record(), &callcontrol::CallRecord::callActivity, this, &frmMain::callActivity);
    connect(&calls->record(), &callcontrol::CallRecord::callActivity, this, &frmMain::showCallActivity);
    connect(calls, &CallController::stateShown, this, &frmMain::showCallState);
    connect(calls, &CallController::ringing, this, [this] { m_buttons->ringing(); });
    connect(calls, &CallController::ready, this, [this] {
        const QString& ending = m_callView->ending();
        vb::setForeColor(*txtStatus, m_callView->failed() ? vb::vbRed : vb::vbBlack);
        txtStatus->setPlainText(ending.isEmpty() ? kReady : ending + QStringLiteral("\r\n") + kReady);
    });
    connect(calls, &CallController::released, this, [this] {
        m_buttons->released();
        setWindowTitle(versionCaption());
        g_intOnLineTicks = 1;
        tmrUpdateUserOnLine->start();
    });
    return calls;
}

void frmMain::showCallActivity(const CallActivity& activity) {
    m_callView->follow(activity);
}

void frmMain::setUpRinging() {
    connect(chkAutoAnswer, &QCheckBox::stateChanged, m_calls,
            [this](int state) { m_calls->ringer().setAutoAnswer(state == Qt::Checked); });
    m_calls->ringer().setAutoAnswer(chkAutoAnswer->checkState() == Qt::Checked);
}

void frmMain::setUpCallScreening() {
    // The ring settings as the user sets them, for the call controller, which decides which calls
    // may ring.
    auto* boxes = new RingSettingsBoxes(fraAnsweraCall, m_calls->ringPolicy());
    chkDoNotDisturb = boxes->chkDoNotDisturb;
    chkContactsOnly = boxes->chkContactsOnly;
    // A caller on one of the chat server's relays is counted by its whole call address.
    m_calls->setRelayHosts([this] { return m_callPaths ? m_callPaths->relayHosts() : QStringList(); });
}

void frmMain::showCallState(long state, const QString& caption) {
    if (state == rtc::RTCSS_INCOMING) {
        if (isMinimized()) showNormal();
        // Answer and Terminate are on the Make Calls tab: a call must not ring behind another one.
        SSTab1->setCurrentIndex(0);
        raise();
        activateWindow();
    } else if (state == rtc::RTCSS_ANSWERING || state == rtc::RTCSS_INPROGRESS || state == rtc::RTCSS_CONNECTED ||
               state == rtc::RTCSS_DISCONNECTED) {
        vb::setForeColor(*txtStatus, vb::vbBlue);
    }
    fraStatus->setTitle(caption);
    // What the last call left says nothing of this one.
    if (state == rtc::RTCSS_INCOMING || state == rtc::RTCSS_INPROGRESS) txtStatus->clear();
    m_buttons->stateChanged(state);
}

void frmMain::cmdConnect_Click() {
    const vb::ListItem* row = LstUsers->selectedItem();
    if (row && refuseWaitingContact(*row)) return;
    if (!row) {
        placeCall(std::nullopt);
        return;
    }
    const CallTarget target{row->SubItem(1), row->SubItem(2), row->Tag()};
    // A contact shown Off may still be there (the list is only as fresh as the last poll), but
    // more likely the call would ring nowhere for half a minute: the user decides. Without a call
    // address there is nothing to ask; placing says why.
    if (row->Text() == QStringLiteral("Off") && !target.address.isEmpty()) {
        if (vb::MsgBox(target.name + QStringLiteral(" seems to be off line. Call anyway?"),
                       vb::vbYesNo | vb::vbQuestion, QStringLiteral("Call")) != vb::vbYes)
            return;
        // While the question stood a call may have come in and been answered: one call at a time.
        if (m_calls->busy()) return;
    }
    placeCall(target);
}

void frmMain::placeCall(const std::optional<CallTarget>& target) {
    tmrServerCall->stop();
    cmdConnect->setEnabled(false);
    const CallController::Placing placing = m_calls->place(target);
    if (placing.failure == CallController::PlaceFailure::None) {
        tmrUpdateUserOnLine->stop();
        g_intOnLineTicks = 1;
        return;
    }
    // What went wrong and what to do about it, in red.
    vb::setForeColor(*txtStatus, vb::vbRed);
    txtStatus->setPlainText(CallController::placingText(placing, target));
}

void frmMain::callBack(const QString& name, const QString& email, const QString& address) {
    // One call at a time: while one rings, is placed or is connected, a double-click does nothing.
    if (m_calls->busy() || !g_objRTCClient) return;
    placeCall(CallTarget{name, email, address, true});
}

void frmMain::cmdAnswer_Click() {
    m_calls->answer(); // the ringing call is picked up at its next check
}

void frmMain::cmdTerminate_Click() {
    cmdTerminate->setEnabled(false);
    if (!m_calls->hangUp()) return;
    tmrUpdateUserOnLine->start();
    g_intOnLineTicks = 1;
}

void frmMain::SessionStateEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    m_calls->sessionStateChanged(pEvent);
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
            callengine::required(g_objSession)->Terminate(rtc::RTCTR_TIMEOUT);
            marker = QStringLiteral(" [5]");
        } else {
            g_blnRegistrationTimeOut = true;
        }
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("tmrRegistration_Timer") + marker, error);
    }
}
