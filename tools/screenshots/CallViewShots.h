#pragma once
#include <QString>
#include <functional>

class QWidget;
class frmMain;

// The main window through a call with Bob, as the user sees it: the timer and quality under the
// status box while connected, how long the call lasted once it ended. `save` keeps one picture.
using SaveShot = std::function<bool(QWidget& window, const char* name)>;
bool callViewPictures(frmMain& form, const SaveShot& save);
