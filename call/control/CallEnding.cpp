#include "call/control/CallEnding.h"

namespace callcontrol {

using Outcome = CallActivity::Outcome;

CallActivity::Outcome unansweredOutcome(long sipCode) {
    switch (sipCode) {
    case 603: // Decline
        return Outcome::Declined;
    case 486: // Busy Here
    case 600: // Busy Everywhere: do not disturb
        return Outcome::Busy;
    case 480: // Temporarily Unavailable: the ring timed out there
        return Outcome::Unanswered;
    case 404: // nobody of that name there, or gone
    case 408: // nothing answered in time (the engine gives up on a silent address with it too)
    case 410:
    case 503: // the way there is closed
    case 504:
        return Outcome::Unreachable;
    default:
        return Outcome::NetworkError;
    }
}

QString endingSentence(CallActivity::Outcome outcome) {
    switch (outcome) {
    case Outcome::Declined:
        return QStringLiteral("The call was declined.");
    case Outcome::Busy:
        return QStringLiteral("The other party is busy. Try again later.");
    case Outcome::Unanswered:
        return QStringLiteral("No answer: the other party did not pick up.");
    case Outcome::Unreachable:
        return QStringLiteral("The other party is unreachable: nothing answers at their address. They may have quit.");
    case Outcome::NetworkError:
        return QStringLiteral("The call failed: network error.");
    default:
        return {};
    }
}

} // namespace callcontrol
