#pragma once
// The per-day error log in the logs folder beside the executable, and small system queries.
#include <QString>
#include <exception>
#include <functional>

namespace basMain {

// Where a logged error is shown to the user: the main window installs one that paints its status
// box red with the text, and removes it when it goes. Without one, errors are only logged.
using StatusSink = std::function<void(const QString& text)>;
void setStatusSink(StatusSink sink);

// Appends one quoted line with the pending error (vb::Err()) to today's log; never fails, never
// creates the logs folder. With blnShowStatus the status sink shows it too.
void fnLogError(const QString& strProcInfo, bool blnShowStatus);
QString fnGetComputerName();
QString fnGetUserName();
bool fnFileExists(const QString& strPath);

// Runs one statement the way "skip the failing statement" does: a failure fills Err, is logged
// as procInfo (when not empty) and cleared, and the caller goes on. Returns whether it succeeded.
template <class Statement> bool trySkip(const QString& procInfo, Statement&& statement);

// Fills Err from the exception being handled and logs it under procInfo; then clears Err.
void logCaught(const QString& procInfo, const std::exception& error);

} // namespace basMain

template <class Statement> bool basMain::trySkip(const QString& procInfo, Statement&& statement) {
    try {
        statement();
        return true;
    } catch (const std::exception& error) {
        if (procInfo.isEmpty()) return false;
        logCaught(procInfo, error);
        return false;
    }
}
