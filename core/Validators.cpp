#include "core/Validators.h"

#include "core/ErrorLog.h"
#include "platform/vb.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

#include <QRegularExpression>
#include <QUrl>

namespace basMain {

namespace {

// One label of a host name: ASCII letters, digits and inner hyphens, at most 63 of them.
const QRegularExpression& hostLabel() {
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    return label;
}

// A character that would split or garble a request field: the separator, or a control character.
bool hasUnsafeCharacter(const QString& text) {
    return text.contains(wire::kSep) || wire::hasControlCharacter(text);
}

bool checkServerPair(const QStringList& fields) {
    const QStringList parts = fields.value(0).split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    for (const QString& part : parts) {
        if (!vb::IsNumeric(part)) return false;
        const qint16 value = vb::CInt(part);
        if (value < 0 || value >= 256) return false;
    }
    const QString port = fields.value(1);
    if (!vb::IsNumeric(port)) return false;
    const qint32 value = vb::CLng(port);
    return value >= 1 && value < 65535;
}

} // namespace

bool fnCheckDisplayName(const QString& strName, QString& strMessage) {
    strMessage.clear();
    if (hasUnsafeCharacter(strName)) {
        strMessage = QStringLiteral("Your display name may not contain the character \u00D4 or control characters!");
        return false;
    }
    if (const QString missing = wire::cp1252Missing(strName); !missing.isEmpty()) {
        strMessage = QStringLiteral("Your display name may not contain ") + missing +
                     QStringLiteral(": other users would see \"?\" in its place. Please write it with other letters.");
        return false;
    }
    if (strName.size() > wire::kMaxDisplayNameChars) {
        strMessage = QStringLiteral("Your display name may not be longer than ") +
                     QString::number(wire::kMaxDisplayNameChars) + QStringLiteral(" characters!");
        return false;
    }
    return true;
}

bool fnCheckEmailDomain(const QString& strDomain) {
    // Names in other scripts are checked in the form mail servers use for them.
    const QString ascii = QString::fromLatin1(QUrl::toAce(strDomain, QUrl::IgnoreIDNWhitelist));
    const QStringList labels = ascii.split(QLatin1Char('.'));
    if (ascii.isEmpty() || ascii.size() > 253 || labels.size() < 2) return false;
    for (const QString& label : labels)
        if (!hostLabel().match(label).hasMatch()) return false;
    // "10.0.0.1" is an address, not a name: a top-level domain begins with a letter.
    return labels.last().front().isLetter();
}

bool fnCheckIpOrEmailFormat(const QStringList& arrFields, bool blnServerMode, QString& strMessage) {
    strMessage.clear();
    int mark = 0;
    bool result = false;
    try {
        if (blnServerMode) return checkServerPair(arrFields);

        mark = 15;
        if (!vb::IsNumeric(arrFields.value(2))) {
            strMessage = QStringLiteral("User ID is not a number?");
            return false;
        }
        mark = 17;
        result = true;
        const QString address = arrFields.value(3);
        const qsizetype at = address.indexOf(QLatin1Char('@'));

        mark = 20;
        if (hasUnsafeCharacter(address)) {
            mark = 19;
            result = false;
            strMessage +=
                QStringLiteral("Your email address may not contain the character \u00D4 or control characters!");
        } else if (const QString missing = wire::cp1252Missing(address); !missing.isEmpty()) {
            // It would reach the server, and the mails sent to it, with "?" in their place.
            result = false;
            strMessage += QStringLiteral("Your email address may not contain ") + missing + QLatin1Char('!');
        } else if (address.contains(QLatin1Char(' '))) {
            mark = 21;
            result = false;
            strMessage += QStringLiteral("Your email address has Space!");
        } else if (address.isEmpty()) {
            mark = 22;
            result = false;
            strMessage += QStringLiteral("You did not enter an email address!");
        } else if (at < 0) {
            mark = 23;
            result = false;
            strMessage += QStringLiteral("Your email address does not contain an @ sign.");
        } else if (at == 0) {
            mark = 24;
            result = false;
            strMessage += QStringLiteral("Your @ sign can not be the first character in your email address!");
        } else if (at == address.size() - 1) {
            mark = 25;
            result = false;
            strMessage += QStringLiteral("Your @sign can not be the last character in your email address!");
        } else if (!fnCheckEmailDomain(address.mid(address.lastIndexOf(QLatin1Char('@')) + 1))) {
            // Any domain a mail server can have will do: new endings come every year.
            mark = 26;
            result = false;
            strMessage += QStringLiteral("The part after the @ in your email address is not a domain name such as "
                                         "example.com!");
        } else if (address.size() < 6) {
            mark = 27;
            result = false;
            strMessage += QStringLiteral("Your email address is shorter than 6 characters which is impossible.");
        }

        mark = 28;
        if (address.count(QLatin1Char('@')) > 1) {
            mark = 31;
            result = false;
            strMessage += QStringLiteral("You have more than 1 @ sign in your email address");
        }
        return result;
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnCheckIpOrEmailFormat[") + QString::number(mark) + QLatin1Char(']'), error);
        return blnServerMode ? false : result;
    }
}

} // namespace basMain
