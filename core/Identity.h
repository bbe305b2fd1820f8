#pragma once
// Who the user is to the chat server and to the people they call: the ID the server gave, the
// e-mail address and display name registered, and the chat server that holds the account. One
// value, kept by the window and changed only by start-up and the server's replies; the settings
// files store it (core/SettingsFiles).
#include <QString>

namespace basMain {

struct Identity {
    QString userId = {}; // empty until a registration is accepted
    QString email = {};
    QString displayName = {};
    QString serverIp = {};
    QString serverPort = {};

    bool registered() const { return !userId.isEmpty(); }
    bool operator==(const Identity&) const = default;
};

} // namespace basMain
