#include "desktop/CallPictures.h"

#include <QPainter>
#include <QPainterPath>

namespace desktop {

QColor stateColour(CallState state) {
    switch (state) {
    case CallState::Ringing:
        return QColor(0xE0, 0x8A, 0x00);
    case CallState::InCall:
        return QColor(0x1E, 0x9E, 0x4A);
    case CallState::Idle:
        break;
    }
    return QColor(0x6B, 0x72, 0x80);
}

QPixmap statePicture(CallState state, int size) {
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(stateColour(state));
    painter.drawEllipse(QRectF(2, 2, 60, 60));

    // A handset from the upper left (ear) to the lower right (mouth), its bow towards the lower left.
    QPainterPath handset;
    handset.moveTo(19, 20);
    handset.cubicTo(12, 34, 30, 52, 44, 45);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(handset);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(12, 13, 14, 12));
    painter.drawEllipse(QRectF(39, 38, 12, 14));
    if (state == CallState::Ringing) {
        // Waves in the free upper right.
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(QRectF(18, 20, 28, 28), 5 * 16, 80 * 16);
        painter.drawArc(QRectF(10, 12, 44, 44), 5 * 16, 80 * 16);
    } else if (state == CallState::InCall) {
        // Sound on the open line: three bars.
        painter.drawRoundedRect(QRectF(34, 20, 4.5, 9), 2, 2);
        painter.drawRoundedRect(QRectF(40.5, 13, 4.5, 16), 2, 2);
        painter.drawRoundedRect(QRectF(47, 17, 4.5, 12), 2, 2);
    }
    return picture;
}

QIcon stateIcon(CallState state) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(statePicture(state, size));
    return icon;
}

} // namespace desktop
