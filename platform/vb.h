#pragma once
// The pieces of the VB runtime the program leans on: the Err object and the exceptions that
// carry it, the conversions with their run-time error numbers, DoEvents, App.Path and the clock.
#include <QDateTime>
#include <QString>
#include <exception>
#include <functional>
#include <string>

namespace vb {

// Colours, 0xBBGGRR.
inline constexpr int vbBlack = 0x000000;
inline constexpr int vbRed = 0x0000FF;
inline constexpr int vbBlue = 0xFF0000;

// Run-time error numbers used by the program.
enum ErrorNumber : int {
    kErrInvalidCall = 5,         // "Invalid procedure call or argument"
    kErrOverflow = 6,            // "Overflow"
    kErrOutOfMemory = 7,         // "Out of memory"
    kErrSubscript = 9,           // "Subscript out of range"
    kErrTypeMismatch = 13,       // "Type mismatch"
    kErrFileNotFound = 53,       // "File not found"
    kErrBadFileMode = 54,        // "Bad file mode"
    kErrFileAlreadyOpen = 55,    // "File already open"
    kErrDeviceIO = 57,           // "Device I/O error"
    kErrDiskFull = 61,           // "Disk full"
    kErrPermissionDenied = 70,   // "Permission denied"
    kErrPathFileAccess = 75,     // "Path/File access error"
    kErrPathNotFound = 76,       // "Path not found"
    kErrObjectNotSet = 91,       // "Object variable or With block variable not set"
    kErrElementNotFound = 35601, // "Element not found"
    kErrKeyNotUnique = 35602,    // "Key is not unique in collection"
};

inline const QString kDefaultSource = QStringLiteral("ColloqChat");

// The standard description of a run-time error number ("Application-defined or object-defined
// error" for numbers without one).
QString errorDescription(int number);

// A failure: number, source and description, as the Err object carries them.
class VbError : public std::exception {
public:
    explicit VbError(int number, QString description = {}, QString source = kDefaultSource);
    int number() const noexcept { return m_number; }
    const QString& source() const noexcept { return m_source; }
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    int m_number;
    QString m_source;
    QString m_description;
    std::string m_what;
};

[[noreturn]] void raise(int number, const QString& description = {}, const QString& source = kDefaultSource);

// The pending error, read by the error log.
struct ErrObject {
    int Number = 0;
    QString Source;
    QString Description;
    void Clear();
    void set(const VbError& e);
    // Fills the object from any exception: VbError as it stands, std::bad_alloc as 7, others as 5.
    void set(const std::exception& e);
};
ErrObject& Err();

// Conversions. Each raises 13 "Type mismatch" for text that is not a number or date, and
// 6 "Overflow" for a value outside the target type; rounding is to even, as VB does.
qint16 CInt(const QString& text);
qint16 CInt(double value);
qint32 CLng(const QString& text);
qint32 CLng(double value);
// The leading number of a text, 0 when there is none; never fails.
double Val(const QString& text);
bool IsNumeric(const QString& text);
QDateTime CDate(const QString& text);
// VB-style date formats built from the tokens yyyy, yy, mmmm, mmm, mm, m, dd, d, hh, h, nn, n,
// ss, s, AM/PM (12-hour clock) and, after h/hh or before s/ss, mm as minutes (the way the
// program's "mmm/dd/yyyy hh:mm" means it). English names; \x and "..." are literal text.
QString Format(const QDateTime& when, const QString& format);

// The text without leading and trailing blanks; tabs and line ends are not blanks.
QString Trim(const QString& text);

// Lets pending window, timer and socket events run once.
void DoEvents();

// Folder of the executable, where the settings files and the logs folder live. Tests point it
// at a temporary folder.
QString AppPath();
void setAppPathForTesting(const QString& folder); // empty restores the real folder
// The folder AppPath() settles on for a program in `programFolder`: that folder when the user
// may write there and it is not a system program folder (/usr/bin and the like), otherwise
// `userFolder`, made with its logs folder when it does not exist yet.
QString chooseAppPath(const QString& programFolder, const QString& userFolder);

// The clock behind log names and poll dates; tests can set it.
QDateTime Now();
void setClockForTesting(std::function<QDateTime()> clock); // empty restores the real clock

} // namespace vb
