#pragma once
// What the fuzz targets of the chat server share: one service over a SQLite store in a
// temporary folder, with users already there for the requests to find.
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
