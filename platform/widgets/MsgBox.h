#pragma once
// Message boxes and modal dialogs go through these two functions, so tests can answer them
// without a person at the screen.
#include "wire/PeerText.h"

#include <QString>
#include <functional>

class QDialog;

namespace vb {

enum MsgBoxStyle : int {
    vbOKOnly = 0,
    vbOKCancel = 1,
    vbYesNo = 4,
    vbCritical = 16,
    vbQuestion = 32,
    vbExclamation = 48,
    vbInformation = 64,
};
enum MsgBoxResult : int { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

// Shows a modal message box and returns the button pressed. Text and title are shown as plain
// text, whatever they hold, and cut to what fits on a screen (see screenful); a test's handler
// gets them cut too.
int MsgBox(const QString& prompt, int buttons = vbOKOnly, const QString& title = {});
using wire::kScreenfulChars;
using wire::kScreenfulLines;
using wire::screenful;
using MsgBoxHandler = std::function<int(const QString& prompt, int buttons, const QString& title)>;
void setMsgBoxHandlerForTesting(MsgBoxHandler handler); // empty restores real boxes

// Shows a dialog modally and returns its result code.
int ShowModal(QDialog& dialog);
using ModalHandler = std::function<int(QDialog& dialog)>;
void setModalHandlerForTesting(ModalHandler handler); // empty restores real modal loops

} // namespace vb
