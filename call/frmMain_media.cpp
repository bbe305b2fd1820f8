// Media options, video windows, volume and tuning of the main window.
#include "app/frmMain.h"

void frmMain::fnMediaSupp(long lngMediaCaps) {
    setProperty("mediaCapabilities", qlonglong(lngMediaCaps));
}
void frmMain::MediaEvent(const std::shared_ptr<rtc::IRTCEvent>& /*pEvent*/) {}
void frmMain::chkOptions_Click(int /*Index*/) {}
void frmMain::chkMuteMike_Click() {}
void frmMain::chkMuteSpiker_Click() {}
void frmMain::sldMike_Scroll() {}
void frmMain::sldSpiker_Scroll() {}
void frmMain::cmdWizard_Click() {}
void frmMain::chkStayOnTop_Click() {}
