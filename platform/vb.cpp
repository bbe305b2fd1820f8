#include "platform/vb.h"

#include "platform/PrivateFiles.h"

#include <new>

namespace vb {

QString errorDescription(int number) {
    switch (number) {
    case 0:
        return {};
    case kErrInvalidCall:
        return QStringLiteral("Invalid procedure call or argument");
    case kErrOverflow:
        return QStringLiteral("Overflow");
    case kErrOutOfMemory:
        return QStringLiteral("Out of memory");
    case kErrSubscript:
        return QStringLiteral("Subscript out of range");
    case kErrTypeMismatch:
        return QStringLiteral("Type mismatch");
    case kErrFileNotFound:
        return QStringLiteral("File not found");
    case kErrBadFileMode:
        return QStringLiteral("Bad file mode");
    case kErrFileAlreadyOpen:
        return QStringLiteral("File already open");
    case kErrDeviceIO:
        return QStringLiteral("Device I/O error");
    case kErrDiskFull:
        return QStringLiteral("Disk full");
    case kErrPermissionDenied:
        return QStringLiteral("Permission denied");
    case kErrPathFileAccess:
        return QStringLiteral("Path/File access error");
    case kErrPathNotFound:
        return QStringLiteral("Path not found");
    case kErrObjectNotSet:
        return QStringLiteral("Object variable or With block variable not set");
    case 380:
        return QStringLiteral("Invalid property value");
    case 35600:
        return QStringLiteral("Index out of bounds");
    case kErrElementNotFound:
        return QStringLiteral("Element not found");
    case kErrKeyNotUnique:
        return QStringLiteral("Key is not unique in collection");
    default:
        return QStringLiteral("Application-defined or object-defined error");
    }
}

VbError::VbError(int number, QString description, QString source)
    : m_number(number), m_source(std::move(source)),
      m_description(description.isEmpty() ? errorDescription(number) : std::move(description)),
      m_what((QString::number(m_number) + QStringLiteral(" ") + m_description).toStdString()) {}

void raise(int number, const QString& description, const QString& source) {
    throw VbError(number, description, source);
}

void ErrObject::Clear() {
    Number = 0;
    Source.clear();
    Description.clear();
}

void ErrObject::set(const VbError& e) {
    Number = e.number();
    Source = e.source();
    Description = e.description();
}

void ErrObject::set(const std::exception& e) {
    if (const auto* vbError = dynamic_cast<const VbError*>(&e)) {
        set(*vbError);
    } else if (dynamic_cast<const std::bad_alloc*>(&e)) {
        set(VbError(kErrOutOfMemory));
    } else {
        set(VbError(kErrInvalidCall));
    }
}

ErrObject& Err() {
    static ErrObject err;
    return err;
}

} // namespace vb

// ---------------------------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------------------------

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cmath>
#include <limits>
#include <optional>

