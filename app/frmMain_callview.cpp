// What the user sees of a call beside the engine's own words: under the status box the call's
// timer, how it fares, and the word that there is no sound to be had on this machine; on the
// picture boxes whose picture each is; and, once a call is over, how it ended.
#include "app/frmMain.h"
#include "call/control/CallEnding.h"
#include "call/control/CallTiming.h"
#include "callui/CallStatusBar.h"
#include "callui/VideoCaptions.h"

#include <QGroupBox>
#include <QLayout>

void frmMain::addCallView() {
    barCallStatus = new CallStatusBar(fraStatus);
    fraStatus->layout()->addWidget(barCallStatus);
    captionsVideo = new VideoCaptions(picVideoS, picVideoR);
}

void frmMain::showCallActivity(const CallActivity& activity) {
    switch (activity.phase) {
    case CallActivity::Phase::Connected:
        barCallStatus->callConnected(
            activity.call, [this] { return g_objSession ? g_objSession->get_CallFigures() : rtc::CallFigures{}; });
        captionsVideo->callConnected(activity.name);
        return;
    case CallActivity::Phase::Ended: {
        // A call turned away while another runs ends on its own and changes nothing here.
        const qint64 seconds = barCallStatus->callEnded(activity.call);
        if (activity.outcome == CallActivity::Outcome::Answered && seconds >= 0) {
            captionsVideo->callEnded();
            m_callEnding = QStringLiteral("Call ended after ") + callcontrol::durationText(seconds) + QLatin1Char('.');
            m_callFailed = false;
        } else if (!activity.incoming) {
            m_callEnding = callcontrol::endingSentence(activity.outcome);
            m_callFailed = !m_callEnding.isEmpty();
        }
        return;
    }
    default:
        m_callEnding.clear();
        m_callFailed = false;
    }
}
