#include "callui/WindowPlacement.h"

#include <algorithm>

namespace callui {

namespace {

constexpr int kGap = 8;

// `wanted` no larger than `room`, its shape kept.
QSize fitted(QSize wanted, QSize room) {
    return wanted.width() <= room.width() && wanted.height() <= room.height()
               ? wanted
               : wanted.scaled(room, Qt::KeepAspectRatio);
}

// `start` moved so that a span of `length` stays within [low, high].
int clamped(int start, int length, int low, int high) {
    return std::max(low, std::min(start, high - length + 1));
}

} // namespace

QRect besideOf(const QRect& avoid, QSize wanted, const QRect& screen, QSize minimum) {
    struct Side {
        QRect room;
        bool across; // right or left of `avoid`, rather than below or above
        bool before; // left or above: the window ends at the room's far edge, next to `avoid`
    };
    const Side sides[] = {
        {QRect(QPoint(avoid.right() + 1 + kGap, screen.top()), screen.bottomRight()), true, false},
        {QRect(screen.topLeft(), QPoint(avoid.left() - 1 - kGap, screen.bottom())), true, true},
        {QRect(QPoint(screen.left(), avoid.bottom() + 1 + kGap), screen.bottomRight()), false, false},
        {QRect(screen.topLeft(), QPoint(screen.right(), avoid.top() - 1 - kGap)), false, true},
    };
    // The side where the window comes out largest; the first of equals.
    QRect best;
    for (const Side& side : sides) {
        const QRect& room = side.room;
        if (room.width() < minimum.width() || room.height() < minimum.height()) continue;
        const QSize size = fitted(wanted, room.size()).expandedTo(minimum);
        if (qint64{size.width()} * size.height() <= qint64{best.width()} * best.height()) continue;
        // Next to `avoid`, level with its top (or its left edge) as far as the room allows.
        const int nearX = side.before ? room.right() - size.width() + 1 : room.left();
        const int nearY = side.before ? room.bottom() - size.height() + 1 : room.top();
        best = side.across ? QRect(QPoint(nearX, clamped(avoid.top(), size.height(), room.top(), room.bottom())), size)
                           : QRect(QPoint(clamped(avoid.left(), size.width(), room.left(), room.right()), nearY), size);
    }
    return best;
}

} // namespace callui