namespace vb {

namespace {

bool isBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\v') || c == QLatin1Char('\f');
}

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

int hexDigit(QChar c) {
    if (isDigit(c)) return c.unicode() - '0';
    const char16_t lower = c.toLower().unicode();
    if (lower >= u'a' && lower <= u'f') return lower - u'a' + 10;
    return -1;
}

// "&H..." and "&O..." literals: up to 4 digits' worth of value reads as a 16-bit integer and up
// to 8 hex (11 octal) digits as a 32-bit one, so &HFFFF is -1 as VB has it. `pos` points after
// the base letter and is advanced past the digits read.
std::optional<double> readRadixLiteral(QStringView text, qsizetype& pos, int radix) {
    quint64 value = 0;
    qsizetype digits = 0;
    while (pos < text.size()) {
        const int d = hexDigit(text[pos]);
        if (d < 0 || d >= radix) break;
        value = value * static_cast<quint64>(radix) + static_cast<quint64>(d);
        if (value > 0xFFFFFFFFull) return std::nullopt;
        ++digits;
        ++pos;
    }
    if (digits == 0) return std::nullopt;
    if (value <= 0xFFFF) return static_cast<double>(static_cast<qint16>(static_cast<quint16>(value)));
    return static_cast<double>(static_cast<qint32>(static_cast<quint32>(value)));
}

// Reads a decimal number "[sign]digits[.digits][(e|d)[sign]digits]" from `pos` on; advances
// `pos` past what was read.
std::optional<double> readDecimal(QStringView text, qsizetype& pos) {
    QString plain;
    if (pos < text.size() && (text[pos] == QLatin1Char('+') || text[pos] == QLatin1Char('-'))) plain += text[pos++];
    qsizetype mantissaDigits = 0;
    while (pos < text.size() && isDigit(text[pos])) {
        plain += text[pos++];
        ++mantissaDigits;
    }
    if (pos < text.size() && text[pos] == QLatin1Char('.')) {
        plain += text[pos++];
        while (pos < text.size() && isDigit(text[pos])) {
            plain += text[pos++];
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0) return std::nullopt;
    if (pos < text.size()) {
        const QChar e = text[pos].toLower();
        if (e == QLatin1Char('e') || e == QLatin1Char('d')) {
            qsizetype look = pos + 1;
            QString exponent = QStringLiteral("e");
            if (look < text.size() && (text[look] == QLatin1Char('+') || text[look] == QLatin1Char('-')))
                exponent += text[look++];
            qsizetype expDigits = 0;
            while (look < text.size() && isDigit(text[look])) {
                exponent += text[look++];
                ++expDigits;
            }
            if (expDigits > 0) {
                plain += exponent;
                pos = look;
            }
        }
    }
    bool ok = false;
    const double value = plain.toDouble(&ok);
    if (!ok && !std::isinf(value)) return std::nullopt;
    return value;
}

// The whole text as a number, as the conversion functions and IsNumeric read it: blanks around
// it, a sign, decimals, an exponent, or an &H/&O literal.
std::optional<double> parseNumber(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    const QStringView body = QStringView(text).mid(begin, end - begin);
    if (body.isEmpty()) return std::nullopt;
    qsizetype pos = 0;
    std::optional<double> value;
    if (body.size() >= 2 && body[0] == QLatin1Char('&')) {
        const QChar base = body[1].toLower();
        pos = 2;
        if (base == QLatin1Char('h'))
            value = readRadixLiteral(body, pos, 16);
        else if (base == QLatin1Char('o'))
            value = readRadixLiteral(body, pos, 8);
    } else {
        value = readDecimal(body, pos);
    }
    if (!value || pos != body.size()) return std::nullopt;
    return value;
}

double toNumberOrRaise(const QString& text) {
    const std::optional<double> value = parseNumber(text);
    if (!value) raise(kErrTypeMismatch);
    return *value;
}

template <class Int> Int roundToInt(double value) {
    if (std::isnan(value)) raise(kErrOverflow);
    const double rounded = std::nearbyint(value); // the default rounding mode: half to even
    if (rounded < static_cast<double>(std::numeric_limits<Int>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<Int>::max()))
        raise(kErrOverflow);
    return static_cast<Int>(rounded);
}

} // namespace

qint16 CInt(const QString& text) {
    return roundToInt<qint16>(toNumberOrRaise(text));
}
qint16 CInt(double value) {
    return roundToInt<qint16>(value);
}
qint32 CLng(const QString& text) {
    return roundToInt<qint32>(toNumberOrRaise(text));
}
qint32 CLng(double value) {
    return roundToInt<qint32>(value);
}

bool IsNumeric(const QString& text) {
    return parseNumber(text).has_value();
}

double Val(const QString& text) {
    // Val ignores blanks anywhere in the text and reads as far as a number goes.
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text)
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            compact += c;
    qsizetype pos = 0;
    std::optional<double> value;
    if (compact.size() >= 2 && compact[0] == QLatin1Char('&')) {
        const QChar base = compact[1].toLower();
        pos = 2;
        if (base == QLatin1Char('h'))
            value = readRadixLiteral(compact, pos, 16);
        else if (base == QLatin1Char('o'))
            value = readRadixLiteral(compact, pos, 8);
    } else {
        value = readDecimal(compact, pos);
    }
    return value.value_or(0.0);
}

