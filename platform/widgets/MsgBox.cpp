#include "platform/widgets/MsgBox.h"

#include "platform/vb.h"

#include <QDialog>
#include <QMessageBox>

namespace vb {

namespace {

MsgBoxHandler& msgBoxHandler() {
    static MsgBoxHandler handler;
    return handler;
}

ModalHandler& modalHandler() {
    static ModalHandler handler;
    return handler;
}

// The button sets of the low three bits of the style.
QMessageBox::StandardButtons buttonsOf(int style) {
    switch (style & 0x7) {
    case 1:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case 2:
        return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    case 3:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case 4:
        return QMessageBox::Yes | QMessageBox::No;
    case 5:
        return QMessageBox::Retry | QMessageBox::Cancel;
    default:
        return QMessageBox::Ok;
    }
}

QMessageBox::Icon iconOf(int style) {
    switch (style & 0x70) {
    case vbCritical:
        return QMessageBox::Critical;
    case vbQuestion:
        return QMessageBox::Question;
    case vbExclamation:
        return QMessageBox::Warning;
    case vbInformation:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int resultOf(int clicked) {
    switch (clicked) {
    case QMessageBox::Ok:
        return vbOK;
    case QMessageBox::Cancel:
        return vbCancel;
    case QMessageBox::Abort:
        return 3;
    case QMessageBox::Retry:
        return 4;
    case QMessageBox::Ignore:
        return 5;
    case QMessageBox::Yes:
        return vbYes;
    case QMessageBox::No:
        return vbNo;
    default:
        return vbCancel;
    }
}

} // namespace

int MsgBox(const QString& fullPrompt, int buttons, const QString& fullTitle) {
    // A box taller than the screen hides its buttons, and laying out megabytes keeps the window
    // busy for seconds: texts from the network can be any size.
    const QString prompt = screenful(fullPrompt);
    const QString title = screenful(fullTitle);
    if (msgBoxHandler()) return msgBoxHandler()(prompt, buttons, title);

    QMessageBox box(iconOf(buttons), title.isEmpty() ? kDefaultSource : title, QString(), buttonsOf(buttons));
    // Never rich text: a server's notice must not bring links, images or files along.
    box.setTextFormat(Qt::PlainText);
    box.setText(prompt);
    // Default button: the first unless the style names the second (256) or third (512).
    const int defaultIndex = (buttons & 0x300) >> 8;
    const QMessageBox::StandardButton order[] = {QMessageBox::Ok,    QMessageBox::Yes,   QMessageBox::No,
                                                 QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore,
                                                 QMessageBox::Cancel};
    QList<QMessageBox::StandardButton> present;
    for (QMessageBox::StandardButton b : order)
        if (buttonsOf(buttons) & b) present.append(b);
    if (defaultIndex < present.size()) box.setDefaultButton(present[defaultIndex]);
    const int clicked = box.exec();
    return resultOf(clicked);
}

void setMsgBoxHandlerForTesting(MsgBoxHandler handler) {
    msgBoxHandler() = std::move(handler);
}

int ShowModal(QDialog& dialog) {
    if (modalHandler()) return modalHandler()(dialog);
    return dialog.exec();
}

void setModalHandlerForTesting(ModalHandler handler) {
    modalHandler() = std::move(handler);
}

} // namespace vb
