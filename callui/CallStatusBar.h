#pragma once
// Under the status box while a call runs: how long it has been connected, counted on a timer of
// its own against the program's clock, and whether it fares well by the engine's figures
// ("good" or "poor", the figures on hover). Beside them, for as long as it holds, the plain word
// that this machine has no microphone or no speaker.
#include "call/rtc/Rtc.h"

#include <QDateTime>
#include <QWidget>
#include <functional>

class QLabel;
class QTimer;

class CallStatusBar final : public QWidget {
    Q_OBJECT
public:
    using Figures = std::function<rtc::CallFigures()>;

    explicit CallStatusBar(QWidget* parent = nullptr);

    QLabel* lblCallTime = nullptr;    // "In call: 1:23"
    QLabel* lblCallQuality = nullptr; // "Quality: good" / "Quality: poor"
    QLabel* lblNoSound = nullptr;     // what sound this machine cannot give or take

    // Call number `call` has connected: the timer starts at 0:00; `figures` gives how it fares now.
    void callConnected(quint64 call, Figures figures);
    // Call number `call` has ended: if it is the one shown, the timer and the indicator go. How
    // long it was connected, in seconds, or -1 when it never was (or is not the one shown).
    qint64 callEnded(quint64 call);
    // Looks at the clock and the figures again (the timer does so every second).
    void refresh();
    // What the engine found: without a microphone or a speaker a call connects all the same,
    // and the user must know why nobody hears them or they hear nothing.
    void setSoundDevices(bool microphone, bool speaker);

private:
    // Shown only while one of its labels has something to say.
    void showWhatThereIs();
    QTimer* m_tick = nullptr;
    Figures m_figures;
    QDateTime m_connectedAt;
    quint64 m_call = 0;
};
