#pragma once
// The start-up loader: who the user is and which chat server to talk to.
namespace basMain {

// Shows the wait window, chooses the chat-server address and port, and either prepares the
// log-in request from RTC_Chat.kvo or runs the registration. False: start-up cannot go on.
bool fnFillcall();
// True when the last fnFillcall failed because the user closed the registration form: the
// program then ends quietly instead of reporting a failed start.
extern bool g_blnRegistrationCancelled;

} // namespace basMain
