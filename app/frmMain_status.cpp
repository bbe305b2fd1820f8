// Registration, operation-complete and intensity events, shown in the status box.
#include "app/frmMain.h"
#include "call/control/CallSteps.h"
#include "call/control/MediaText.h"
#include "callui/CallView.h"
#include "core/ErrorLog.h"
#include "platform/widgets/Controls.h"

#include <QPlainTextEdit>

using namespace basMain;
using callengine::eventAs;
using callengine::required;

namespace {

const QString kCrLf = QStringLiteral("\r\n");

} // namespace

void frmMain::Receive_Event(long& RTCEvent, const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    // Each failing statement is logged under the marker reached and skipped.
    QString marker = QStringLiteral(" [0]");
    auto statement = [&marker](const char* at, auto&& body) {
        marker = QString::fromLatin1(at);
        trySkip(QStringLiteral("Receive_Event") + marker, body);
    };
    auto append = [this](const QString& text) { txtStatus->setPlainText(txtStatus->toPlainText() + text); };

    std::shared_ptr<rtc::IRTCEvent> event = pEvent;
    statement(" [0]", [this] { vb::setForeColor(*txtStatus, vb::vbBlue); });

    switch (RTCEvent) {
    case rtc::RTCE_REGISTRATION_STATE_CHANGE: {
        std::shared_ptr<rtc::IRTCRegistrationStateChangeEvent> registration;
        statement(" [2]", [&] {
            registration = eventAs<rtc::IRTCRegistrationStateChangeEvent>(event);
            txtStatus->setPlainText(QStringLiteral("REGISTRATION - Profile: ") + registration->get_ProfileName() +
                                    QStringLiteral(" ") + registration->get_ProfileUserURI() + QStringLiteral(" - "));
        });
        statement(" [3]", [&] {
            const long state = required(registration)->get_State();
            if (state == rtc::RTCRS_ERROR) vb::setForeColor(*txtStatus, vb::vbRed);
            append(callcontrol::registrationText(state, registration->get_StatusCode()));
        });
        statement(" [3]", [&] {
            append(kCrLf + QStringLiteral("Staus Code: ") +
                   callcontrol::statusCodeText(required(registration)->get_StatusCode()));
        });
        break;
    }
    case rtc::RTCE_SESSION_OPERATION_COMPLETE: {
        std::shared_ptr<rtc::IRTCSessionOperationCompleteEvent> operation;
        statement(" [4]", [&] { operation = eventAs<rtc::IRTCSessionOperationCompleteEvent>(event); });
        statement(" [5]", [&] {
            const auto& complete = *required(operation);
            // The plain words of how the last call ended stay above the engine's own.
            const QString& ending = m_callView->ending();
            if (m_callView->failed()) vb::setForeColor(*txtStatus, vb::vbRed);
            txtStatus->setPlainText((ending.isEmpty() ? QString() : ending + kCrLf) +
                                    QStringLiteral("SESSION Operation complete: ") + complete.get_StatusText() +
                                    QStringLiteral("Staus Code: ") +
                                    callcontrol::statusCodeText(complete.get_StatusCode()));
        });
        break;
    }
    case rtc::RTCE_INTENSITY:
        statement(" [8]", [] {});
        statement(" [9]", [] {}); // the level is not shown
        break;
    default:
        break;
    }

    statement(" [15]", [&event] { event.reset(); });
}
