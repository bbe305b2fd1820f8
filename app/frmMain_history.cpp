// The "History" tab of the main window: the calls the window reports, kept in a file beside the
// settings files; a double-click calls the row's party back.
#include "app/frmMain.h"

#include "history/CallHistoryView.h"
#include "platform/vb.h"

#include <QTabWidget>

void frmMain::addHistoryTab() {
    viewHistory = new history::CallHistoryView;
    const int tab = SSTab1->addTab(viewHistory, history::CallHistoryView::tabTitle(0));
    viewHistory->open(vb::AppPath() + QStringLiteral("/CallHistory.sqlite"));
    SSTab1->setTabText(tab, history::CallHistoryView::tabTitle(viewHistory->unseenMissed()));
    connect(viewHistory, &history::CallHistoryView::unseenMissedChanged, this,
            [this, tab](int count) { SSTab1->setTabText(tab, history::CallHistoryView::tabTitle(count)); });
    connect(this, &frmMain::callActivity, viewHistory, &history::CallHistoryView::record);
    connect(viewHistory, &history::CallHistoryView::callBackRequested, this, &frmMain::callBack);
}

void frmMain::callBack(const QString& name, const QString& email, const QString& address) {
    // One call at a time: while one rings, is placed or is connected, a double-click does nothing.
    if (m_calls->busy() || !g_objRTCClient) return;
    placeCall(CallTarget{name, email, address, true});
}
