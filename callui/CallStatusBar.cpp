#include "callui/CallStatusBar.h"

#include "call/control/CallTiming.h"
#include "callui/Labels.h"
#include "platform/vb.h"

#include <QHBoxLayout>
#include <QTimer>

namespace {

constexpr int kTickMs = 1000;

} // namespace

CallStatusBar::CallStatusBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("barCallStatus"));
    lblCallTime = callui::hiddenLabel(this, "lblCallTime");
    lblCallQuality = callui::hiddenLabel(this, "lblCallQuality");
    lblNoSound = callui::hiddenLabel(this, "lblNoSound");
    lblNoSound->setWordWrap(true);
    lblNoSound->setStyleSheet(QStringLiteral("color: #a05a00;"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(lblCallTime);
    row->addWidget(lblCallQuality);
    row->addWidget(lblNoSound, 1);
    row->addStretch();
    m_tick = new QTimer(this);
    m_tick->setInterval(kTickMs);
    connect(m_tick, &QTimer::timeout, this, &CallStatusBar::refresh);
    hide(); // nothing to say yet: the status box keeps the room
}

void CallStatusBar::showWhatThereIs() {
    setVisible(!lblCallTime->isHidden() || !lblNoSound->isHidden());
}

void CallStatusBar::callConnected(quint64 call, Figures figures) {
    m_call = call;
    m_figures = std::move(figures);
    m_connectedAt = vb::Now();
    lblCallTime->show();
    m_tick->start();
    refresh();
    showWhatThereIs();
}

qint64 CallStatusBar::callEnded(quint64 call) {
    // A call turned away while this one runs ends on its own.
    if (call != m_call) return -1;
    m_call = 0;
    m_tick->stop();
    lblCallTime->hide();
    lblCallQuality->hide();
    showWhatThereIs();
    m_figures = nullptr;
    if (!m_connectedAt.isValid()) return -1;
    const qint64 seconds = m_connectedAt.secsTo(vb::Now());
    m_connectedAt = {};
    return std::max<qint64>(seconds, 0);
}

void CallStatusBar::refresh() {
    if (!m_connectedAt.isValid()) return;
    lblCallTime->setText(QStringLiteral("In call: ") + callcontrol::durationText(m_connectedAt.secsTo(vb::Now())));
    rtc::CallFigures figures;
    try {
        if (m_figures) figures = m_figures();
    } catch (const std::exception&) {
        // The session is going: nothing more to tell of it.
    }
    const callcontrol::CallQuality quality = callcontrol::qualityOf(figures);
    lblCallQuality->setVisible(quality != callcontrol::CallQuality::Unknown);
    const bool good = quality == callcontrol::CallQuality::Good;
    lblCallQuality->setText(good ? QStringLiteral("Quality: good") : QStringLiteral("Quality: poor"));
    lblCallQuality->setStyleSheet(good ? QStringLiteral("color: #1b7a1b;") : QStringLiteral("color: #b00000;"));
    lblCallQuality->setToolTip(callcontrol::figuresText(figures));
}

void CallStatusBar::setSoundDevices(bool microphone, bool speaker) {
    QString notice;
    if (!microphone && !speaker)
        notice = QStringLiteral("No microphone and no speaker found: calls connect, but nobody hears anybody.");
    else if (!microphone)
        notice = QStringLiteral("No microphone found: calls connect, but the other party cannot hear you.");
    else if (!speaker)
        notice = QStringLiteral("No speaker found: calls connect, but you cannot hear the other party.");
    lblNoSound->setText(notice);
    lblNoSound->setVisible(!notice.isEmpty());
    showWhatThereIs();
}
