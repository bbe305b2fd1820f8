#pragma once
// Handling of the chat server's replies: the user list, the status box, the registration state
// and the two settings files.
#include <QString>

namespace basMain {

// The code of the request the current chat connection carried ("" for none). A reply changes a
// settings file only in answer to the request that asks for it.
inline QString g_strAnsweredRequest;

// Handles the complete reply in g_strMsgReceived ("code" Ô field Ô field ...) and leaves it
// empty. Never raises: a failure is logged as "fnUseMSGReceived[mark]" and what the reply had
// already changed stays changed. Afterwards a non-empty user list is sorted descending by its
// "Status" column. Replies that would rewrite a settings file unasked are logged and left
// unapplied: reply 3 outside a registration's wait, reply 2005 to anything but request 2005,
// and reply 111 whose address is not a dotted IPv4 address with a port of 1 to 65534.
void fnUseMSGReceived();

} // namespace basMain
