#include "wire/Protocol.h"

#include <algorithm>
#include <charconv>

namespace wire {

bool hasControlCharacter(const QString& text) {
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control) return true;
    return false;
}

QString invisiblesAsSpaces(QString text) {
    for (QChar& c : text) {
        const auto category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    }
    return text;
}

QString frameReply(const QString& payload) {
    return QString::number(payload.size()) + kSep + payload;
}

QByteArray frameReplyLatin1(QStringView payload) {
    char count[24];
    const char* const end = std::to_chars(count, count + sizeof count, payload.size()).ptr;
    QByteArray bytes(end - count + 1 + payload.size(), Qt::Uninitialized);
    char* out = std::copy(static_cast<const char*>(count), end, bytes.data());
    *out++ = static_cast<char>(kSep.unicode());
    for (const QChar c : payload)
        *out++ = static_cast<char>(c.unicode());
    return bytes;
}

namespace {

bool isAsciiDigits(QStringView text) {
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    return true;
}

} // namespace

ReplyFramer::Result ReplyFramer::feed(const QString& chunk) {
    // One framer carries one reply: once it is complete or found malformed, whatever else the
    // connection delivers is dropped until reset().
    if (m_state != State::Collecting) return {};

    m_buffer += chunk;
    if (m_expected < 0) {
        const qsizetype sep = m_buffer.indexOf(kSep);
        const QStringView prefix = sep < 0 ? QStringView(m_buffer) : QStringView(m_buffer).left(sep);
        const bool prefixOk = isAsciiDigits(prefix) && prefix.size() <= kMaxPrefixDigits;
        if (!prefixOk || (sep == 0)) {
            m_buffer.clear();
            m_state = State::Finished;
            return {Status::Malformed, {}};
        }
        if (sep < 0) return {}; // the prefix itself is still arriving
        m_expected = prefix.toLongLong();
        if (m_expected > kMaxReplyChars) {
            m_buffer.clear();
            m_state = State::Finished;
            return {Status::TooLong, {}};
        }
        m_buffer.remove(0, sep + 1);
    }

    if (m_buffer.size() < m_expected) return {};

    Result done{Status::Complete, m_buffer.left(m_expected)};
    m_buffer.clear();
    m_state = State::Finished;
    return done;
}

void ReplyFramer::reset() {
    m_buffer.clear();
    m_expected = -1;
    m_state = State::Collecting;
}

} // namespace wire
