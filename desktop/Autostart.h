#pragma once
// Start at login, as desktops that follow the XDG autostart rules do it: an entry
// colloqchat.desktop in $XDG_CONFIG_HOME/autostart (~/.config/autostart when that is unset) whose
// Exec line runs this program. Present: the program starts when the user logs in; absent: not.
#include <QString>

namespace desktop {

QString autostartFilePath();
// Whether the entry is there and not switched off by the desktop's own settings (Hidden=true).
bool startsAtLogin();
// Writes the entry for `program` (replacing it whole, so a crash leaves the old one or the new) or
// removes it. Raises a vb::VbError 75 "Path/File access error" when that fails.
void setStartAtLogin(bool on, const QString& program);
// `program` as the Exec key of a desktop entry takes it: quoted where it must be, with its
// characters escaped for the quoting and then for the entry's string syntax.
QString execLine(const QString& program);

} // namespace desktop
