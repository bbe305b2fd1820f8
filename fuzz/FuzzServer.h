#pragma once
// The chat server's fuzz targets share one service over a SQLite store in a temporary folder.
#include "FuzzSupport.h"
#include "chatserver/ChatService.h"

namespace fuzz {

// The service, made on first use. Users 1, 2 and 3 (ann@example.org, bob@example.org,
// cy@example.org) have logged in from 127.0.0.1, .2 and .3 at port 5060 and list each other as
// contacts; a notice waits for user 2. Its clock moves on by one second every call of tick().
chatserver::ChatService& chatService();
void tick();

// One of the three users' network addresses, or a fourth that nobody logged in from.
QString peerFor(unsigned selector);

} // namespace fuzz
