// Registration, operation-complete and intensity events, shown in the status box.
#include "app/CallHelpers.h"
#include "app/frmMain.h"
#include "core/ErrorLog.h"
#include "platform/widgets/Controls.h"

#include <QPlainTextEdit>

using namespace basMain;
using callengine::eventAs;
using callengine::required;

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// Status codes are 32-bit results, shown signed.
QString codeText(long code) {
    return QString::number(static_cast<qint32>(code));
}

QString registrationText(long state, long statusCode) {
    switch (state) {
    case rtc::RTCRS_NOT_REGISTERED:
        return QStringLiteral("The profile is not registered.");
    case rtc::RTCRS_REGISTERING:
        return QStringLiteral("The profile is registering");
    case rtc::RTCRS_REGISTERED:
        return QStringLiteral("The profile is registered");
    case rtc::RTCRS_REJECTED:
        return QStringLiteral("The profile has been rejected.") + QStringLiteral("Status Code: ") +
               codeText(statusCode);
    case rtc::RTCRS_UNREGISTERING:
        return QStringLiteral("The profile is unregistering");
    case rtc::RTCRS_ERROR:
        return QStringLiteral("There has been an error registering the profile.");
    case rtc::RTCRS_LOGGED_OFF:
        return QStringLiteral("The server has removed the registration for this profile.") + kCrLf +
               QStringLiteral("Incoming requests are no longer forwarded. One of the common reasons for this state is "
                              "the") +
               kCrLf +
               QStringLiteral("user signing in with the SIP server from another device using the same user URI.");
    case rtc::RTCRS_LOCAL_PA_LOGGED_OFF:
        return QStringLiteral("The server has revoked the status as a presence agent") + kCrLf +
               QStringLiteral("for this user. Incoming presence subscriptions are no longer forwarded and our "
                              "presence") +
               kCrLf + QStringLiteral("status is no longer visible to others from this client.");
    case rtc::RTCRS_REMOTE_PA_LOGGED_OFF:
        return QStringLiteral("The client that was the presence agent for this user") + kCrLf +
               QStringLiteral("has logged off. It may be possible to register as a presence agent from this client");
    default:
        return {};
    }
}

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
            append(registrationText(state, registration->get_StatusCode()));
        });
        statement(" [3]", [&] {
            append(kCrLf + QStringLiteral("Staus Code: ") + codeText(required(registration)->get_StatusCode()));
        });
        break;
    }
    case rtc::RTCE_SESSION_OPERATION_COMPLETE: {
        std::shared_ptr<rtc::IRTCSessionOperationCompleteEvent> operation;
        statement(" [4]", [&] { operation = eventAs<rtc::IRTCSessionOperationCompleteEvent>(event); });
        statement(" [5]", [&] {
            const auto& complete = *required(operation);
            // The plain words of how the last call ended stay above the engine's own.
            if (m_callFailed) vb::setForeColor(*txtStatus, vb::vbRed);
            txtStatus->setPlainText((m_callEnding.isEmpty() ? QString() : m_callEnding + kCrLf) +
                                    QStringLiteral("SESSION Operation complete: ") + complete.get_StatusText() +
                                    QStringLiteral("Staus Code: ") + codeText(complete.get_StatusCode()));
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
