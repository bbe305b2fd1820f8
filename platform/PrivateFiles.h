#pragma once
// The client's files hold the user's identity (the ID and e-mail address are the whole
// credential), their calls and their contacts: every file it writes is readable by the user
// alone (0600), and every folder it makes for them is the user's alone (0700).
#include <QString>

namespace privatefiles {

// Permissions of a file the client writes, and of a folder it makes.
inline constexpr unsigned kFileMode = 0600;
inline constexpr unsigned kFolderMode = 0700;

// Makes the folder (and its missing parents, each the user's alone) and narrows the folder
// itself to 0700. False when it cannot be made.
bool makeFolder(const QString& path);
// Narrows an existing folder or file to 0700 / 0600; nothing happens to one that does not exist.
// False when the change was refused (another user's file, a read-only file system).
bool narrowFolder(const QString& path);
bool narrowFile(const QString& path);
// Creates the file empty with 0600 unless it exists, and narrows it when it does, so that what
// another library creates beside it with the file's own mode (SQLite's journals) is private too.
bool prepareFile(const QString& path);

// Files made from now on by this process get no permissions for group or others: a library
// writing files of its own (the call engine's, SQLite's) cannot leave one readable by others.
void restrictNewFiles();

} // namespace privatefiles
