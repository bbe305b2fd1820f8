#pragma once
// What the fuzz targets of the client share: the offscreen application, a program folder of
// their own, and message boxes and modal dialogs that answer by themselves.
#include "FuzzSupport.h"
#include <QString>

namespace fuzz {

// Brings up the offscreen QApplication once per process.
void startGuiApp();

// Points the program folder at a temporary folder with a logs folder in it, answers every
// message box with OK and every modal dialog with Cancel, and takes the pause out of
// scrambling. Returns the folder.
QString enterProgramFolder();
// Removes what the error log has collected every so many calls, so a long run keeps the disk
// bounded while every run still writes it.
void trimLogs();
// Delivers what the input posted and deletes the windows it unloaded: outside an event loop nothing
// else would, and every input would leave its queued signals and its windows to the next one.
void finishInput();

} // namespace fuzz
