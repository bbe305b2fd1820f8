#pragma once
// The plain text of the user settings file (ColloqChat.kvo), shared by the client that stores it
// and the chat server that composes it for reply 2005. Lines read
//   "Ô" + type + "Ô" + value 1 + "Ô" + value 2 + "Ô" + value 3 + "Ô" + value 4 + CR LF
// with no empty lines. Scrambling and files are the callers' business.
#include <QList>
#include <QString>
#include <array>

namespace wire {

// One typed web-site record: "0" redirect sites, "1" WAN address sites, "2" alternate-server
// sites (other types are stored but ignored by the reader).
struct SiteRecord {
    QString type;
    std::array<QString, 4> values;
    bool operator==(const SiteRecord&) const = default;
};

// One line of the file, CR LF included.
QString composeSettingsLine(const SiteRecord& record);
// The lines of all records, in order.
QString composeSettingsText(const QList<SiteRecord>& records);

// The records of a file's plain text, in file order. Only text followed by CR LF counts as a
// line (a last line without its CR LF is never read), empty lines are skipped, and so is a line
// with fewer than six fields; fields beyond the sixth are ignored. The type is not checked.
QList<SiteRecord> parseSettingsText(const QString& plain);

// The new file text carried by a reply 2005: the reply from its first "Ô" on, cut at every
// CR LF, each non-empty piece followed by CR LF. Empty when the reply holds no "Ô" at all.
QString settingsTextFromReply(const QString& reply);

} // namespace wire
