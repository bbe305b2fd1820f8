#include "wire/SettingsLines.h"

#include "wire/Protocol.h"

#include <QStringList>

namespace wire {

QString composeSettingsLine(const SiteRecord& record) {
    QString line = kSep + record.type;
    for (const QString& value : record.values)
        line += kSep + value;
    return line + kCrLf;
}

QString composeSettingsText(const QList<SiteRecord>& records) {
    QString text;
    for (const SiteRecord& record : records)
        text += composeSettingsLine(record);
    return text;
}

QList<SiteRecord> parseSettingsText(const QString& plain) {
    QList<SiteRecord> records;
    const QStringList pieces = plain.split(kCrLf);
    // The piece after the last CR LF is not a finished line.
    for (qsizetype index = 0; index + 1 < pieces.size(); ++index) {
        const QString& piece = pieces.at(index);
        if (piece.isEmpty()) continue;
        const QStringList fields = piece.split(kSep);
        if (fields.size() < 6) continue;
        SiteRecord record;
        record.type = fields.at(1);
        for (std::size_t column = 0; column < record.values.size(); ++column)
            record.values[column] = fields.at(static_cast<qsizetype>(column) + 2);
        records.append(record);
    }
    return records;
}

QString settingsTextFromReply(const QString& reply) {
    const qsizetype start = reply.indexOf(kSep);
    if (start < 0) return {};
    QString text;
    const QStringList lines = reply.mid(start).split(kCrLf);
    for (const QString& line : lines) {
        if (line.isEmpty()) continue;
        text += line + kCrLf;
    }
    return text;
}

} // namespace wire
