#include "core/TrustStore.h"

#include "core/SettingsFiles.h"
#include "platform/vb.h"

#include <QFile>
#include <QList>
#include <QStringList>

namespace trust {

namespace {

const QString kContact = QStringLiteral("contact");
const QString kServer = QStringLiteral("server");
const QString kOption = QStringLiteral("option");
const QString kEncryptedOnly = QStringLiteral("encrypted-calls-only");
constexpr QChar kTab{u'\t'};
// A file longer than this was not written by the client; it is read as empty rather than let
// slow every question.
constexpr qint64 kMaxFileBytes = qint64{1} << 20;

QStringList readLines() {
    QFile file(trustFilePath());
    if (file.size() > kMaxFileBytes || !file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines)
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    return lines;
}

void writeLines(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toUtf8() + '\n';
    basMain::replaceSettingsFile(trustFilePath(), bytes);
}

// A field holds no tab and no line end: what a peer or a server chose cannot make two entries.
QString field(const QString& text) {
    QString clean = text.trimmed();
    for (QChar& c : clean)
        if (c == kTab || c == QLatin1Char('\n') || c == QLatin1Char('\r')) c = QLatin1Char(' ');
    return clean;
}

QString entry(const QString& kind, const QString& key, const QString& value = {}) {
    QString line = kind + kTab + field(key);
    if (!value.isEmpty()) line += kTab + field(value);
    return line;
}

// The value of the entry of that kind and key (empty text for an entry without one), or a null
// string when there is no such entry.
QString find(const QString& kind, const QString& key, Qt::CaseSensitivity keyCase) {
    const QString wanted = field(key);
    for (const QString& line : readLines()) {
        const QStringList fields = line.split(kTab);
        if (fields.size() >= 2 && fields.at(0) == kind && fields.at(1).compare(wanted, keyCase) == 0)
            return fields.size() >= 3 ? fields.at(2) : QStringLiteral("");
    }
    return {};
}

// Drops every entry of that kind and key, then adds `replacement` unless it is empty.
void replace(const QString& kind, const QString& key, Qt::CaseSensitivity keyCase, const QString& replacement) {
    const QString wanted = field(key);
    const QStringList before = readLines();
    QStringList after;
    for (const QString& line : before) {
        const QStringList fields = line.split(kTab);
        if (fields.size() < 2 || fields.at(0) != kind || fields.at(1).compare(wanted, keyCase) != 0) after.append(line);
    }
    if (!replacement.isEmpty()) after.append(replacement);
    if (after != before) writeLines(after);
}

} // namespace

QString trustFilePath() {
    return vb::AppPath() + QStringLiteral("/ColloqChat.trust");
}

bool isContactVerified(const QString& email) {
    return !field(email).isEmpty() && !find(kContact, email, Qt::CaseInsensitive).isNull();
}

void setContactVerified(const QString& email, bool verified) {
    if (field(email).isEmpty()) return;
    replace(kContact, email, Qt::CaseInsensitive, verified ? entry(kContact, email.toLower()) : QString());
}

QByteArray pinnedCertificate(const QString& hostPort) {
    return find(kServer, hostPort, Qt::CaseInsensitive).toLatin1();
}

void pinCertificate(const QString& hostPort, const QByteArray& sha256Hex) {
    replace(kServer, hostPort, Qt::CaseInsensitive,
            entry(kServer, hostPort.toLower(), QString::fromLatin1(sha256Hex.toLower())));
}

QList<QByteArray> pinnedCertificatesOfHost(const QString& host) {
    QList<QByteArray> keys;
    const QString prefix = field(host) + QLatin1Char(':');
    for (const QString& line : readLines()) {
        const QStringList fields = line.split(kTab);
        if (fields.size() >= 3 && fields.at(0) == kServer && fields.at(1).startsWith(prefix, Qt::CaseInsensitive) &&
            !fields.at(1).mid(prefix.size()).contains(QLatin1Char(':')))
            keys.append(fields.at(2).toLatin1());
    }
    return keys;
}

bool anyPinnedCertificate() {
    for (const QString& line : readLines())
        if (line.startsWith(kServer + kTab)) return true;
    return false;
}

void forgetCertificate(const QString& hostPort) {
    replace(kServer, hostPort, Qt::CaseInsensitive, {});
}

bool encryptedCallsOnly() {
    return !find(kOption, kEncryptedOnly, Qt::CaseSensitive).isNull();
}

void setEncryptedCallsOnly(bool only) {
    replace(kOption, kEncryptedOnly, Qt::CaseSensitive, only ? entry(kOption, kEncryptedOnly) : QString());
}

} // namespace trust
