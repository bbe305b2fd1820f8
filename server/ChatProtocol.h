#pragma once
// Handling of the chat server's replies.
namespace basMain {

// Handles the complete reply in g_strMsgReceived and leaves it empty.
void fnUseMSGReceived();

} // namespace basMain
