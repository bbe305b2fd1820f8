#pragma once
// Small helpers the call handlers of the main window share.
#include "call/rtc/Rtc.h"
#include "core/CallerIdentity.h"
#include "platform/vb.h"

#include <QString>
#include <memory>

namespace vb {
class ListView;
}

namespace callengine {

// The event viewed as the interface its kind promises: 91 when there is no event object,
// 13 "Type mismatch" when it is of another kind.
template <class Interface> std::shared_ptr<Interface> eventAs(const std::shared_ptr<rtc::IRTCEvent>& event) {
    if (!event) vb::raise(vb::kErrObjectNotSet);
    auto typed = std::dynamic_pointer_cast<Interface>(event);
    if (!typed) vb::raise(vb::kErrTypeMismatch);
    return typed;
}

// "name[step]", the way the call handlers name a failure in the error log.
inline QString stepName(const char* procedure, int step) {
    return QString::fromLatin1(procedure) + QLatin1Char('[') + QString::number(step) + QLatin1Char(']');
}

// An object the handler needs is missing: error 91.
template <class Pointer> Pointer& required(Pointer& object) {
    if (!object) vb::raise(vb::kErrObjectNotSet);
    return object;
}

// The rows of the contact list, as the caller of an incoming call is matched against them.
QList<basMain::ContactEntry> contactEntries(const vb::ListView& list);

// The least length of one pass of the ringing loop (10 ms); tests shorten it so that the full
// count of passes runs quickly. A negative value restores the default.
void setRingPassMsForTesting(int milliseconds);

} // namespace callengine
