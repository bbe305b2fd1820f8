// Chat link handlers of the main window.
#include "app/frmMain.h"

void frmMain::oMySocket_OnConnect(qint32) {}
void frmMain::oMySocket_OnDataArrival(qint32, const QString&, const QString&) {}
void frmMain::oMySocket_OnClose() {}
void frmMain::oMySocket_OnError(qint32, const QString&) {}
void frmMain::tmrServerCall_Timer() {}
void frmMain::tmrUpdateUserOnLine_Timer() {}
void frmMain::LstUsers_ColumnClick(int) {}
void frmMain::LstUsers_ItemClick(vb::ListItem*) {}
void frmMain::cmdManageContacts_Click() {}
