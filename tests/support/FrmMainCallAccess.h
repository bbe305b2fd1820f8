#pragma once
// The tests' way into the private RTC set-up of the main window (frmMain befriends this struct).
#include "app/frmMain.h"

struct FrmMainCallAccess {
    static void initRtc(frmMain& form, int& step) { form.fnInitRTCClient(step); }
};
