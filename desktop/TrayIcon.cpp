#include "desktop/TrayIcon.h"

#include "desktop/CallNotifier.h"

#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>

namespace desktop {

namespace {

QPixmap drawn(TrayIcon::State state, int size) {
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(TrayIcon::colour(state));
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
    if (state == TrayIcon::State::Ringing) {
        // Two waves beside the earpiece.
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(QRectF(24, 24, 28, 28), 0 * 16, 90 * 16);
        painter.drawArc(QRectF(20, 20, 38, 38), -5 * 16, 100 * 16);
    } else if (state == TrayIcon::State::InCall) {
        // A dot for the open line.
        painter.drawEllipse(QRectF(38, 38, 12, 12));
    }
    return picture;
}

} // namespace

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), m_menu(std::make_unique<QMenu>()) {
    QAction* show = m_menu->addAction(QStringLiteral("Show"));
    m_answer = m_menu->addAction(QStringLiteral("Answer"));
    m_decline = m_menu->addAction(QStringLiteral("Decline"));
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("Quit"));
    connect(show, &QAction::triggered, this, &TrayIcon::showRequested);
    connect(m_answer, &QAction::triggered, this, [this] {
        emit showRequested();
        emit answerRequested();
    });
    connect(m_decline, &QAction::triggered, this, &TrayIcon::declineRequested);
    connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);

    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit showRequested();
    });
    setState(State::Idle, {});
    // On X11 the icon docks whenever a tray host comes, even after the program; elsewhere only a
    // host there now can take it.
    if (QSystemTrayIcon::isSystemTrayAvailable() || QGuiApplication::platformName() == QLatin1String("xcb"))
        m_tray->show();
}

TrayIcon::~TrayIcon() = default;

QColor TrayIcon::colour(State state) {
    switch (state) {
    case State::Ringing:
        return QColor(0xE0, 0x8A, 0x00);
    case State::InCall:
        return QColor(0x1E, 0x9E, 0x4A);
    case State::Idle:
        break;
    }
    return QColor(0x6B, 0x72, 0x80);
}

QIcon TrayIcon::icon(State state) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(drawn(state, size));
    return icon;
}

void TrayIcon::follow(const CallActivity& activity) {
    const QString party = CallNotifier::plainLine(activity.name.isEmpty() ? activity.email : activity.name);
    switch (activity.phase) {
    case CallActivity::Phase::Ringing:
        if (!activity.incoming) break;
        m_call = activity.call;
        setState(State::Ringing, party);
        break;
    case CallActivity::Phase::Placing:
    case CallActivity::Phase::Connected:
        m_call = activity.call;
        setState(State::InCall, party);
        break;
    case CallActivity::Phase::Ended:
        if (activity.call != m_call) break; // turned away while busy: the call shown goes on
        m_call = 0;
        setState(State::Idle, {});
        break;
    }
}

void TrayIcon::setState(State state, const QString& party) {
    m_state = state;
    m_answer->setEnabled(state == State::Ringing);
    m_decline->setEnabled(state == State::Ringing);
    m_tray->setIcon(icon(state));
    switch (state) {
    case State::Idle:
        m_tray->setToolTip(QStringLiteral("ColloqChat"));
        break;
    case State::Ringing:
        m_tray->setToolTip(QStringLiteral("ColloqChat: incoming call from ") + party);
        break;
    case State::InCall:
        m_tray->setToolTip(QStringLiteral("ColloqChat: in a call with ") + party);
        break;
    }
}

} // namespace desktop
