#include "call/rtc/Rtc.h"

namespace rtc {

namespace {
ClientFactory& installedFactory() {
    static ClientFactory factory;
    return factory;
}
} // namespace

std::shared_ptr<IRTCClient2> CreateRTCClient() {
    if (const ClientFactory& factory = installedFactory()) return factory();
    return nullptr;
}

void setClientFactory(ClientFactory factory) {
    installedFactory() = std::move(factory);
}

} // namespace rtc
