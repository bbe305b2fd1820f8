#include "wire/Protocol.h"

#include "wire/Codepage.h"

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

namespace {

// Copies `size` characters as bytes and tells whether any of them is not the same byte in
// Latin-1 and the code page. Without a branch and, over a block of fixed length, without
// aliasing between the two, so that the compiler turns it into vector instructions.
template <qsizetype size> unsigned latin1Block(const char16_t* __restrict in, char* __restrict out) {
    unsigned notLatin1 = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t u = in[i];
        notLatin1 |= unsigned(!sameInLatin1(u));
        out[i] = static_cast<char>(u);
    }
    return notLatin1;
}

} // namespace

std::optional<QByteArray> frameReplyLatin1(QStringView payload) {
    char count[24];
    const char* const end = std::to_chars(count, count + sizeof count, payload.size()).ptr;
    QByteArray bytes(end - count + 1 + payload.size(), Qt::Uninitialized);
    char* out = std::copy(static_cast<const char*>(count), end, bytes.data());
    *out++ = static_cast<char>(kSep.unicode());
    // Copied and checked in one pass: a poll's reply is a kilobyte or two.
    const char16_t* in = payload.utf16();
    qsizetype left = payload.size();
    unsigned notLatin1 = 0;
    constexpr qsizetype kBlock = 32;
    for (; left >= kBlock; left -= kBlock, in += kBlock, out += kBlock)
        notLatin1 |= latin1Block<kBlock>(in, out);
    for (; left > 0; --left)
        notLatin1 |= latin1Block<1>(in++, out++);
    if (notLatin1 != 0) return std::nullopt;
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
