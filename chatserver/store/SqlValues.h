#pragma once
// Values as the store's statements are bound with them.
#include <QString>
#include <QVariant>

namespace chatserver {

inline QVariant int64(qint64 value) {
    return QVariant::fromValue<qlonglong>(value);
}

// A null QString would be bound as SQL NULL; every text column of ours holds text.
inline QVariant text(const QString& value) {
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

} // namespace chatserver
