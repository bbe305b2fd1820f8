#include "call/rtc/RtcEvents.h"

#include "platform/vb.h"

namespace rtc {

std::shared_ptr<IRTCParticipant> ParticipantList::get_Item(long index) const {
    if (index < 1 || index > get_Count()) vb::raise(vb::kErrSubscript);
    return m_items.at(index - 1);
}

} // namespace rtc
