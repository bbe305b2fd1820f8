#pragma once
// Handling of the chat server's replies: the user list, the status box, the registration state
// and the two settings files.
namespace basMain {

// Handles the complete reply in g_strMsgReceived ("code" Ô field Ô field ...) and leaves it
// empty. Never raises: a failure is logged as "fnUseMSGReceived[mark]" and what the reply had
// already changed stays changed. Afterwards a non-empty user list is sorted descending by its
// "Status" column.
void fnUseMSGReceived();

} // namespace basMain
