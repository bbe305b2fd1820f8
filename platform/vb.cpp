#include "platform/vb.h"

#include <new>

namespace vb {

QString errorDescription(int number) {
    switch (number) {
    case 0: return {};
    case kErrInvalidCall: return QStringLiteral("Invalid procedure call or argument");
    case kErrOverflow: return QStringLiteral("Overflow");
    case kErrOutOfMemory: return QStringLiteral("Out of memory");
    case kErrSubscript: return QStringLiteral("Subscript out of range");
    case kErrTypeMismatch: return QStringLiteral("Type mismatch");
    case kErrFileNotFound: return QStringLiteral("File not found");
    case kErrBadFileMode: return QStringLiteral("Bad file mode");
    case kErrFileAlreadyOpen: return QStringLiteral("File already open");
    case kErrDeviceIO: return QStringLiteral("Device I/O error");
    case kErrDiskFull: return QStringLiteral("Disk full");
    case kErrPermissionDenied: return QStringLiteral("Permission denied");
    case kErrPathFileAccess: return QStringLiteral("Path/File access error");
    case kErrPathNotFound: return QStringLiteral("Path not found");
    case kErrObjectNotSet: return QStringLiteral("Object variable or With block variable not set");
    case 380: return QStringLiteral("Invalid property value");
    case 35600: return QStringLiteral("Index out of bounds");
    case kErrElementNotFound: return QStringLiteral("Element not found");
    case kErrKeyNotUnique: return QStringLiteral("Key is not unique in collection");
    default: return QStringLiteral("Application-defined or object-defined error");
    }
}

VbError::VbError(int number, QString description, QString source)
    : m_number(number), m_source(std::move(source)),
      m_description(description.isEmpty() ? errorDescription(number) : std::move(description)),
      m_what((QString::number(m_number) + QStringLiteral(" ") + m_description).toStdString()) {}

void raise(int number, const QString& description, const QString& source) {
    throw VbError(number, description, source);
}

void ErrObject::Clear() {
    Number = 0;
    Source.clear();
    Description.clear();
}

void ErrObject::set(const VbError& e) {
    Number = e.number();
    Source = e.source();
    Description = e.description();
}

void ErrObject::set(const std::exception& e) {
    if (const auto* vbError = dynamic_cast<const VbError*>(&e)) {
        set(*vbError);
    } else if (dynamic_cast<const std::bad_alloc*>(&e)) {
        set(VbError(kErrOutOfMemory));
    } else {
        set(VbError(kErrInvalidCall));
    }
}

ErrObject& Err() {
    static ErrObject err;
    return err;
}

} // namespace vb
