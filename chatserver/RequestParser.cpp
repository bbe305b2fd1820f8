#include "chatserver/RequestParser.h"

#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <array>

namespace chatserver {

namespace {

constexpr unsigned char kSepByte = 0xD4;

struct CodeInfo {
    const char* code;
    int fields;
};

// Code, its fields, then the call address.
constexpr std::array<CodeInfo, 7> kCodes = {{
    {"1", 4},    // log-in and poll: ID, e-mail
    {"77", 5},   // poll by ID at start-up: ID, the client's clock, its internet address
    {"2", 3},    // sign-off through the web path: ID
    {"3", 6},    // register: user name, computer name, e-mail, display name
    {"4", 4},    // add contact: ID, contact's e-mail
    {"5", 4},    // remove contact: ID, contact's ID
    {"2005", 3}, // sign-off: ID
}};

constexpr qsizetype kLongestCode = 4;

bool isKnownCodePrefix(QByteArrayView text) {
    for (const CodeInfo& info : kCodes)
        if (QByteArrayView(info.code).startsWith(text)) return true;
    return false;
}

// The call address is "address:port" or a bare address; either ends in a digit when whole.
// Anything else (an empty field, a name) might still be arriving.
bool looksSettled(QByteArrayView lastField) {
    if (lastField.isEmpty()) return false;
    const char last = lastField.back();
    return last >= '0' && last <= '9';
}

ChatParse malformed(QString reason, QString knownCode = {}) {
    ChatParse parse;
    parse.status = ChatParse::Status::Malformed;
    parse.reason = std::move(reason);
    parse.knownCode = std::move(knownCode);
    return parse;
}

} // namespace

int chatFieldCount(QStringView code) {
    for (const CodeInfo& info : kCodes)
        if (code == QLatin1StringView(info.code)) return info.fields;
    return -1;
}

ChatParse parseChatRequest(const QByteArray& received, qsizetype maxBytes) {
    if (received.isEmpty()) return {};
    if (received.size() > maxBytes) return malformed(QStringLiteral("request larger than %1 bytes").arg(maxBytes));

    const auto first = static_cast<unsigned char>(received.front());
    const bool plain = first >= '0' && first <= '9';
    QByteArray text = received;
    if (!plain) {
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = static_cast<char>(wire::unscrambleCode(static_cast<unsigned char>(text[i]), i + 1));
        const auto firstPlain = static_cast<unsigned char>(text.front());
        if (firstPlain < '0' || firstPlain > '9') return malformed(QStringLiteral("not a request"));
    }

    const qsizetype codeEnd = text.indexOf(static_cast<char>(kSepByte));
    const QByteArrayView codeView = codeEnd < 0 ? QByteArrayView(text) : QByteArrayView(text).first(codeEnd);
    if (codeEnd < 0) {
        if (codeView.size() > kLongestCode || !isKnownCodePrefix(codeView))
            return malformed(QStringLiteral("unknown request code"));
        return {};
    }
    const QString code = QString::fromLatin1(codeView);
    const int wireFields = chatFieldCount(code);
    if (wireFields < 0) return malformed(QStringLiteral("unknown request code"));
    const int fieldsNeeded = plain ? wireFields - 1 : wireFields;

    const QList<QByteArray> pieces = text.split(static_cast<char>(kSepByte));
    if (pieces.size() > fieldsNeeded) return malformed(QStringLiteral("too many fields"), code);
    if (pieces.size() < fieldsNeeded) return {};

    ChatParse parse;
    parse.status = ChatParse::Status::Complete;
    parse.settled = looksSettled(pieces.back());
    ChatRequest& request = parse.request;
    request.code = code;
    request.scrambled = !plain;
    request.hasAddress = !plain;
    const qsizetype argEnd = plain ? pieces.size() : pieces.size() - 1;
    for (qsizetype i = 1; i < argEnd; ++i)
        request.args.append(wire::fromCp1252(pieces[i]));
    if (!plain) request.callAddress = wire::fromCp1252(pieces.back());
    return parse;
}

} // namespace chatserver
