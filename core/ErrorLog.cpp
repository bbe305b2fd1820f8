#include "core/ErrorLog.h"

#include "platform/PrivateFiles.h"
#include "platform/vb.h"
#include "platform/win32.h"
#include "wire/Codepage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace basMain {

namespace {
StatusSink s_statusSink;
} // namespace

void setStatusSink(StatusSink sink) {
    s_statusSink = std::move(sink);
}

void fnLogError(const QString& strProcInfo, bool blnShowStatus) {
    // The logger must never fail its caller: whatever goes wrong abandons the entry.
    try {
        const QString procInfo = strProcInfo;
        // The pending error is read first and then cleared, as entering a trapping procedure does.
        const vb::ErrObject pending = vb::Err();
        vb::Err().Clear();
        const QString errorPart = QStringLiteral("ErrNo: ") + QString::number(pending.Number) +
                                  QStringLiteral(" - ErrSource: ") + pending.Source + QStringLiteral(" - ErrDSCR: ") +
                                  pending.Description;

        if (blnShowStatus && s_statusSink) s_statusSink(procInfo + QStringLiteral(" - ") + pending.Description);

        const QString line = procInfo + QStringLiteral(" - Date: ") +
                             vb::Format(vb::Now(), QStringLiteral("mmm/dd/yyyy hh:mm")) + QStringLiteral(" - ") +
                             errorPart;
        // The logs folder is the user's choice to keep: without it nothing is written.
        const QString folder = vb::AppPath() + QStringLiteral("/logs");
        if (!QFileInfo(folder).isDir()) return;
        const QString path = folder + QLatin1Char('/') + vb::Format(vb::Now(), QStringLiteral("mm_dd_yyyy")) +
                             QStringLiteral("-Error.Log");
        // What failed, and when, is the user's business only.
        privatefiles::prepareFile(path);
        QFile file(path);
        // Unbuffered: what the disk refuses is seen at the write, not lost in a flush at close.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) return;
        const qint64 before = file.size();
        const QByteArray entry = '"' + wire::toCp1252(line) + "\"\r\n";
        // On a full disk only part of the line may get in: it is taken out again, so that the log
        // never holds half a line with the next entry run on behind it.
        if (file.write(entry) != entry.size()) file.resize(before);
        file.close();
    } catch (...) {
        vb::Err().Clear();
    }
}

QString fnGetComputerName() {
    try {
        if (const std::optional<QString> name = win32::GetComputerName()) return *name;
        // The system gave no name; the name buffer holds no end mark to cut at.
        vb::Err().set(vb::VbError(vb::kErrInvalidCall));
        fnLogError(QStringLiteral("fnGetComputerName[3]"), false);
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnGetComputerName[3]"), error);
    }
    return {};
}

QString fnGetUserName() {
    int step = 1;
    try {
        step = 2;
        const std::optional<QString> name = win32::GetUserName();
        step = 3;
        return name.value_or(QString());
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnGetUserName[") + QString::number(step) + QLatin1Char(']'), error);
    }
    return {};
}

bool fnFileExists(const QString& strPath) {
    int step = 1;
    bool result = false;
    try {
        result = win32::FindFirstFile(strPath);
        step = 2;
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnFileExists[") + QString::number(step) + QLatin1Char(']'), error);
    }
    return result;
}

void logCaught(const QString& procInfo, const std::exception& error) {
    try {
        vb::Err().set(error);
    } catch (...) {
        vb::Err().Clear();
    }
    fnLogError(procInfo, false);
    vb::Err().Clear();
}

} // namespace basMain
