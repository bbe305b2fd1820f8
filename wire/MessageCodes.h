#pragma once
// The codes that open every request and reply on the chat wire, and the one way a request's
// text is put together. Shared by client and server.
#include <QString>
#include <QStringList>
#include <initializer_list>
#include <optional>

namespace wire {

// Append only: a number once given keeps its meaning for good, because clients and servers of
// different ages meet on the wire. Where a request and its answer share a number, one name
// stands for both.
enum class Code : int {
    LogIn = 1,                  // request: ID, e-mail (and the caller's address); reply: records
    SignOff = 2,                // request: ID
    Register = 3,               // request: user, computer, e-mail, name; reply: the new identity
    AddContact = 4,             // request: ID, e-mail; reply: the contact's record
    RemoveContact = 5,          // request: ID, contact ID; reply: the ID to take off the list
    Records = 7,                // reply: records of five fields
    Notice = 11,                // reply: records, then a notice's text and title
    DatedRecords = 77,          // the alternate server's poll and its dated records
    ServerMoved = 111,          // reply: records, then the server's new address and port
    Refused = 1957,             // reply: the server's text for a refused request
    RegistrationRefused = 1985, // reply: the server's text for a refused registration
    SignOffWithSettings = 2005, // request: ID; reply: the site lists for the settings file
    CallPaths = 40,             // request: ID, e-mail; reply: the servers and credentials calls
                                // find their way through routers with (see wire/CallPaths.h)
    NewId = 50,                 // request: ID, e-mail (over TLS only); reply: the account's new ID
    ContactRequests = 80,       // request: ID, e-mail; reply: who has not listed whom back yet
                                // (see wire/ContactRequests.h)
    IgnoreRequest = 81,         // request: ID, e-mail, handle; reply: the handle, its request hidden
};

// The code as it stands on the wire: its decimal number.
QString codeText(Code code);
// The code a text names exactly (decimal digits, nothing else), or nothing.
std::optional<Code> codeOf(QStringView text);

// One request: the code, then each field after a separator. The fields are taken as they are.
QString request(Code code, std::initializer_list<QString> fields);
// True when `message` is a request of `code`: its code, then a separator.
bool isRequest(const QString& message, Code code);

} // namespace wire
