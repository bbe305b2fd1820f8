#include "FuzzClient.h"

#include "core/basEncrypt_Decrypt.h"
#include "platform/vb.h"
#include "platform/widgets/MsgBox.h"
#include "wire/Codepage.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QFontMetricsF>
#include <QSet>
#include <QTemporaryDir>
#include <QWidget>
#include <memory>

namespace fuzz {

// Kept to the end of the process on purpose, as startCoreApp explains.
void startGuiApp() {
    if (QCoreApplication::instance()) return;
    settleProcess();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The widgets need the platform's own event loop; the plain one of the system is several
    // times cheaper per DoEvents than the GLib one, and events run just the same.
    qputenv("QT_NO_GLIB", "1");
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
    // One fixed moment: log lines and dates compared with now come out the same on every run of
    // an input, so a finding replays as it was found.
    vb::setClockForTesting([] { return QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26)); });
    return folder.path();
}

// A glyph is cached the first time it is measured or drawn. An input whose text brings new glyphs
// therefore ends with more allocations than it began with, and each such input makes the fuzzer
// scan the whole heap for leaks; with the caches filled first, only a real leak does.
void warmGlyphCaches(const QWidget& root) {
    QString all;
    for (int code = 1; code < 256; ++code)
        all += wire::fromCp1252(QByteArray(1, static_cast<char>(code)));
    QSet<QString> done;
    const auto warm = [&](const QFont& font) {
        if (done.contains(font.key())) return;
        done.insert(font.key());
        (void)QFontMetricsF(font).horizontalAdvance(all);
    };
    warm(root.font());
    for (const QWidget* child : root.findChildren<QWidget*>())
        warm(child->font());
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
