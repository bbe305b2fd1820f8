#include "callui/CallButtons.h"

#include "call/rtc/Rtc.h"
#include "core/basMain.h"
#include "platform/widgets/ListView.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTimer>

CallButtons::CallButtons(const Controls& controls, QObject* parent) : QObject(parent), m_controls(controls) {}

void CallButtons::lock() {
    m_controls.connect->setEnabled(false);
    m_controls.manageContacts->setEnabled(false);
    m_controls.serverCall->stop();
    m_controls.send->setEnabled(false);
    m_controls.receive->setEnabled(false);
    m_controls.users->setEnabled(false);
}

void CallButtons::ringing() {
    lock();
    m_controls.answer->setEnabled(true);
    m_controls.terminate->setEnabled(true); // refuses the ringing call
}

void CallButtons::stateChanged(long state) {
    switch (state) {
    case rtc::RTCSS_ANSWERING:
        m_controls.answer->setEnabled(false);
        m_controls.answerTimeout->start();
        return;
    case rtc::RTCSS_INPROGRESS:
        lock();
        m_controls.wizard->setEnabled(false);
        m_controls.terminate->setEnabled(true); // cancels the call before it is answered
        return;
    case rtc::RTCSS_CONNECTED:
        m_controls.terminate->setEnabled(true);
        m_controls.echoCancel->setEnabled(false);
        m_controls.wizard->setEnabled(false);
        return;
    default:
        return;
    }
}

void CallButtons::released() {
    m_controls.echoCancel->setEnabled(true);
    m_controls.wizard->setEnabled(true);
    m_controls.answer->setEnabled(false);
    m_controls.terminate->setEnabled(false);
    // Connect needs a row to call; contacts cannot be managed through the alternate server.
    m_controls.connect->setEnabled(m_controls.users->selectedItem() != nullptr);
    m_controls.manageContacts->setEnabled(basMain::g_strAltServerBase.isEmpty());
    m_controls.serverCall->start();
    m_controls.send->setEnabled(true);
    m_controls.receive->setEnabled(true);
    m_controls.users->setEnabled(true);
}
