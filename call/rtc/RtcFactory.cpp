#include "call/rtc/LinphoneEngine.h"
#include "call/rtc/Rtc.h"

namespace rtc {

namespace {
ClientFactory& testFactory() {
    static ClientFactory factory;
    return factory;
}
} // namespace

std::shared_ptr<IRTCClient2> CreateRTCClient() {
    if (const ClientFactory& factory = testFactory()) return factory();
    return LinphoneEngine::create();
}

void setClientFactoryForTesting(ClientFactory factory) {
    testFactory() = std::move(factory);
}

} // namespace rtc
