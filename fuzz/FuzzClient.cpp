#include "FuzzClient.h"

#include "app/basEncrypt_Decrypt.h"
#include "platform/MsgBox.h"
#include "platform/vb.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTemporaryDir>
#include <memory>

namespace fuzz {

// Kept to the end of the process on purpose, as startCoreApp explains.
void startGuiApp() {
    if (QCoreApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's notes about the offscreen platform would otherwise flood the fuzzer's output.
    qputenv("QT_LOGGING_RULES", "*.debug=false;qt.qpa.*=false");
    static QApplication* app = std::make_unique<QApplication>(appArgc(), appArgv()).release();
    (void)app;
}

QString enterProgramFolder() {
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/colloq-fuzz-XXXXXX"));
    if (!folder.isValid()) fail("no temporary folder");
    QDir(folder.path()).mkpath(QStringLiteral("logs"));
    vb::setAppPathForTesting(folder.path());
    vb::setMsgBoxHandlerForTesting([](const QString&, int, const QString&) { return int(vb::vbOK); });
    vb::setModalHandlerForTesting([](QDialog&) { return int(QDialog::Rejected); });
    basEncrypt_Decrypt::setCharacterPauseForTesting(0);
    return folder.path();
}

void trimLogs() {
    static unsigned calls = 0;
    if (++calls % 1000 != 0) return;
    QDir logs(vb::AppPath() + QStringLiteral("/logs"));
    for (const QString& name : logs.entryList(QDir::Files))
        logs.remove(name);
}

void releaseUnloaded() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace fuzz
