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

    // A handset lying from the lower left to the upper right: ear and mouth pieces joined by a bow.
    QPainterPath handset;
    handset.moveTo(17, 40);
    handset.cubicTo(16, 28, 28, 16, 40, 17);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(handset);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(11, 37, 13, 11));
    painter.drawEllipse(QRectF(37, 11, 11, 13));
    if (state == CallState::Ringing) {
        // Two waves beside the earpiece.
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(QRectF(24, 24, 28, 28), 0 * 16, 90 * 16);
        painter.drawArc(QRectF(20, 20, 38, 38), -5 * 16, 100 * 16);
    } else if (state == CallState::InCall) {
        // A dot for the open line.
        painter.drawEllipse(QRectF(38, 38, 12, 12));
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
