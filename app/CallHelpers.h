#pragma once
// Small helpers the call handlers of the main window share.
#include "call/control/CallSteps.h"
#include "core/CallerIdentity.h"

#include <QList>

namespace vb {
class ListView;
}

namespace callengine {

// The rows of the contact list, as the caller of an incoming call is matched against them.
QList<basMain::ContactEntry> contactEntries(const vb::ListView& list);

// The least length of one pass of the ringing loop (10 ms); tests shorten it so that the full
// count of passes runs quickly. A negative value restores the default.
void setRingPassMsForTesting(int milliseconds);

} // namespace callengine
