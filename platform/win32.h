#pragma once
// Stand-ins for the few operating-system calls the program makes directly.
#include <QString>
#include <optional>

namespace win32 {

void Sleep(unsigned milliseconds);
// The machine's host name, or nothing when the system does not tell.
std::optional<QString> GetComputerName();
// The name of the account the program runs under, or nothing.
std::optional<QString> GetUserName();
// True when at least one file or folder matches the path; its last part may hold * and ?.
bool FindFirstFile(const QString& pathOrPattern);

} // namespace win32
