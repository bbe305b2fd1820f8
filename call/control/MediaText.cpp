#include "call/control/MediaText.h"

#include "call/rtc/Rtc.h"

namespace callcontrol {

namespace {

QString mediaName(long mediaType) {
    switch (mediaType) {
    case rtc::RTCMT_AUDIO_SEND:
        return QStringLiteral("AUDIO_SEND");
    case rtc::RTCMT_AUDIO_RECEIVE:
        return QStringLiteral("AUDIO_RECEIVE");
    case rtc::RTCMT_VIDEO_SEND:
        return QStringLiteral("VIDEO_SEND");
    case rtc::RTCMT_VIDEO_RECEIVE:
        return QStringLiteral("VIDEO_RECEIVE");
    default:
        return QStringLiteral("[ ") + QString::number(mediaType) + QStringLiteral(" ]");
    }
}

QString reasonText(long reason) {
    const QString crlf = QStringLiteral("\r\n");
    switch (reason) {
    case rtc::RTCMER_HOLD:
        return QStringLiteral("The stream was stopped/resumed as a result of the") + crlf +
               QStringLiteral("remote party putting the call on hold/resuming it from hold.");
    case rtc::RTCMER_TIMEOUT:
        return QStringLiteral("A timeout has caused the stream to stop.");
    case rtc::RTCMER_BAD_DEVICE:
        return QStringLiteral("The stream failed to start because the device was bad or in use.");
    case rtc::RTCMER_NO_PORT:
        return QStringLiteral("The stream failed to start because a port was unavailable.");
    case rtc::RTCMER_PORTMAPPING_FAILED:
        return QStringLiteral("The stream failed to start because a port could not be mapped.");
    case rtc::RTCMER_REMOTE_REQUEST:
        return QStringLiteral("The media event is due to a request from the remote client.");
    default:
        return {};
    }
}

} // namespace

QString mediaStatusText(long eventType, long mediaType, long reason) {
    const QString prefix = mediaName(mediaType) + QStringLiteral(": ");
    // The reason, when it has a text, says more than that the stream failed.
    const QString why = reasonText(reason);
    if (!why.isEmpty()) return prefix + why;
    if (eventType == rtc::RTCMET_FAILED) return prefix + QStringLiteral("The media stream has failed.");
    return {};
}

// Status codes are 32-bit results, shown signed.
QString statusCodeText(long code) {
    return QString::number(static_cast<qint32>(code));
}

QString registrationText(long state, long statusCode) {
    const QString crlf = QStringLiteral("\r\n");
    switch (state) {
    case rtc::RTCRS_NOT_REGISTERED:
        return QStringLiteral("The profile is not registered.");
    case rtc::RTCRS_REGISTERING:
        return QStringLiteral("The profile is registering");
    case rtc::RTCRS_REGISTERED:
        return QStringLiteral("The profile is registered");
    case rtc::RTCRS_REJECTED:
        return QStringLiteral("The profile has been rejected.") + QStringLiteral("Status Code: ") +
               statusCodeText(statusCode);
    case rtc::RTCRS_UNREGISTERING:
        return QStringLiteral("The profile is unregistering");
    case rtc::RTCRS_ERROR:
        return QStringLiteral("There has been an error registering the profile.");
    case rtc::RTCRS_LOGGED_OFF:
        return QStringLiteral("The server has removed the registration for this profile.") + crlf +
               QStringLiteral("Incoming requests are no longer forwarded. One of the common reasons for this state is "
                              "the") +
               crlf +
               QStringLiteral("user signing in with the SIP server from another device using the same user URI.");
    case rtc::RTCRS_LOCAL_PA_LOGGED_OFF:
        return QStringLiteral("The server has revoked the status as a presence agent") + crlf +
               QStringLiteral("for this user. Incoming presence subscriptions are no longer forwarded and our "
                              "presence") +
               crlf + QStringLiteral("status is no longer visible to others from this client.");
    case rtc::RTCRS_REMOTE_PA_LOGGED_OFF:
        return QStringLiteral("The client that was the presence agent for this user") + crlf +
               QStringLiteral("has logged off. It may be possible to register as a presence agent from this client");
    default:
        return {};
    }
}

} // namespace callcontrol
