#include "wire/MessageCodes.h"

#include "wire/Protocol.h"

namespace wire {

namespace {

constexpr Code kCodes[] = {Code::LogIn,
                           Code::SignOff,
                           Code::Register,
                           Code::AddContact,
                           Code::RemoveContact,
                           Code::Records,
                           Code::Notice,
                           Code::DatedRecords,
                           Code::ServerMoved,
                           Code::Refused,
                           Code::RegistrationRefused,
                           Code::SignOffWithSettings,
                           Code::CallPaths,
                           Code::NewId,
                           Code::ContactRequests,
                           Code::IgnoreRequest};

} // namespace

QString codeText(Code code) {
    return QString::number(static_cast<int>(code));
}

std::optional<Code> codeOf(const QString& text) {
    for (const Code code : kCodes) {
        if (text == codeText(code)) return code;
    }
    return std::nullopt;
}

QString request(Code code, std::initializer_list<QString> fields) {
    QString text = codeText(code);
    for (const QString& field : fields)
        text += kSep + field;
    return text;
}

bool isRequest(const QString& message, Code code) {
    const QString start = codeText(code);
    return message.size() > start.size() && message.startsWith(start) && message.at(start.size()) == kSep;
}

} // namespace wire
