#pragma once
// The start-up loader: who the user is and which chat server to talk to.
namespace basMain {

// Shows the wait window, chooses the chat-server address and port, and either prepares the
// log-in request from RTC_Chat.kvo or runs the registration. False: start-up cannot go on.
bool fnFillcall();

} // namespace basMain
