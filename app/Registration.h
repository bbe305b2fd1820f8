#pragma once
// Registration with the chat server.
#include <QStringList>

namespace basMain {

// Runs the registration dialog and exchange; true once the server has accepted the registration.
// A refusal (the address is taken, say) brings the form back with the server's text and what the
// user typed, until the server accepts, the user cancels, or the server does not answer.
bool fnRegister(QStringList& arrFields);

} // namespace basMain
