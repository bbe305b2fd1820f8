#include "callui/CallView.h"

#include "call/control/CallController.h"
#include "call/control/CallEnding.h"
#include "call/control/CallTiming.h"
#include "callui/CallStatusBar.h"
#include "callui/VideoCaptions.h"

#include <QGroupBox>
#include <QLayout>

CallView::CallView(QGroupBox* statusBox, QWidget* pictureSent, QWidget* pictureReceived,
                   const callcontrol::CallController& calls, QObject* parent)
    : QObject(parent), m_calls(calls), m_bar(new CallStatusBar(statusBox)),
      m_captions(new VideoCaptions(pictureSent, pictureReceived)) {
    statusBox->layout()->addWidget(m_bar);
}

void CallView::follow(const CallActivity& activity) {
    switch (activity.phase) {
    case CallActivity::Phase::Connected:
        m_bar->callConnected(activity.call, [this] {
            return m_calls.session ? m_calls.session->get_CallFigures() : rtc::CallFigures{};
        });
        m_captions->callConnected(activity.name);
        return;
    case CallActivity::Phase::Ended: {
        // A call turned away while another runs ends on its own and changes nothing here.
        const qint64 seconds = m_bar->callEnded(activity.call);
        if (activity.outcome == CallActivity::Outcome::Answered && seconds >= 0) {
            m_captions->callEnded();
            m_ending = QStringLiteral("Call ended after ") + callcontrol::durationText(seconds) + QLatin1Char('.');
            m_failed = false;
        } else if (!activity.incoming) {
            m_ending = callcontrol::endingSentence(activity.outcome);
            m_failed = !m_ending.isEmpty();
        }
        return;
    }
    default:
        m_ending.clear();
        m_failed = false;
    }
}
