#include "app/Registration.h"

#include "app/StartupLoader.h"
#include "app/frmMain.h"
#include "chatlink/ChatProtocol.h"
#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "core/basMain.h"
#include "forms/frmRegWait.h"
#include "forms/frmRegister.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/MsgBox.h"
#include "platform/win32.h"
#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

namespace basMain {

namespace {

// Marks the wait for the server's answer, on every way out of it.
class WaitingForAnswer {
public:
    WaitingForAnswer() { g_blnRegistrationWaiting = true; }
    ~WaitingForAnswer() { g_blnRegistrationWaiting = false; }
    WaitingForAnswer(const WaitingForAnswer&) = delete;
    WaitingForAnswer& operator=(const WaitingForAnswer&) = delete;
};

void hideWaitWindow() {
    if (frmRegWait::isLoaded()) frmRegWait::get().hide();
}

// Waits, keeping the window alive, until the server has answered or the registration timer has
// run out. True when the server answered. The wait stays in place: start-up cannot go on without
// the ID the answer brings, and the wait window tells the user so.
bool waitForAnswer(frmMain& form) {
    while (!g_blnRegistrationDone) {
        vb::DoEvents();
        win32::Sleep(7);
        if (g_blnRegistrationTimeOut) {
            frmRegWait::unload();
            vb::MsgBox(QStringLiteral("Registration TimeOut"), vb::vbCritical | vb::vbOKOnly,
                       QStringLiteral("Registration Failed"));
            return false;
        }
    }
    form.tmrRegistration->stop();
    frmRegWait::unload();
    return true;
}

// Sends the registration and waits for the answer; true when the server answered.
bool askServer(frmMain& form, const QString& displayName, const QString& email) {
    g_strMsgToSend = wire::request(wire::Code::Register, {fnGetUserName(), fnGetComputerName(), email, displayName});
    const WaitingForAnswer waiting;
    form.chatSocket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
    g_blnRegistrationDone = false;
    g_blnRegistrationTimeOut = false;
    frmRegWait::get().show();
    form.tmrRegistration->start();
    return waitForAnswer(form);
}

} // namespace

bool fnRegister(QStringList& /*arrFields*/) {
    int step = 1;
    bool result = false;
    g_blnRegistrationCancelled = false;
    try {
        // What the user typed and what the server said of it, while the server refuses it.
        QString displayName;
        QString email;
        QString refusal;
        for (;;) {
            g_strDialogResult.clear();
            hideWaitWindow();
            step = 2;
            {
                frmRegister dialog(frmMain::existing());
                if (!refusal.isEmpty()) dialog.showRefusal(displayName, email, refusal);
                vb::ShowModal(dialog);
            }
            step = 3;
            if (g_strDialogResult.isEmpty()) {
                // The user chose not to register: the program ends without a word.
                g_blnRegistrationCancelled = true;
                frmRegWait::get().show();
                return false;
            }
            step = 4;
            if (!g_strAltServerBase.isEmpty()) {
                vb::MsgBox(QStringLiteral("Sorry, Cannot Register Now"), vb::vbCritical | vb::vbOKOnly,
                           QStringLiteral("Chat Server On Maintenance"));
                frmRegWait::unload();
                frmRegWait::get().show();
                return false;
            }
            step = 5;
            const qsizetype separator = g_strDialogResult.indexOf(wire::kSep);
            displayName = g_strDialogResult.left(separator);
            email = g_strDialogResult.mid(separator + 1);
            step = 6;
            frmMain* form = frmMain::existing();
            if (!form) vb::raise(vb::kErrObjectNotSet);
            if (!askServer(*form, displayName, email)) return false;
            result = true;
            if (form->identity().registered()) break;
            // Refused (the address is taken, or has had its mails for the day): back to the
            // form, with the server's words and what the user typed.
            step = 8;
            refusal = form->txtStatus->toPlainText();
        }
        step = 9;
        // An accepted registration: its display name goes with the user's calls from now on.
        frmMain& form = *frmMain::existing();
        trySkip({}, [&] { writeDisplayNameFile(displayName); });
        Identity named = form.identity();
        // As the next start reads it back: trimmed, and nothing a peer could be misled by.
        named.displayName = readDisplayNameFile();
        form.setIdentity(named);
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnRegister[") + QString::number(step) + QLatin1Char(']'), error);
        return false;
    }
    // The start-up sequence closes the wait window later.
    trySkip({}, [] { frmRegWait::get().show(); });
    return result;
}

} // namespace basMain
