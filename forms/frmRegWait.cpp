#include "forms/frmRegWait.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

namespace {
frmRegWait* s_instance = nullptr;
}

void centreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->geometry();
    const QSize size = window.frameGeometry().size();
    window.move(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
}

frmRegWait& frmRegWait::get() {
    if (!s_instance) {
        s_instance = new frmRegWait; // owned by s_instance until unload()
        s_instance->Form_Load();
    }
    return *s_instance;
}

bool frmRegWait::isLoaded() {
    return s_instance != nullptr;
}

void frmRegWait::unload() {
    if (!s_instance) return;
    frmRegWait* window = s_instance;
    s_instance = nullptr;
    window->Form_Unload();
    window->hide();
    // Unloading can happen inside a handler of the window's own timer: release it later.
    window->deleteLater();
}

frmRegWait::frmRegWait() : QWidget(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint) {
    setObjectName(QStringLiteral("frmRegWait"));
    setWindowTitle(QStringLiteral("Please Wait.. "));
    setAttribute(Qt::WA_DeleteOnClose, false);
    Label1 = new QLabel(QStringLiteral("Registration in progress.."), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    QFont font = Label1->font();
    font.setPointSizeF(font.pointSizeF() * 1.3);
    font.setBold(true);
    Label1->setFont(font);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->addWidget(Label1);
    setFixedSize(380, 110);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);
    connect(Timer1, &QTimer::timeout, this, &frmRegWait::Timer1_Timer);
}

frmRegWait::~frmRegWait() {
    if (s_instance == this) s_instance = nullptr;
}

void frmRegWait::Form_Load() {
    centreOnScreen(*this);
    Timer1->start();
}

void frmRegWait::Form_Unload() {
    Timer1->stop();
}

void frmRegWait::Timer1_Timer() {
    // Centre → right → left → centre.
    const Qt::Alignment horizontal = Label1->alignment() & Qt::AlignHorizontal_Mask;
    Qt::Alignment next = Qt::AlignHCenter;
    if (horizontal == Qt::AlignHCenter)
        next = Qt::AlignRight;
    else if (horizontal == Qt::AlignRight)
        next = Qt::AlignLeft;
    Label1->setAlignment(next | Qt::AlignVCenter);
    QCoreApplication::processEvents();
}
