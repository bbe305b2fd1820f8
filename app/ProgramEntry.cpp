#include "app/ProgramEntry.h"

#include "app/frmMain.h"
#include "platform/PrivateFiles.h"
#include "platform/vb.h"
#include "platform/widgets/MsgBox.h"

#include <QApplication>
#include <QLockFile>

namespace basMain {

int Main() {
    // The patterns the program matches are short texts (dates, host names): compiled to machine
    // code they only brought the expression library's JIT compiler into memory (0.2 MiB kept all
    // day). Read once, at the first pattern; a setting of the user's own is left alone.
    if (!qEnvironmentVariableIsSet("QT_ENABLE_REGEXP_JIT")) qputenv("QT_ENABLE_REGEXP_JIT", "0");
    // Settings, history, logs and the call engine's keys are the user's alone, whoever writes them.
    privatefiles::restrictNewFiles();
    // One instance per program folder: the settings files beside the executable belong to it.
    QLockFile instanceLock(vb::AppPath() + QStringLiteral("/.colloqchat.lock"));
    instanceLock.setStaleLockTime(0);
    if (!instanceLock.tryLock(0)) {
        vb::MsgBox(
            QStringLiteral("You can not run 2 instances of Colloq_Chat\r\n[1 instance of Colloq_Chat is running]"),
            vb::vbCritical | vb::vbOKOnly, QStringLiteral("Sorry"));
        return 0;
    }
    frmMain form;
    // Logging out or `kill` signs off as Quit does; the window may be hidden in the tray then.
    form.quitOnSessionEnd();
    form.Form_Load();
    form.fnInitForm();
    if (form.isUnloaded()) return 0;
    return QApplication::exec();
}

} // namespace basMain
