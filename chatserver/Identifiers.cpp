#include "chatserver/Identifiers.h"

#include <QHostAddress>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace chatserver {

namespace {

constexpr int kMaxLocalChars = 64;
constexpr int kMaxLabelChars = 63;
constexpr int kMaxDomainChars = 253;
constexpr int kMaxIdDigits = 18;
constexpr uint kMaxPort = 65534; // clients refuse 65535

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// What a label of a domain's ASCII form may hold: lower-case letters, digits and hyphens.
bool isHostChar(QChar c) {
    return isDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c == QLatin1Char('-');
}

// The value of decimal digits with no leading zero (a lone "0" aside), at most `maxDigits` (up to
// 18) of them; nothing when the text is not so. Read by hand: every poll reads its user's ID and
// its address's four numbers and port.
std::optional<quint64> plainNumber(QStringView text, qsizetype maxDigits) {
    if (text.isEmpty() || text.size() > maxDigits) return std::nullopt;
    if (text.size() > 1 && text.front() == QLatin1Char('0')) return std::nullopt;
    quint64 value = 0;
    for (const QChar c : text) {
        if (!isDigit(c)) return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

// "00" to "99", each pair of characters one 32-bit word to copy.
constexpr std::array<char16_t, 200> kDigitPairs = [] {
    std::array<char16_t, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = char16_t(u'0' + i / 10);
        pairs[2 * i + 1] = char16_t(u'0' + i % 10);
    }
    return pairs;
}();

// Two digits of `value` (below 100) just before `end`; gives where they start.
char16_t* putPairBefore(char16_t* end, quint32 value) {
    std::memcpy(end - 2, &kDigitPairs[2 * std::size_t(value)], 2 * sizeof(char16_t));
    return end - 2;
}

bool isPort(QStringView text) {
    const std::optional<quint64> port = plainNumber(text, 5);
    return port && *port >= 1 && *port <= kMaxPort;
}

bool isDottedQuad(QStringView text) {
    int parts = 0;
    for (const QStringView part : text.tokenize(QLatin1Char('.'))) {
        const std::optional<quint64> number = plainNumber(part, 3);
        if (++parts > 4 || !number || *number > 255) return false;
    }
    return parts == 4;
}

// An IPv6 address exactly as it is written shortest (lower case, the longest run of zeros
// folded), without a zone.
bool isShortestIpv6(QStringView text) {
    if (text.contains(QLatin1Char('%')) || !text.contains(QLatin1Char(':'))) return false;
    QHostAddress address;
    return address.setAddress(text.toString()) && address.protocol() == QAbstractSocket::IPv6Protocol &&
           address.toString() == text;
}

// Characters that show as nothing, or as a blank, in most fonts: one of them turns an address
// into another that looks the same.
bool isInvisible(QChar c) {
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format: // soft hyphen, zero-width space and joiners, byte order mark
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        break;
    }
    const char16_t u = c.unicode();
    return u == 0x034F || u == 0x115F || u == 0x1160 || u == 0x2800 || u == 0x3164 || u == 0xFFA0 ||
           (u >= 0x180B && u <= 0x180D) || (u >= 0xFE00 && u <= 0xFE0F) || c.isSpace();
}

// Printable ASCII without capitals: composing and lower-casing leave it as it is, and it holds
// nothing invisible. Nearly every address a client sends is already so.
bool isFoldedAscii(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return u > 0x20 && u < 0x7F && !(u >= 'A' && u <= 'Z');
    });
}

// Lower-case letters, digits, dots and hyphens never two in a row: a domain whose ASCII form is
// itself (an "xn--" label is read by the conversion, which may refuse it).
bool isPlainAsciiDomain(QStringView domain) {
    const bool plain =
        std::all_of(domain.begin(), domain.end(), [](QChar c) { return isHostChar(c) || c == QLatin1Char('.'); });
    return plain && !domain.contains(QLatin1String("--"));
}

EmailForm refusedEmail(const char* why) {
    return {QString(), QString::fromLatin1(why)};
}

// One label of a domain in its ASCII form: letters, digits and inner hyphens.
bool isHostLabel(QStringView label) {
    if (label.isEmpty() || label.size() > kMaxLabelChars) return false;
    if (label.front() == QLatin1Char('-') || label.back() == QLatin1Char('-')) return false;
    return std::all_of(label.begin(), label.end(), isHostChar);
}

} // namespace

std::optional<qint64> parseUserId(const QString& text) {
    const std::optional<quint64> id = plainNumber(text, kMaxIdDigits);
    if (!id || *id == 0) return std::nullopt;
    return qint64(*id);
}

