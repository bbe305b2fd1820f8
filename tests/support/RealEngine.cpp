// Built into the test programs that run the real call engine: it is installed as the engine
// factory before any test starts, as the program installs it before its window comes up.
#include "call/linphone/LinphoneEngine.h"

namespace {
const bool s_installed = [] {
    rtc::setClientFactory(rtc::LinphoneEngine::create);
    return true;
}();
} // namespace
