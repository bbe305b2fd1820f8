#pragma once
#include <QString>

class frmMain;

// The main window through a call with Bob, as the user sees it: the timer and quality under the
// status box while connected, on a machine without sound and with no video from Bob; how long the
// call lasted once it ended; the question before calling a contact shown Off. The pictures go into
// `folder`.
bool callViewPictures(frmMain& form, const QString& folder);
