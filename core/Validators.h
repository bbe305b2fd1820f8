#pragma once
// Validation of stored server addresses and typed e-mail addresses.
#include <QString>
#include <QStringList>

namespace basMain {

// Server mode checks fields 0 (dotted IPv4) and 1 (port 1..65534); e-mail mode checks fields 2
// (numeric user ID) and 3 (e-mail address, which may hold neither the field separator nor a
// control character) and explains a failure in strMessage.
bool fnCheckIpOrEmailFormat(const QStringList& arrFields, bool blnServerMode, QString& strMessage);
// True when the display name can go into a request as one field and reach other users as typed: no
// field separator "Ô", no control character, nothing the wire's code page cannot carry, at most
// wire::kMaxDisplayNameChars characters. Explains a refusal in strMessage.
bool fnCheckDisplayName(const QString& strName, QString& strMessage);
// True when the text after an e-mail address's @ is a host name: two or more labels of letters,
// digits and inner hyphens (names in other scripts in their ASCII form), the last starting with a letter.
bool fnCheckEmailDomain(const QString& strDomain);

} // namespace basMain
