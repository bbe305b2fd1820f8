// Placing, answering and ending calls, and the main window through the life of a call: the call
// controller keeps the calls, the window shows them.
#include "app/CallHelpers.h"
#include "app/frmMain.h"
#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "platform/widgets/Controls.h"
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

// Tells the user in the status box, in red, what went wrong and what to do about it.
void showFailure(frmMain& form, const QString& text) {
    vb::setForeColor(*form.txtStatus, vb::vbRed);
    form.txtStatus->setPlainText(text);
}

// ---- The two recurring sets of control changes ----

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

namespace callengine {
void setRingPassMsForTesting(int milliseconds) {
    callcontrol::CallRinger::setCheckMsForTesting(milliseconds);
}
} // namespace callengine

CallController* frmMain::makeCallController() {
    auto* calls = new CallController([this] { return g_objRTCClient; },
                                     [this] { return callengine::contactEntries(*LstUsers); }, this);
    connect(&calls->record(), &callcontrol::CallRecord::callActivity, this, &frmMain::callActivity);
    connect(&calls->record(), &callcontrol::CallRecord::callActivity, this, &frmMain::showCallActivity);
    connect(calls, &CallController::stateShown, this, &frmMain::showCallState);
    connect(calls, &CallController::ringing, this, [this] {
        lock(*this);
        cmdAnswer->setEnabled(true);
        cmdTerminate->setEnabled(true); // refuses the ringing call
    });
    connect(calls, &CallController::ready, this, [this] {
        vb::setForeColor(*txtStatus, m_callFailed ? vb::vbRed : vb::vbBlack);
        txtStatus->setPlainText(m_callEnding.isEmpty() ? kReady : m_callEnding + QStringLiteral("\r\n") + kReady);
    });
    connect(calls, &CallController::released, this, [this] {
        release(*this);
        setWindowTitle(versionCaption());
        g_intOnLineTicks = 1;
        tmrUpdateUserOnLine->start();
    });
    return calls;
}

void frmMain::setUpRinging() {
    connect(chkAutoAnswer, &QCheckBox::stateChanged, m_calls,
            [this](int state) { m_calls->ringer().setAutoAnswer(state == Qt::Checked); });
    m_calls->ringer().setAutoAnswer(chkAutoAnswer->checkState() == Qt::Checked);
}

void frmMain::showCallState(long state, const QString& caption) {
    switch (state) {
    case rtc::RTCSS_INCOMING:
        if (isMinimized()) showNormal();
        // Answer and Terminate are on the Make Calls tab: a call must not ring behind another one.
        SSTab1->setCurrentIndex(0);
        raise();
        activateWindow();
        fraStatus->setTitle(caption);
        txtStatus->clear(); // what the last call left says nothing of this one
        return;
    case rtc::RTCSS_ANSWERING:
        vb::setForeColor(*txtStatus, vb::vbBlue);
        fraStatus->setTitle(caption);
        cmdAnswer->setEnabled(false);
        tmrRegistration->start(); // the answer time-out
        return;
    case rtc::RTCSS_INPROGRESS:
        vb::setForeColor(*txtStatus, vb::vbBlue);
        fraStatus->setTitle(caption);
        txtStatus->clear();
        lock(*this);
        cmdWizard->setEnabled(false);
        cmdTerminate->setEnabled(true); // cancels the call before it is answered
        return;
    case rtc::RTCSS_CONNECTED:
        vb::setForeColor(*txtStatus, vb::vbBlue);
        fraStatus->setTitle(caption);
        cmdTerminate->setEnabled(true);
        chkOptions[5]->setEnabled(false);
        cmdWizard->setEnabled(false);
        return;
    case rtc::RTCSS_DISCONNECTED:
        vb::setForeColor(*txtStatus, vb::vbBlue);
        fraStatus->setTitle(caption);
        return;
    default:
        fraStatus->setTitle(caption);
    }
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
    const QString name = target ? target->name : QString();
    switch (placing.failure) {
    case CallController::PlaceFailure::None:
        tmrUpdateUserOnLine->stop();
        g_intOnLineTicks = 1;
        break;
    case CallController::PlaceFailure::NoTarget:
        showFailure(*this, QStringLiteral("No contact is selected: click a contact in the list, then press Connect."));
        break;
    case CallController::PlaceFailure::NoAddress:
        if (target->fromHistory)
            showFailure(*this, name +
                                   QStringLiteral(" cannot be called back: this call left no call address. "
                                                  "Wait until ") +
                                   name + QStringLiteral(" is on line and call from the contact list."));
        else
            showFailure(*this, name + QStringLiteral(" cannot be called now: no call address. Wait until ") + name +
                                   QStringLiteral(" is on line, click the row again and press Connect."));
        break;
    case CallController::PlaceFailure::Engine:
        showFailure(*this, QStringLiteral("The call could not be placed: ") + placing.error);
        break;
    }
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
