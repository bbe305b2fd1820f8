#include "wire/ContactRequests.h"

#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

namespace wire {

namespace {

constexpr qsizetype kEntryFields = 4;
// Both lists of a full account and then some; an answer beyond it is not read.
constexpr qsizetype kMaxEntries = 4096;
const QString kWaiting = QStringLiteral("W");
const QString kAsking = QStringLiteral("A");

} // namespace

QString composeContactRequests(const QList<ContactRequestEntry>& entries) {
    QString payload = codeText(Code::ContactRequests);
    for (const ContactRequestEntry& entry : entries)
        for (const QString* field : {entry.kind == ContactRequestEntry::Kind::Asking ? &kAsking : &kWaiting,
                                     &entry.handle, &entry.name, &entry.email}) {
            payload += kSep;
            payload += *field;
        }
    return payload;
}

std::optional<QList<ContactRequestEntry>> parseContactRequests(const QStringList& fields) {
    if (fields.isEmpty() || codeOf(fields.at(0)) != Code::ContactRequests) return std::nullopt;
    const qsizetype count = (fields.size() - 1) / kEntryFields;
    if ((fields.size() - 1) % kEntryFields != 0 || count > kMaxEntries) return std::nullopt;
    QList<ContactRequestEntry> entries;
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype at = 1 + i * kEntryFields;
        const QString& kind = fields.at(at);
        if (kind != kWaiting && kind != kAsking) continue;
        entries.append({kind == kAsking ? ContactRequestEntry::Kind::Asking : ContactRequestEntry::Kind::Waiting,
                        fields.at(at + 1), fields.at(at + 2), fields.at(at + 3)});
    }
    return entries;
}

} // namespace wire
