#include "call/control/CallTiming.h"

#include <QStringList>

namespace callcontrol {

namespace {

// Where a call starts to be heard as poor: words drop out, or both talk at once. A rating below
// this one, the other figures above theirs. The engine's own rating (of 5) stays near 2.5 on a
// clean loopback call on a busy machine without a sound card, so only its "very poor" counts by
// itself; the network's figures tell the rest.
constexpr rtc::CallFigures kPoor{.rating = 2.0, .jitterMs = 150.0, .lossPercent = 5.0, .roundTripMs = 400.0};

bool known(double figure) {
    return figure >= 0;
}

} // namespace

QString durationText(qint64 seconds) {
    if (seconds < 0) seconds = 0;
    const auto two = [](qint64 value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    if (hours > 0)
        return QString::number(hours) + QLatin1Char(':') + two(minutes) + QLatin1Char(':') + two(seconds % 60);
    return QString::number(minutes) + QLatin1Char(':') + two(seconds % 60);
}

CallQuality qualityOf(const rtc::CallFigures& figures) {
    const bool poor = (known(figures.rating) && figures.rating < kPoor.rating) ||
                      figures.lossPercent > kPoor.lossPercent || figures.jitterMs > kPoor.jitterMs ||
                      figures.roundTripMs > kPoor.roundTripMs;
    if (poor) return CallQuality::Poor;
    const bool any =
        known(figures.rating) || known(figures.lossPercent) || known(figures.jitterMs) || known(figures.roundTripMs);
    return any ? CallQuality::Good : CallQuality::Unknown;
}

QString figuresText(const rtc::CallFigures& figures) {
    QStringList lines;
    if (known(figures.rating)) lines << QStringLiteral("Rating: %1 of 5").arg(figures.rating, 0, 'f', 1);
    if (known(figures.lossPercent)) lines << QStringLiteral("Packets lost: %1 %").arg(figures.lossPercent, 0, 'f', 1);
    if (known(figures.jitterMs)) lines << QStringLiteral("Jitter buffer: %1 ms").arg(qRound(figures.jitterMs));
    if (known(figures.roundTripMs)) lines << QStringLiteral("Round trip: %1 ms").arg(qRound(figures.roundTripMs));
    return lines.isEmpty() ? QStringLiteral("No figures yet.") : lines.join(QLatin1Char('\n'));
}

} // namespace callcontrol
