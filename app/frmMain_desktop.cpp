// The window on the user's desktop: the calls in the tray and as notifications, closing to the
// tray so that calls still arrive, quitting from the tray or at the end of the session, and the
// box "Desktop" of the Tools tab.
#include "app/frmMain.h"

#include "desktop/CallDesktop.h"
#include "desktop/DesktopBox.h"
#include "desktop/SessionEnd.h"
#include "desktop/TrayIcon.h"
#include "history/CallHistoryView.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QPushButton>
#include <QTabWidget>

void frmMain::setUpDesktop() {
    // The desktop acts on the calls as the window's own buttons do.
    m_desktop = new desktop::CallDesktop(this);
    connect(this, &frmMain::callActivity, m_desktop, &desktop::CallDesktop::follow);
    connect(m_desktop, &desktop::CallDesktop::answerRequested, cmdAnswer, &QPushButton::click);
    connect(m_desktop, &desktop::CallDesktop::declineRequested, cmdTerminate, &QPushButton::click);
    // Queued: the menu that asked is left before the window signs off and goes.
    connect(m_desktop, &desktop::CallDesktop::quitRequested, this, &frmMain::quitFromDesktop, Qt::QueuedConnection);
    connect(m_desktop, &desktop::CallDesktop::showRequested, this, &frmMain::showFromDesktop);
    connect(m_desktop, &desktop::CallDesktop::historyRequested, this, [this] {
        showFromDesktop();
        // A call ringing now keeps the tab with Answer in front.
        if (!m_calls->ringer().ringing()) SSTab1->setCurrentWidget(viewHistory);
    });
    // A call rings where it can be answered, also when the window was in the tray.
    connect(this, &frmMain::callActivity, this, [this](const CallActivity& activity) {
        if (activity.phase == CallActivity::Phase::Ringing && activity.incoming && isHidden() && !m_inUnload &&
            !m_unloaded)
            showFromDesktop();
    });

    auto* box = new desktop::DesktopBox(fraWizard->parentWidget());
    fraDesktop = box;
    chkQuitOnClose = box->chkQuitOnClose;
    chkStartAtLogin = box->chkStartAtLogin;
    if (auto* tools = qobject_cast<QBoxLayout*>(fraWizard->parentWidget()->layout()))
        tools->insertWidget(tools->indexOf(fraWizard) + 1, fraDesktop);
}

bool frmMain::hidesToTray(QCloseEvent* event) {
    // Only a window that can be called, whose user has not asked to quit, with a tray to find it
    // in again. The end of the session asks every window to close: one that refused would stop
    // the log-out.
    const bool toTray = !m_quitAsked && !m_inUnload && !m_unloaded && g_objRTCClient && !qApp->isSavingSession() &&
                        !chkQuitOnClose->isChecked() && m_desktop->tray().available();
    // Hidden in the tray the window no longer keeps the program going by being the last one: a
    // message box closed meanwhile must not end it. Closed for good, it ends it as it always did.
    QGuiApplication::setQuitOnLastWindowClosed(!toTray);
    if (!toTray) return false;
    event->ignore();
    desktop::TrayIcon::tellKeptRunningOnce();
    hide();
    return true;
}

void frmMain::showFromDesktop() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void frmMain::quitFromDesktop() {
    m_quitAsked = true;
    // A hidden window that closes is not the last window closing: the program is ended here.
    const bool hidden = isHidden();
    if (close() && hidden) QCoreApplication::quit();
}

void frmMain::quitOnSessionEnd() {
    if (m_sessionEnd) return;
    m_sessionEnd = new desktop::SessionEnd(this);
    connect(m_sessionEnd, &desktop::SessionEnd::ending, this, &frmMain::quitFromDesktop);
}
