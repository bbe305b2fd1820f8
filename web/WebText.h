#pragma once
// What the web lookups read out of a raw reply: the marked values and the date stamps. Plain
// functions over text; all marker searches are case-sensitive and find the first occurrence.
#include <QString>
#include <optional>

namespace web {

inline const QString kLookStart = QStringLiteral("StartLookWANIP =");
inline const QString kLookEnd = QStringLiteral("EndLookWANIP");
inline const QString kChatStart = QStringLiteral("StartClientChatWANIP =");
inline const QString kChatEnd = QStringLiteral("EndClientChatWANIP");

// The text without leading and trailing blanks (spaces only, as Trim does).
QString trimBlanks(const QString& text);

// The value of a WAN-address page (infoip.asp, the WAN-address sites): the text after
// "StartLookWANIP =" up to "EndLookWANIP", trimmed. Nothing when either marker is missing.
// `mark`, when given, follows the steps for the error log: `first` once the text after the
// start marker is taken, first + 3 when the end marker is sought, first + 5 when the value is
// cut out and first + 7 when it is trimmed.
std::optional<QString> lookWanValue(const QString& reply, int* mark = nullptr, int first = 0);

// The value of ClientChatIP.aspx: the text from the 23rd character after the start of
// "StartClientChatWANIP =" (the marker and the one blank after it) up to "EndClientChatWANIP",
// trimmed. Nothing when either marker is missing. `mark` as for lookWanValue.
std::optional<QString> clientChatValue(const QString& reply, int* mark = nullptr, int first = 0);

// A redirect site's answer: the chat server's address between the markers and the date stamp
// after the end marker.
struct RedirectAnswer {
    QString address;
    qint32 stamp = 0;
};
std::optional<RedirectAnswer> redirectAnswer(const QString& reply);

// The date stamp at the start of a text: leading blanks skipped, read as far as a number goes,
// rounded to a whole number. 0 when no number follows or the number is beyond 32 bits (such a
// stamp names no date and is never taken).
qint32 dateStampValue(const QString& text);

// A date stamp in year-first order, so that a later date is a larger number: mmddyyyy becomes
// yyyymmdd, mddyyyy yyyy0mdd and mdyyyy yyyy0m0d.
QString yearFirstStamp(qint32 stamp);

} // namespace web
