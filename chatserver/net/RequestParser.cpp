#include "chatserver/net/RequestParser.h"

#include "wire/Codepage.h"
#include "wire/MessageCodes.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <algorithm>
#include <array>

namespace chatserver {

namespace {

constexpr unsigned char kSepByte = 0xD4;

struct CodeInfo {
    wire::Code code;
    int fields;
};

// Code, its fields, then the call address.
constexpr std::array<CodeInfo, 11> kCodes = {{
    {wire::Code::LogIn, 4},               // log-in and poll: ID, e-mail
    {wire::Code::DatedRecords, 5},        // poll by ID at start-up: ID, the client's clock, its internet address
    {wire::Code::SignOff, 3},             // sign-off through the web path: ID
    {wire::Code::Register, 6},            // register: user name, computer name, e-mail, display name
    {wire::Code::AddContact, 4},          // add contact: ID, contact's e-mail
    {wire::Code::RemoveContact, 4},       // remove contact: ID, contact's ID
    {wire::Code::SignOffWithSettings, 3}, // sign-off: ID
    {wire::Code::CallPaths, 4},           // call paths: ID, e-mail
    {wire::Code::NewId, 4},               // move the account to a new ID: ID, e-mail
    {wire::Code::ContactRequests, 4},     // contact requests: ID, e-mail
    {wire::Code::IgnoreRequest, 5},       // ignore a contact request: ID, e-mail, its handle
}};

// The codes as they stand on the wire, in the order of kCodes.
const std::array<QByteArray, kCodes.size()>& codeBytes() {
    static const std::array<QByteArray, kCodes.size()> bytes = [] {
        std::array<QByteArray, kCodes.size()> texts;
        for (std::size_t i = 0; i < kCodes.size(); ++i)
            texts[i] = wire::codeText(kCodes[i].code).toLatin1();
        return texts;
    }();
    return bytes;
}

constexpr qsizetype kLongestCode = 4;

bool isKnownCodePrefix(QByteArrayView text) {
    for (const QByteArray& code : codeBytes())
        if (QByteArrayView(code).startsWith(text)) return true;
    return false;
}

// The call address is "address:port" or a bare address; either ends in a digit when whole.
// Anything else (an empty field, a name) might still be arriving.
bool looksSettled(QByteArrayView lastField) {
    if (lastField.isEmpty()) return false;
    const char last = lastField.back();
    return last >= '0' && last <= '9';
}

} // namespace

int chatFieldCount(QStringView code) {
    for (std::size_t i = 0; i < kCodes.size(); ++i)
        if (code == QLatin1StringView(codeBytes()[i])) return kCodes[i].fields;
    return -1;
}

const ChatParse& ChatRequestReader::feed(QByteArrayView bytes) {
    // Nothing new leaves the verdict as it stands (the grace time's end feeds nothing).
    if (m_parse.status == ChatParse::Status::Malformed || bytes.isEmpty()) return m_parse;
    if (m_text.isEmpty()) {
        const auto first = static_cast<unsigned char>(bytes.front());
        m_plain = first >= '0' && first <= '9';
    }
    if (m_text.size() + bytes.size() > m_maxBytes) {
        setMalformed(QStringLiteral("request larger than %1 bytes").arg(m_maxBytes));
        return m_parse;
    }
    const qsizetype oldSize = m_text.size();
    m_text.append(bytes);
    char* const text = m_text.data();
    if (!m_plain) wire::unscrambleBytes(text + oldSize, bytes.size(), oldSize + 1);
    for (qsizetype i = oldSize; i < m_text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) == kSepByte) {
            ++m_separators;
            m_lastFieldAt = i + 1;
        }
    }
    judge(oldSize);
    return m_parse;
}

void ChatRequestReader::setMalformed(QString reason, QString knownCode) {
    m_parse = {};
    m_parse.status = ChatParse::Status::Malformed;
    m_parse.reason = std::move(reason);
    m_parse.knownCode = std::move(knownCode);
}

void ChatRequestReader::judge(qsizetype oldSize) {
    const auto firstPlain = static_cast<unsigned char>(m_text.front());
    if (firstPlain < '0' || firstPlain > '9') return setMalformed(QStringLiteral("not a request"));
    if (m_separators == 0) {
        if (m_text.size() > kLongestCode || !isKnownCodePrefix(m_text))
            setMalformed(QStringLiteral("unknown request code"));
        return;
    }
    if (m_fieldsNeeded == 0) {
        m_code = QString::fromLatin1(QByteArrayView(m_text).first(m_text.indexOf(static_cast<char>(kSepByte))));
        const int wireFields = chatFieldCount(m_code);
        if (wireFields < 0) return setMalformed(QStringLiteral("unknown request code"));
        m_fieldsNeeded = m_plain ? wireFields - 1 : wireFields;
    }
    const qsizetype pieces = m_separators + 1;
    if (pieces > m_fieldsNeeded) return setMalformed(QStringLiteral("too many fields"), m_code);
    if (pieces < m_fieldsNeeded) return;

    ChatRequest& request = m_parse.request;
    qsizetype newFrom = std::max(oldSize, m_lastFieldAt);
    if (m_parse.status != ChatParse::Status::Complete) {
        // The fields before the last cannot change any more: they are split once.
        m_parse.status = ChatParse::Status::Complete;
        request.code = m_code;
        request.scrambled = !m_plain;
        request.hasAddress = !m_plain;
        // Each field is read where it stands in the bytes received, without a copy of its own.
        const QByteArrayView settled = QByteArrayView(m_text).first(m_lastFieldAt - 1);
        request.args.reserve(m_fieldsNeeded);
        for (qsizetype from = settled.indexOf(static_cast<char>(kSepByte)) + 1; from > 0;) {
            const qsizetype next = settled.indexOf(static_cast<char>(kSepByte), from);
            request.args.append(wire::fromCp1252(settled.sliced(from, (next < 0 ? settled.size() : next) - from)));
            from = next + 1;
        }
        if (m_plain) request.args.append(QString());
        newFrom = m_lastFieldAt;
    }
    // Only the last field can still grow; what arrived of it is added on.
    QString& lastField = m_plain ? request.args.last() : request.callAddress;
    lastField += wire::fromCp1252(QByteArrayView(m_text).sliced(newFrom));
    m_parse.settled = looksSettled(QByteArrayView(m_text).sliced(m_lastFieldAt));
}

ChatParse parseChatRequest(QByteArrayView received, qsizetype maxBytes) {
    ChatRequestReader reader(maxBytes);
    return reader.feed(received);
}

} // namespace chatserver
