// What the user sees of a call beside the engine's own words: under the status box the call's
// timer, how it fares, and the word that there is no sound to be had on this machine.
#include "app/frmMain.h"
#include "callui/CallStatusBar.h"

#include <QGroupBox>
#include <QLayout>

void frmMain::addCallView() {
    barCallStatus = new CallStatusBar(fraStatus);
    fraStatus->layout()->addWidget(barCallStatus);
}
