#pragma once
// Registration with the chat server.
#include <QStringList>

namespace basMain {

// Runs the registration dialog and exchange; true when the server answered.
bool fnRegister(QStringList& arrFields);

} // namespace basMain
