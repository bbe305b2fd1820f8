#pragma once
// The one window-manager call the program makes: the always-on-top order.
class QWidget;

namespace win32 {

// Puts a top-level window into or out of the always-on-top order without moving or resizing it.
void SetWindowTopmost(QWidget& widget, bool topmost);

} // namespace win32
