#include "wire/Codepage.h"

#include <algorithm>
#include <array>

namespace wire {

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes it leaves undefined keep
// the C1 control of the same value so that arbitrary bytes survive decoding and encoding again.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98..9F
};

constexpr unsigned char kUnmappable = '?';

} // namespace

QChar cp1252Char(unsigned char code) {
    if (code >= 0x80 && code <= 0x9F) return QChar(kHighControls[code - 0x80]);
    return QChar(static_cast<char16_t>(code));
}

unsigned char cp1252Code(QChar c) {
    const char16_t u = c.unicode();
    if (sameInLatin1(u)) return static_cast<unsigned char>(u);
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == u) return static_cast<unsigned char>(0x80 + i);
    }
    return kUnmappable;
}

QByteArray toCp1252(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        // A character outside the basic plane is one character to the reader: one '?', not two.
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out.append(static_cast<char>(kUnmappable));
            ++i;
            continue;
        }
        out.append(static_cast<char>(cp1252Code(c)));
    }
    return out;
}

QString cp1252Missing(const QString& text) {
    QString missing;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const QString one = text.mid(i, pair ? 2 : 1);
        i += pair ? 1 : 0;
        if ((pair || cp1252Code(one.front()) == kUnmappable) && one != QStringLiteral("?") && !missing.contains(one))
            missing += one;
    }
    return missing;
}

QString fromCp1252(QByteArrayView bytes) {
    // A character per byte, written in place: the server reads every request's fields through here.
    QString out(bytes.size(), Qt::Uninitialized);
    std::transform(bytes.begin(), bytes.end(), out.begin(),
                   [](char b) { return cp1252Char(static_cast<unsigned char>(b)); });
    return out;
}

} // namespace wire
