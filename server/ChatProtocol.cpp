#include "server/ChatProtocol.h"

#include "app/basMain.h"

namespace basMain {

void fnUseMSGReceived() { g_strMsgReceived.clear(); }

} // namespace basMain
