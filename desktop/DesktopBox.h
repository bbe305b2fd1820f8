#pragma once
// The box "Desktop" of the Tools tab: whether closing the window quits the program (else it keeps
// running in the tray) and whether the program starts at login. Each click is kept at once; the
// login box always says what the desktop will do, also when its entry could not be changed.
#include <QGroupBox>

class QCheckBox;

namespace desktop {

class DesktopBox final : public QGroupBox {
public:
    explicit DesktopBox(QWidget* parent);

    QCheckBox* chkQuitOnClose;
    QCheckBox* chkStartAtLogin;
};

} // namespace desktop