// ---------------------------------------------------------------------------------------------
// Dates
// ---------------------------------------------------------------------------------------------

namespace {

const char* const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};

int monthFromName(const QString& name) {
    if (name.size() < 3) return 0;
    for (int m = 0; m < 12; ++m) {
        const QString full = QString::fromLatin1(kMonthNames[m]);
        if (full.startsWith(name, Qt::CaseInsensitive)) return m + 1;
    }
    return 0;
}

int expandYear(const QString& digits) {
    const int year = digits.toInt();
    if (digits.size() > 2) return year;
    return year < 30 ? 2000 + year : 1900 + year; // the two-digit window VB uses
}

// VB's day zero, the date part of a time given on its own.
const QDate kDayZero(1899, 12, 30);

} // namespace

QDateTime CDate(const QString& text) {
    // The date forms the program meets: month/day/year (US order, month also as a name), ISO
    // year-month-day, each with an optional time of hours:minutes[:seconds] and AM/PM; a date or
    // a time alone.
    static const QRegularExpression pattern(QStringLiteral(
        R"(^\s*(?:(?:(?<mdyM>\d{1,2}|[A-Za-z]{3,9})[/\-.](?<mdyD>\d{1,2})[/\-.](?<mdyY>\d{4}|\d{2}))|)"
        R"((?:(?<isoY>\d{4})-(?<isoM>\d{1,2})-(?<isoD>\d{1,2})))?)"
        R"((?:(?:\s+|T|^\s*)(?<h>\d{1,2}):(?<n>\d{1,2})(?::(?<s>\d{1,2}))?\s*(?<ampm>[AaPp][Mm])?)?\s*$)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) raise(kErrTypeMismatch);

    const bool hasTime = match.capturedLength(u"h") > 0;
    QDate date;
    if (match.capturedLength(u"mdyY") > 0) {
        const QString monthText = match.captured(u"mdyM");
        const int month = monthText.front().isDigit() ? monthText.toInt() : monthFromName(monthText);
        date = QDate(expandYear(match.captured(u"mdyY")), month, match.captured(u"mdyD").toInt());
        if (!date.isValid()) raise(kErrTypeMismatch);
    } else if (match.capturedLength(u"isoY") > 0) {
        date = QDate(match.captured(u"isoY").toInt(), match.captured(u"isoM").toInt(), match.captured(u"isoD").toInt());
        if (!date.isValid()) raise(kErrTypeMismatch);
    } else if (hasTime) {
        date = kDayZero;
    } else {
        raise(kErrTypeMismatch);
    }

    QTime time(0, 0, 0);
    if (hasTime) {
        int hour = match.captured(u"h").toInt();
        const int minute = match.captured(u"n").toInt();
        const int second = match.capturedLength(u"s") > 0 ? match.captured(u"s").toInt() : 0;
        const QString ampm = match.captured(u"ampm").toUpper();
        if (!ampm.isEmpty()) {
            if (hour < 1 || hour > 12) raise(kErrTypeMismatch);
            if (ampm == QLatin1String("AM") && hour == 12) hour = 0;
            if (ampm == QLatin1String("PM") && hour != 12) hour += 12;
        }
        time = QTime(hour, minute, second);
        if (!time.isValid()) raise(kErrTypeMismatch);
    }
    return QDateTime(date, time);
}

namespace {

// What each token of a date format stands for, decided once per format.
enum class DatePart {
    Text,
    Year,
    Year2,
    DayOfYear,
    Month,
    Month2,
    MonthShort,
    MonthLong,
    Day,
    Day2,
    Hour,
    Hour2,
    AmPm,
    Minute,
    Minute2,
    Second,
    Second2
};

struct DateToken {
    DatePart part;
    QString text; // the literal text, for DatePart::Text
};

struct DatePattern {
    QList<DateToken> tokens;
    bool twelveHour = false; // an AM/PM token turns every hour token into the 12-hour clock
};

// Splits a format into tokens and decides what each one means: "m"/"mm" reads as minutes after
// an hour token or before a seconds token, as VB decides it.
DatePattern compileDateFormat(const QString& format) {
    struct Raw {
        QString text;
        bool literal;
    };
    QList<Raw> raw;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        const QChar lower = c.toLower();
        if (c == QLatin1Char('\\') && i + 1 < format.size()) {
            raw.append({QString(format[i + 1]), true});
            i += 2;
            continue;
        }
        if (c == QLatin1Char('"')) {
            const qsizetype close = format.indexOf(QLatin1Char('"'), i + 1);
            const qsizetype stop = close < 0 ? format.size() : close;
            raw.append({format.mid(i + 1, stop - i - 1), true});
            i = stop + 1;
            continue;
        }
        if (format.mid(i, 5).compare(QLatin1String("AM/PM"), Qt::CaseInsensitive) == 0) {
            raw.append({QStringLiteral("am/pm"), false});
            i += 5;
            continue;
        }
        if (QStringLiteral("ymdhns").contains(lower)) {
            qsizetype run = i;
            while (run < format.size() && format[run].toLower() == lower)
                ++run;
            raw.append({format.mid(i, run - i).toLower(), false});
            i = run;
            continue;
        }
        raw.append({QString(c), true});
        ++i;
    }

    static const QHash<QString, DatePart> kParts{
        {QStringLiteral("yyyy"), DatePart::Year},      {QStringLiteral("yyy"), DatePart::Year},
        {QStringLiteral("yy"), DatePart::Year2},       {QStringLiteral("y"), DatePart::DayOfYear},
        {QStringLiteral("m"), DatePart::Month},        {QStringLiteral("mm"), DatePart::Month2},
        {QStringLiteral("mmm"), DatePart::MonthShort}, {QStringLiteral("d"), DatePart::Day},
        {QStringLiteral("dd"), DatePart::Day2},        {QStringLiteral("h"), DatePart::Hour},
        {QStringLiteral("hh"), DatePart::Hour2},       {QStringLiteral("am/pm"), DatePart::AmPm},
        {QStringLiteral("n"), DatePart::Minute},       {QStringLiteral("nn"), DatePart::Minute2},
        {QStringLiteral("s"), DatePart::Second},       {QStringLiteral("ss"), DatePart::Second2}};
    DatePattern pattern;
    QString previousField;
    for (qsizetype t = 0; t < raw.size(); ++t) {
        const QString& f = raw[t].text;
        if (raw[t].literal) {
            pattern.tokens.append({DatePart::Text, f});
            continue;
        }
        QString nextField;
        for (qsizetype u = t + 1; u < raw.size(); ++u)
            if (!raw[u].literal) {
                nextField = raw[u].text;
                break;
            }
        const bool minutes = (f == QLatin1String("m") || f == QLatin1String("mm")) &&
                             (previousField.startsWith(QLatin1Char('h')) || nextField.startsWith(QLatin1Char('s')));
        DatePart part = kParts.value(f, DatePart::Text); // a run no format knows is written as it stands
        if (minutes) part = f.size() == 2 ? DatePart::Minute2 : DatePart::Minute;
        if (f.startsWith(QLatin1String("mmmm"))) part = DatePart::MonthLong;
        pattern.tokens.append({part, part == DatePart::Text ? f : QString()});
        pattern.twelveHour = pattern.twelveHour || part == DatePart::AmPm;
        previousField = f;
    }
    return pattern;
}

// The program formats dates with a few fixed formats, the error log twice per entry, so each
// format is split once per thread and kept.
const DatePattern& dateFormat(const QString& format) {
    thread_local QHash<QString, DatePattern> known;
    auto found = known.constFind(format);
    if (found != known.constEnd()) return *found;
    if (known.size() >= 32) known.clear(); // formats made up on the fly must not pile up
    return *known.insert(format, compileDateFormat(format));
}

} // namespace

QString Trim(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == QLatin1Char(' '))
        ++first;
    while (last > first && text[last - 1] == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

QString Format(const QDateTime& when, const QString& format) {
    const QDate date = when.date();
    const QTime time = when.time();
    auto two = [](int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    const DatePattern& pattern = dateFormat(format);
    const int hour = pattern.twelveHour ? (time.hour() + 11) % 12 + 1 : time.hour();
    const QString monthName = date.isValid() ? QString::fromLatin1(kMonthNames[date.month() - 1]) : QString();

    QString out;
    for (const DateToken& token : pattern.tokens) {
        switch (token.part) {
        case DatePart::Text:
            out += token.text;
            break;
        case DatePart::Year:
            out += QString::number(date.year());
            break;
        case DatePart::Year2:
            out += two(date.year() % 100);
            break;
        case DatePart::DayOfYear:
            out += QString::number(date.dayOfYear());
            break;
        case DatePart::Month:
            out += QString::number(date.month());
            break;
        case DatePart::Month2:
            out += two(date.month());
            break;
        case DatePart::MonthShort:
            out += monthName.left(3);
            break;
        case DatePart::MonthLong:
            out += monthName;
            break;
        case DatePart::Day:
            out += QString::number(date.day());
            break;
        case DatePart::Day2:
            out += two(date.day());
            break;
        case DatePart::Hour:
            out += QString::number(hour);
            break;
        case DatePart::Hour2:
            out += two(hour);
            break;
        case DatePart::AmPm:
            out += time.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM");
            break;
        case DatePart::Minute:
            out += QString::number(time.minute());
            break;
        case DatePart::Minute2:
            out += two(time.minute());
            break;
        case DatePart::Second:
            out += QString::number(time.second());
            break;
        case DatePart::Second2:
            out += two(time.second());
            break;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Events, program folder, clock
// ---------------------------------------------------------------------------------------------

namespace {

QString& appPathOverride() {
    static QString folder;
    return folder;
}

std::function<QDateTime()>& clockOverride() {
    static std::function<QDateTime()> clock;
    return clock;
}

} // namespace

void DoEvents() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

QString chooseAppPath(const QString& programFolder, const QString& userFolder) {
    // An installed program's folder belongs to the system, even when root runs the program.
    static const QStringList systemFolders = {QStringLiteral("/bin"),           QStringLiteral("/sbin"),
                                              QStringLiteral("/usr/bin"),       QStringLiteral("/usr/sbin"),
                                              QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/local/sbin"),
                                              QStringLiteral("/usr/games"),     QStringLiteral("/usr/local/games")};
    const QFileInfo program(programFolder);
    const bool own = program.isDir() && program.isWritable() &&
                     !systemFolders.contains(QDir::cleanPath(programFolder)) &&
                     !systemFolders.contains(program.canonicalFilePath());
    if (own || userFolder.isEmpty()) return QDir::cleanPath(programFolder);
    // The program writes error logs only into an existing logs folder, so a fresh folder gets
    // one; a logs folder the user removed later stays removed. The folder is the user's own,
    // made for them: whatever an earlier version left open to others is closed again.
    if (!QFileInfo(userFolder).isDir() && privatefiles::makeFolder(userFolder))
        privatefiles::makeFolder(userFolder + QStringLiteral("/logs"));
    privatefiles::narrowFolder(userFolder);
    privatefiles::narrowFolder(userFolder + QStringLiteral("/logs"));
    return QDir::cleanPath(userFolder);
}

QString AppPath() {
    if (!appPathOverride().isEmpty()) return appPathOverride();
    if (QCoreApplication::instance()) {
        // Settled once, so every file of a run lands in the same folder.
        static const QString folder =
            chooseAppPath(QCoreApplication::applicationDirPath(),
                          QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
        return folder;
    }
    return QDir::currentPath();
}

void setAppPathForTesting(const QString& folder) {
    appPathOverride() = QDir::cleanPath(folder);
}

QDateTime Now() {
    if (clockOverride()) return clockOverride()();
    return QDateTime::currentDateTime();
}

void setClockForTesting(std::function<QDateTime()> clock) {
    clockOverride() = std::move(clock);
}

} // namespace vb
