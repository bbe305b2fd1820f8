#pragma once
// Web lookups: the hand-built HTTP GET, address discovery and the alternate server.
#include <QString>

namespace basMain {

// The chat server's current address as published by the redirect sites, or empty text.
QString fnGetHomeIP();
// Carries the pending request in g_strMsgToSend over the alternate server's web pages.
void fnUseAlternateSRV();

} // namespace basMain
