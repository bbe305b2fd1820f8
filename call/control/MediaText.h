#pragma once
// What the status box says of an event of a call's media: which stream ("VIDEO_RECEIVE: ") and
// why it stopped, failed or was started again; and of the profile's registration.
#include <QString>

namespace callcontrol {

// The text for an event of `eventType` (RTC_MEDIA_EVENT_TYPE) on a stream of `mediaType` for
// `reason` (RTC_MEDIA_EVENT_REASON); empty when the event says nothing to the user.
QString mediaStatusText(long eventType, long mediaType, long reason);

// A status code of the engine (a 32-bit result), shown signed.
QString statusCodeText(long code);
// What the status box adds of the profile's registration in `state` (RTC_REGISTRATION_STATE);
// empty for a state it does not tell.
QString registrationText(long state, long statusCode);

} // namespace callcontrol
