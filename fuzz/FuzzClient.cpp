#include "FuzzClient.h"

#include "platform/vb.h"
#include "platform/widgets/MsgBox.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QTemporaryDir>

namespace fuzz {

void startGuiApp() {
    if (QCoreApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's notes about the offscreen platform would otherwise flood the fuzzer's output.
    qputenv("QT_LOGGING_RULES", "*.debug=false;qt.qpa.*=false");
    startApp<QApplication>();
}

QString enterProgramFolder() {
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/colloq-fuzz-XXXXXX"));
    if (!folder.isValid()) fail("no temporary folder");
    QDir(folder.path()).mkpath(QStringLiteral("logs"));
    vb::setAppPathForTesting(folder.path());
    vb::setMsgBoxHandlerForTesting([](const QString&, int, const QString&) { return int(vb::vbOK); });
    vb::setModalHandlerForTesting([](QDialog&) { return int(QDialog::Rejected); });
    // One fixed moment: log lines and dates compared with now come out the same on every run of
    // an input, so a finding replays as it was found.
    vb::setClockForTesting([] { return QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26)); });
    return folder.path();
}

void trimLogs() {
    static unsigned calls = 0;
    if (++calls % 1000 != 0) return;
    QDir logs(vb::AppPath() + QStringLiteral("/logs"));
    for (const QString& name : logs.entryList(QDir::Files))
        logs.remove(name);
}

void finishInput() {
    // Queued signals (a scroll bar's new range, say) hold copies of their arguments until they
    // are delivered; left to the next input they make this one look as if it leaked, and every
    // such look is a scan of the whole heap.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace fuzz
