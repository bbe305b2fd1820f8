// Registration and operation events of the main window.
#include "app/frmMain.h"

void frmMain::Receive_Event(long& /*RTCEvent*/, const std::shared_ptr<rtc::IRTCEvent>& /*pEvent*/) {}
