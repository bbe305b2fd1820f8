// Calls and session states of the main window.
#include "app/frmMain.h"

void frmMain::SessionStateEvent(const std::shared_ptr<rtc::IRTCEvent>& /*pEvent*/) {}
void frmMain::cmdConnect_Click() {}
void frmMain::cmdAnswer_Click() {}
void frmMain::cmdTerminate_Click() {}
void frmMain::tmrRegistration_Timer() {}
