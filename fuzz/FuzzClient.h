#pragma once
// What the fuzz targets of the client share: the offscreen application, a program folder of
// their own, and message boxes and modal dialogs that answer by themselves.
#include "FuzzSupport.h"
#include "wire/SettingsFile.h"

class QWidget;

namespace fuzz {

// Brings up the offscreen QApplication once per process.
void startGuiApp();

// Points the program folder at a temporary folder with a logs folder in it, answers every
// message box with OK and every modal dialog with Cancel, and takes the pause out of
// scrambling. Returns the folder.
QString enterProgramFolder();
// The start of the targets that read settings files and need no windows: the core application
// and a program folder of their own.
int startSettingsTarget();
// Lays every character of the code page out in the fonts of `root` and its children, once.
void warmGlyphCaches(const QWidget& root);
// Removes what the error log has collected every so many calls, so a long run keeps the disk
// bounded while every run still writes it.
void trimLogs();
// Delivers what the input posted and deletes the windows it unloaded: outside an event loop nothing
// else would, and every input would leave its queued signals and its windows to the next one.
void finishInput();

// Writes a settings file the way the program does: the plain text scrambled, one byte per
// character.
void writeScrambledFile(const QString& path, const QString& plain);
// Checks that the three site tables hold exactly the records of types 0, 1 and 2, in file
// order, as the loader fills them.
void checkSiteTables(const QList<wire::SiteRecord>& records, const char* what);

} // namespace fuzz
