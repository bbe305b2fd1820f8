#include "platform/widgets/StayOnTop.h"

#include <QWidget>

namespace win32 {

void SetWindowTopmost(QWidget& widget, bool topmost) {
    QWidget& window = *widget.window();
    if (window.windowFlags().testFlag(Qt::WindowStaysOnTopHint) == topmost) return;
    // Changing the flags re-creates the native window, which hides it; keep its place and size
    // and show it again if it was shown.
    const bool wasVisible = window.isVisible();
    const QRect geometry = window.geometry();
    window.setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
    window.setGeometry(geometry);
    if (wasVisible) window.show();
}

} // namespace win32
