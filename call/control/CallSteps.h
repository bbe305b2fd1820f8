#pragma once
// Small helpers the call handlers share: the engine's event seen as its kind, a missing object as
// error 91, and the "name[step]" a failure is logged under.
#include "call/rtc/Rtc.h"
#include "platform/vb.h"

#include <QString>
#include <memory>

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

} // namespace callengine
