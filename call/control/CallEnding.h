#pragma once
// Why a call placed here ended before it was answered, in the user's words, worked out from the
// SIP status the other side or the way there sent back.
#include "core/CallActivity.h"

#include <QString>

namespace callcontrol {

// How a call placed here and not answered ended, for the final status `sipCode` (0: none came).
CallActivity::Outcome unansweredOutcome(long sipCode);
// What the status box says of it: one plain sentence.
QString endingSentence(CallActivity::Outcome outcome);

} // namespace callcontrol
