#pragma once
// Validation of stored server addresses and typed e-mail addresses.
#include <QString>
#include <QStringList>

namespace basMain {

// Server mode checks fields 0 (dotted IPv4) and 1 (port 1..65534); e-mail mode checks fields 2
// (numeric user ID) and 3 (e-mail address, which may hold neither the field separator nor a
// control character) and explains a failure in strMessage.
bool fnCheckIpOrEmailFormat(const QStringList& arrFields, bool blnServerMode, QString& strMessage);
// True when the display name can go into a request as one field: no field separator "Ô", no
// control character, at most wire::kMaxDisplayNameChars characters. Explains a refusal in strMessage.
bool fnCheckDisplayName(const QString& strName, QString& strMessage);
// True when the ending (with or without its leading ".") occurs in the list of known endings.
bool fnCheckEmailEnding(QString strEnding);

} // namespace basMain
