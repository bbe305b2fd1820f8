#pragma once
// Registration with the chat server.
#include <QStringList>

namespace basMain {

// Runs the registration dialog and exchange; true when the server answered.
bool fnRegister(QStringList& arrFields);
// True while a registration request waits for the server's answer: the only time a reply may
// set the user's identity and server address.
inline bool g_blnRegistrationWaiting = false;

} // namespace basMain
