#pragma once
// The pictures of the call states, drawn here (a handset on a disc of the state's colour): the
// tray icon shows them, and the notification of a ringing call carries the ringing one.
#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace desktop {

enum class CallState { Idle, Ringing, InCall };

QColor stateColour(CallState state);
QPixmap statePicture(CallState state, int size);
QIcon stateIcon(CallState state);

} // namespace desktop
