// Web socket handlers of the main window.
#include "app/frmMain.h"

void frmMain::oMySocketWeb_OnConnect(qint32) {}
void frmMain::oMySocketWeb_OnDataArrival(qint32, const QString&, const QString&) {}
void frmMain::oMySocketWeb_OnClose() {}
void frmMain::oMySocketWeb_OnError(qint32, const QString&) {}
