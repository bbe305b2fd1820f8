#include "core/SettingsFiles.h"

#include "core/basEncrypt_Decrypt.h"
#include "core/basMD5.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"
#include "wire/SettingsLines.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

namespace basMain {

namespace {

int errorNumberOf(QFileDevice::FileError error) {
    return error == QFileDevice::ResourceError ? vb::kErrDiskFull : vb::kErrPathFileAccess;
}

} // namespace

void replaceSettingsFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Unbuffered, so that a short write (full disk, size limit) is seen here and not lost in a
    // flush at commit time.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) vb::raise(errorNumberOf(file.error()));
    // The new file is the user's alone from its first byte, also where an older version left the
    // old one readable by others.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const int number = errorNumberOf(file.error());
        file.cancelWriting();
        vb::raise(number);
    }
    if (!file.commit()) vb::raise(errorNumberOf(file.error()));
}

namespace {

QByteArray scrambledBytes(const QString& plain) {
    QString text = plain;
    basEncrypt_Decrypt::EncryptText(text);
    return wire::toCp1252(text);
}

// A table whose first cell is empty holds no record yet: its one row is taken by the first.
void appendRow(SiteTable& table, const std::array<QString, 4>& values) {
    if (table.isEmpty() || table.front()[0].isEmpty())
        resetSiteTable(table);
    else
        table.append(std::array<QString, 4>{});
    table.back() = values;
}

} // namespace

QHash<QString, bool> readSwitchesFile(const QString& path) {
    constexpr qint64 kMaxFileBytes = 4096;
    QHash<QString, bool> switches;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileBytes) return switches;
    const QString plain = wire::unscrambled(wire::fromCp1252(file.read(kMaxFileBytes)));
    for (const QString& line : plain.split(QLatin1Char('\n'))) {
        const QString name = line.section(QLatin1Char('='), 0, 0).trimmed();
        if (!name.isEmpty()) switches.insert(name, line.section(QLatin1Char('='), 1).trimmed() == QLatin1String("1"));
    }
    return switches;
}

void writeSwitchesFile(const QString& path, const Switches& switches) {
    QString plain;
    for (const auto& [name, on] : switches)
        plain += name + (on ? QStringLiteral("=1\r\n") : QStringLiteral("=0\r\n"));
    replaceSettingsFile(path, wire::toCp1252(wire::scrambled(plain)));
}

namespace {
// RTC_Desktop.kvo beside the other files.
const QString kDesktopFile = QStringLiteral("/RTC_Desktop.kvo");
const QString kQuitOnClose = QStringLiteral("quit-on-close");
const QString kTrayNoticeShown = QStringLiteral("tray-notice-shown");
} // namespace

DesktopSettings readDesktopSettings() {
    const QHash<QString, bool> switches = readSwitchesFile(vb::AppPath() + kDesktopFile);
    DesktopSettings settings;
    settings.quitOnClose = switches.value(kQuitOnClose);
    settings.trayNoticeShown = switches.value(kTrayNoticeShown);
    return settings;
}

void writeDesktopSettings(const DesktopSettings& settings) {
    const Switches switches{{kQuitOnClose, settings.quitOnClose}, {kTrayNoticeShown, settings.trayNoticeShown}};
    writeSwitchesFile(vb::AppPath() + kDesktopFile, switches);
}

QString serverAddressFilePath() {
    return vb::AppPath() + QStringLiteral("/RTC_Chat.kvo");
}

QString userSettingsFilePath() {
    return vb::AppPath() + QStringLiteral("/ColloqChat.kvo");
}

QString displayNameFilePath() {
    return vb::AppPath() + QStringLiteral("/RTC_Name.kvo");
}

void writeServerAddressFile(const Identity& identity) {
    const QString plain = identity.serverIp + wire::kSep + identity.serverPort + wire::kSep + identity.userId +
                          wire::kSep + identity.email;
    replaceSettingsFile(serverAddressFilePath(), scrambledBytes(plain));
}

bool writeUserSettingsFile(const QString& reply) {
    const QString plain = wire::settingsTextFromReply(reply);
    if (plain.isEmpty()) return false;
    if (plain.size() > kMaxUserSettingsChars)
        vb::raise(vb::kErrOverflow, QStringLiteral("Site list of ") + QString::number(plain.size()) +
                                        QStringLiteral(" characters refused"));
    const QByteArray bytes = scrambledBytes(plain);
    const QString path = userSettingsFilePath();
    // A missing file digests to empty text, which never equals a real digest.
    const QString newDigest = basMD5::fnArrayMD5(bytes, true, true);
    const QString oldDigest = basMD5::GetFileMD5HashCode(path, 1024);
    if (newDigest == oldDigest) return false;
    replaceSettingsFile(path, bytes);
    return true;
}

// The display name is scrambled in one go, without letting events run in between as the
// scrambling of the other files does: it is read while the call engine is being set up, where a
// handler that ran (a close of the window) would pull the engine away.
void writeDisplayNameFile(const QString& name) {
    replaceSettingsFile(displayNameFilePath(), wire::toCp1252(wire::scrambled(name)));
}

QString readDisplayNameFile() {
    QFile file(displayNameFilePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    // One byte per character: anything longer than a display name is not one.
    const QByteArray bytes = file.read(wire::kMaxDisplayNameChars + 1);
    if (bytes.size() > wire::kMaxDisplayNameChars) return {};
    const QString name = wire::unscrambled(wire::fromCp1252(bytes));
    if (wire::hasControlCharacter(name) || name.contains(wire::kSep)) return {};
    return name.trimmed();
}

Identity identityFromFields(const QStringList& fields) {
    Identity identity;
    identity.serverIp = fields.value(0);
    identity.serverPort = fields.value(1);
    identity.userId = fields.value(2);
    identity.email = fields.value(3);
    identity.displayName = readDisplayNameFile();
    return identity;
}

void loadSiteTables() {
    resetSiteTable(g_arrRedirectSites);
    resetSiteTable(g_arrWanIPSites);
    resetSiteTable(g_arrAltServerSites);

    const QString path = userSettingsFilePath();
    const QFileInfo info(path);
    if (!info.exists() || info.size() > kMaxUserSettingsChars) return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) vb::raise(vb::kErrPathFileAccess);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) vb::raise(vb::kErrDeviceIO);
    file.close();

    QString plain = wire::fromCp1252(bytes);
    basEncrypt_Decrypt::DecryptText(plain);
    for (const wire::SiteRecord& record : wire::parseSettingsText(plain)) {
        if (record.type == QLatin1String("0"))
            appendRow(g_arrRedirectSites, record.values);
        else if (record.type == QLatin1String("1"))
            appendRow(g_arrWanIPSites, record.values);
        else if (record.type == QLatin1String("2"))
            appendRow(g_arrAltServerSites, record.values);
    }
}

} // namespace basMain
