#pragma once
// What the user sees of a call beside the engine's own words: under the status box the call's
// timer, how it fares, and the word that there is no sound to be had on this machine; on the
// picture boxes whose picture each is; and, once a call is over, how it ended.
#include "core/CallActivity.h"

#include <QObject>
#include <QString>

class QGroupBox;
class QWidget;
class CallStatusBar;
class VideoCaptions;
namespace callcontrol {
class CallController;
}

class CallView final : public QObject {
public:
    // The bar goes at the foot of `statusBox`, the names on the two picture boxes.
    CallView(QGroupBox* statusBox, QWidget* pictureSent, QWidget* pictureReceived,
             const callcontrol::CallController& calls, QObject* parent);

    CallStatusBar* statusBar() const { return m_bar; }
    VideoCaptions* captions() const { return m_captions; }

    void follow(const CallActivity& activity);
    // Why the last call placed here ended unanswered, or how long the last call lasted, in plain
    // words; the status box keeps it above what the engine reports next. Empty once another call
    // starts. Shown in red when the call failed.
    const QString& ending() const { return m_ending; }
    bool failed() const { return m_failed; }

private:
    const callcontrol::CallController& m_calls;
    CallStatusBar* m_bar;
    VideoCaptions* m_captions;
    QString m_ending;
    bool m_failed = false;
};
