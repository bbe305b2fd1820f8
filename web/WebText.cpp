#include "web/WebText.h"

#include "platform/vb.h"

#include <cmath>

namespace web {

QString trimBlanks(const QString& text) {
    return vb::Trim(text);
}

namespace {

// The trimmed text from `skip` characters after the start marker up to the end marker.
std::optional<QString> valueBetween(const QString& reply, const QString& start, qsizetype skip, const QString& end,
                                    int* mark, int first) { // NOLINT(readability-non-const-parameter): set through step
    int unused = 0;
    int& step = mark ? *mark : unused;
    const qsizetype at = reply.indexOf(start);
    if (at < 0) return std::nullopt;
    step = first;
    const QString tail = reply.mid(at + skip);
    step = first + 3;
    const qsizetype stop = tail.indexOf(end);
    if (stop < 0) return std::nullopt;
    step = first + 5;
    const QString value = tail.left(stop);
    step = first + 7;
    return trimBlanks(value);
}

// VB's Mid: 1-based start, empty beyond the end.
QString mid(const QString& text, qsizetype start, qsizetype length = -1) {
    return text.mid(start - 1, length);
}

} // namespace

std::optional<QString> lookWanValue(const QString& reply, int* mark, int first) {
    return valueBetween(reply, kLookStart, kLookStart.size(), kLookEnd, mark, first);
}

std::optional<QString> clientChatValue(const QString& reply, int* mark, int first) {
    // The page writes one blank after the marker; that character is skipped whatever it is.
    return valueBetween(reply, kChatStart, kChatStart.size() + 1, kChatEnd, mark, first);
}

std::optional<RedirectAnswer> redirectAnswer(const QString& reply) {
    const qsizetype at = reply.indexOf(kLookStart);
    if (at < 0) return std::nullopt;
    const QString tail = reply.mid(at + kLookStart.size());
    const qsizetype stop = tail.indexOf(kLookEnd);
    if (stop < 0) return std::nullopt;
    return RedirectAnswer{trimBlanks(tail.left(stop)), dateStampValue(tail.mid(stop + kLookEnd.size()))};
}

qint32 dateStampValue(const QString& text) {
    const double value = vb::Val(text);
    // A number no 32-bit stamp can hold is no date: it must not end the whole lookup.
    if (!std::isfinite(value) || value < -2147483648.5 || value >= 2147483647.5) return 0;
    return vb::CLng(value);
}

QString yearFirstStamp(qint32 stamp) {
    const QString s = QString::number(stamp);
    if (s.size() >= 8) return mid(s, 5) + mid(s, 1, 2) + mid(s, 3, 2);
    if (s.size() == 7) return mid(s, 4) + QLatin1Char('0') + mid(s, 1, 1) + mid(s, 2, 2);
    return mid(s, 3) + QLatin1Char('0') + mid(s, 1, 1) + QLatin1Char('0') + mid(s, 2, 1);
}

} // namespace web
