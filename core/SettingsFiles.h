#pragma once
// The settings files beside the executable, all scrambled with the fixed key:
//   RTC_Chat.kvo    server address, port, user ID and e-mail address, joined by "Ô"
//   ColloqChat.kvo  the web-site lines the chat server sends in reply 2005
//   RTC_Name.kvo    the display name the user registered under (calls carry it to their peers)
//   RTC_Ring.kvo, RTC_Desktop.kvo   switches: one line "name=0" or "name=1" each
// A file is replaced by writing the new content to a temporary file in the same folder and
// renaming it over the old one, so a crash or a full disk leaves the old file as it was.
#include "core/Identity.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <utility>

namespace basMain {

// Writes the bytes to a temporary file beside `path` (the user's alone), flushes it to disk and renames it over
// `path`. Any failure discards the temporary file, keeps whatever `path` held before and raises
// 75 "Path/File access error" or 61 "Disk full".
void replaceSettingsFile(const QString& path, const QByteArray& bytes);

QString serverAddressFilePath();
QString userSettingsFilePath();
QString displayNameFilePath();

// Writes RTC_Chat.kvo with the four fields of the identity it keeps: server address, port, user
// ID and e-mail. Raises a vb::VbError (75 "Path/File access error", 61 "Disk full") when the file
// cannot be written; the old file is then left untouched.
void writeServerAddressFile(const Identity& identity);

// The longest site list stored or read, in characters; the list is read and unscrambled at every
// start.
inline constexpr qsizetype kMaxUserSettingsChars = qsizetype{3} * 1024;

// Stores the site lines of a reply 2005 (the whole reply text, code included) in ColloqChat.kvo
// unless the file already holds exactly that content (compared by MD5 digest). A reply without
// any line leaves the file alone. Returns whether the file was written; raises as above, raises
// 6 "Overflow" for lines longer than kMaxUserSettingsChars (the file is left alone), and passes
// on the digest errors of basMD5.
bool writeUserSettingsFile(const QString& reply);

// Reads ColloqChat.kvo into g_arrRedirectSites (type "0"), g_arrWanIPSites ("1") and
// g_arrAltServerSites ("2"), rows in file order; lines of other types are ignored. The three
// tables are first emptied to one empty row, so a missing file, and one longer than
// kMaxUserSettingsChars, leaves them so. Raises 75 when the file exists but cannot be read.
void loadSiteTables();

// Keeps the display name of an accepted registration in RTC_Name.kvo. Raises as
// writeServerAddressFile does.
void writeDisplayNameFile(const QString& name);

// The display name kept in RTC_Name.kvo; empty when there is none, or when what the file holds
// could not have been registered (too long, control characters, the separator).
QString readDisplayNameFile();

// The identity the four fields of RTC_Chat.kvo name (server address, port, user ID, e-mail), with
// the display name of RTC_Name.kvo. Fields that are missing stay empty.
Identity identityFromFields(const QStringList& fields);

// A file of switches, scrambled as the others are; a later version can add lines an earlier one
// ignores. Reading gives every switch found, keyed by its name; a missing, unreadable or oversized
// file gives none (all off). Writing raises as writeServerAddressFile does.
using Switches = QList<std::pair<QString, bool>>;
QHash<QString, bool> readSwitchesFile(const QString& path);
void writeSwitchesFile(const QString& path, const Switches& switches);

// How the window lives on the desktop, kept in RTC_Desktop.kvo.
struct DesktopSettings {
    bool quitOnClose = false;     // closing the window quits, even where a tray could keep it
    bool trayNoticeShown = false; // the user has been told once that closing keeps it in the tray
};
DesktopSettings readDesktopSettings();
void writeDesktopSettings(const DesktopSettings& settings);

} // namespace basMain
