#pragma once
// Where a window of ours opens so that it hides nothing the user needs.
#include <QRect>
#include <QSize>

namespace callui {

// A place for a window of `wanted` size on `screen` (its available area) beside `avoid`: to its
// right, its left, below or above, on the side where it comes out largest (shrunk to the room
// there, its shape kept), the first of equals. An empty rectangle when no side has room for
// `minimum`.
QRect besideOf(const QRect& avoid, QSize wanted, const QRect& screen, QSize minimum);

} // namespace callui
