#include "wire/MessageCodes.h"

#include "wire/Protocol.h"

#include <array>
#include <iterator>

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

// Every request and reply names its code, many times a second on a server: the texts are made
// once and shared rather than formatted afresh each time.
struct CodeText {
    Code code;
    QString text;
};

const std::array<CodeText, std::size(kCodes)>& codeTexts() {
    static const std::array<CodeText, std::size(kCodes)> texts = [] {
        std::array<CodeText, std::size(kCodes)> made;
        for (std::size_t i = 0; i < made.size(); ++i)
            made[i] = {kCodes[i], QString::number(static_cast<int>(kCodes[i]))};
        return made;
    }();
    return texts;
}

} // namespace

QString codeText(Code code) {
    for (const CodeText& known : codeTexts())
        if (known.code == code) return known.text;
    return QString::number(static_cast<int>(code));
}

std::optional<Code> codeOf(QStringView text) {
    for (const CodeText& known : codeTexts())
        if (text == known.text) return known.code;
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
