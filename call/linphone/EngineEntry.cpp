// The entry points of the engine module (see call/rtc/EngineModule.h).
#include "call/linphone/LinphoneEngine.h"
#include "call/rtc/EngineModule.h"

#define COLLOQ_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) void

// Nothing may leave the module by a way its caller cannot see: failures are empty answers.
COLLOQ_MODULE_ENTRY colloqchat_prepare_engine() {
    try {
        rtc::LinphoneEngine::prepareProcess();
    } catch (...) { // the first engine made will try again and say what went wrong
    }
}

COLLOQ_MODULE_ENTRY colloqchat_create_engine(int interfaceVersion, std::shared_ptr<rtc::IRTCClient2>* engine) {
    if (!engine || interfaceVersion != rtc::kEngineInterfaceVersion) return;
    try {
        *engine = rtc::LinphoneEngine::create();
    } catch (...) {
        engine->reset();
    }
}
