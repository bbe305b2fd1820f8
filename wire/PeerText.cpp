#include "wire/PeerText.h"

#include "wire/Protocol.h"

#include <algorithm>

namespace wire {

namespace {

constexpr int kMaxMarksPerCharacter = 2;
constexpr char32_t kReplacement = 0xFFFD;

bool isMark(QChar::Category category) {
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}

// Whether the code point can be drawn as itself: assigned, not private, not a non-character.
bool isDrawable(char32_t code) {
    const auto category = QChar::category(code);
    return category != QChar::Other_NotAssigned && category != QChar::Other_PrivateUse &&
           category != QChar::Other_Surrogate && !QChar::isNonCharacter(code);
}

} // namespace

QString cleanPeerText(const QString& text, qsizetype maxChars) {
    maxChars = qMax<qsizetype>(1, maxChars);
    // A text far longer than can be shown is not read beyond what could matter: white space
    // and dropped marks may shorten it, but not below this.
    const QString spaced = invisiblesAsSpaces(text.left(maxChars * 8 + 64));
    QString line;
    line.reserve(qMin<qsizetype>(spaced.size(), maxChars + 1));
    int marks = 0;
    bool pendingSpace = false;
    for (qsizetype i = 0; i < spaced.size() && line.size() <= maxChars;) {
        char32_t code = spaced.at(i).unicode();
        qsizetype width = 1;
        if (QChar::isHighSurrogate(code) && i + 1 < spaced.size() && spaced.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(spaced.at(i), spaced.at(i + 1));
            width = 2;
        }
        i += width;
        if (QChar::isSpace(code)) {
            pendingSpace = !line.isEmpty();
            marks = 0;
            continue;
        }
        if (!isDrawable(code)) code = kReplacement;
        if (isMark(QChar::category(code))) {
            // A mark needs a character to sit on, and a few are enough for any script.
            if (line.isEmpty() || pendingSpace || ++marks > kMaxMarksPerCharacter) continue;
        } else {
            marks = 0;
        }
        if (pendingSpace) line += QLatin1Char(' ');
        pendingSpace = false;
        if (QChar::requiresSurrogates(code)) {
            line += QChar(QChar::highSurrogate(code));
            line += QChar(QChar::lowSurrogate(code));
        } else {
            line += QChar(char16_t(code));
        }
    }
    if (line.size() > maxChars) {
        line.truncate(maxChars - 1);
        if (!line.isEmpty() && line.back().isHighSurrogate()) line.chop(1);
        while (!line.isEmpty() && line.back() == QLatin1Char(' '))
            line.chop(1);
        line += QChar(0x2026);
    }
    return line;
}

QString screenful(const QString& text) {
    qsizetype end = std::min<qsizetype>(text.size(), kScreenfulChars);
    qsizetype lineEnd = -1;
    for (int line = 0; line < kScreenfulLines; ++line) {
        lineEnd = text.indexOf(QLatin1Char('\n'), lineEnd + 1);
        if (lineEnd < 0) break;
    }
    if (lineEnd >= 0) end = std::min(end, lineEnd);
    if (end == text.size()) return text;
    return text.left(end) + QStringLiteral("...");
}

} // namespace wire