char16_t* writeUserId(char16_t* out, qint64 id) {
    // A poll's reply shows a handle of eighteen digits or so for every contact. Written from the
    // right two digits at a time, eight at a time in 32-bit arithmetic, it costs little over half
    // of std::to_chars (which divides the whole 64-bit number for every pair) and a copy of its text.
    char16_t digits[20];
    char16_t* start = std::end(digits);
    auto value = quint64(std::max<qint64>(id, 0));
    while (value >= 100'000'000) {
        const quint64 rest = value / 100'000'000;
        auto eight = quint32(value - rest * 100'000'000);
        for (int pair = 0; pair < 4; ++pair, eight /= 100)
            start = putPairBefore(start, eight % 100);
        value = rest;
    }
    auto lead = quint32(value);
    for (; lead >= 100; lead /= 100)
        start = putPairBefore(start, lead % 100);
    if (lead >= 10)
        start = putPairBefore(start, lead);
    else
        *--start = char16_t(u'0' + lead);
    return std::copy(start, std::end(digits), out);
}

bool isAcceptableAddress(const QString& address) {
    if (address.isEmpty()) return true;
    if (address.startsWith(QLatin1Char('['))) {
        const qsizetype close = address.indexOf(QLatin1String("]:"));
        return close > 0 && isShortestIpv6(QStringView(address).sliced(1, close - 1)) &&
               isPort(QStringView(address).sliced(close + 2));
    }
    if (address.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = address.indexOf(QLatin1Char(':'));
        return isDottedQuad(QStringView(address).first(colon)) && isPort(QStringView(address).sliced(colon + 1));
    }
    return isDottedQuad(address) || isShortestIpv6(address);
}

EmailForm normaliseEmail(const QString& text) {
    // Every poll names its user's address: the conversions below are kept for those that need them.
    const bool folded = isFoldedAscii(text);
    const QString trimmed = folded ? text : text.trimmed();
    if (trimmed.isEmpty()) return refusedEmail("it is empty");
    if (trimmed.size() > kMaxEmailChars) return refusedEmail("it is longer than 254 characters");
    if (!folded && std::any_of(trimmed.begin(), trimmed.end(), isInvisible))
        return refusedEmail("it holds a blank, a control character or an invisible character");
    const QString composed = folded ? trimmed : trimmed.normalized(QString::NormalizationForm_C).toLower();
    if (composed.count(QLatin1Char('@')) != 1) return refusedEmail("it needs exactly one @");
    const qsizetype at = composed.indexOf(QLatin1Char('@'));
    const QStringView local = QStringView(composed).first(at);
    QStringView domain = QStringView(composed).sliced(at + 1);

    if (local.isEmpty() || local.size() > kMaxLocalChars)
        return refusedEmail("the part before the @ must have 1 to 64 characters");
    constexpr std::u16string_view kQuoting = u"\"()<>[]\\,;:";
    for (const QChar c : local)
        if (kQuoting.find(c.unicode()) != std::u16string_view::npos)
            return refusedEmail("the part before the @ may not be quoted nor hold ( ) < > [ ] \\ , ; :");
    if (local.startsWith(QLatin1Char('.')) || local.endsWith(QLatin1Char('.')) || local.contains(QLatin1String("..")))
        return refusedEmail("the part before the @ may not start or end with a dot, nor hold two in a row");

    // "example.com." is the same domain as "example.com": the dot that ends a full name.
    if (domain.endsWith(QLatin1Char('.'))) domain.chop(1);
    // A domain already in its ASCII form is read where it stands.
    const bool plainDomain = isPlainAsciiDomain(domain);
    const QString converted =
        plainDomain ? QString() : QString::fromLatin1(QUrl::toAce(domain.toString(), QUrl::IgnoreIDNWhitelist));
    const QStringView ascii = plainDomain ? domain : QStringView(converted);
    bool named = !ascii.isEmpty() && ascii.size() <= kMaxDomainChars;
    qsizetype labels = 0;
    QStringView last;
    for (const QStringView label : ascii.tokenize(QLatin1Char('.'))) {
        named = named && isHostLabel(label);
        last = label;
        ++labels;
    }
    // A top-level domain is never a number: "1.2.3.4" is an address, not a name.
    if (!named || labels < 2 || !last.front().isLetter())
        return refusedEmail("the part after the @ must be a domain name such as example.com");
    // An address given in its usual form, as nearly all are, is that form already.
    const QString address = QStringView(composed).sliced(at + 1) == ascii
                                ? composed
                                : local.toString() + QLatin1Char('@') + ascii.toString();
    if (address.size() > kMaxEmailChars) return refusedEmail("it is longer than 254 characters");
    return {address, QString()};
}

} // namespace chatserver
