#include "desktop/DesktopBox.h"

#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "desktop/Autostart.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QVBoxLayout>

using namespace basMain;

namespace desktop {

DesktopBox::DesktopBox(QWidget* parent)
    : QGroupBox(QStringLiteral("Desktop"), parent),
      chkQuitOnClose(new QCheckBox(QStringLiteral("Quit when the window is closed"), this)),
      chkStartAtLogin(new QCheckBox(QStringLiteral("Start ColloqChat when I log in"), this)) {
    setObjectName(QStringLiteral("fraDesktop"));
    chkQuitOnClose->setObjectName(QStringLiteral("chkQuitOnClose"));
    chkQuitOnClose->setToolTip(
        QStringLiteral("Otherwise ColloqChat keeps running in the tray, so that you can be called"));
    chkStartAtLogin->setObjectName(QStringLiteral("chkStartAtLogin"));
    auto* box = new QVBoxLayout(this);
    box->addWidget(chkQuitOnClose);
    box->addWidget(chkStartAtLogin);
    chkQuitOnClose->setChecked(readDesktopSettings().quitOnClose);
    chkStartAtLogin->setChecked(startsAtLogin());
    connect(chkQuitOnClose, &QCheckBox::clicked, this, [](bool quit) {
        trySkip(QStringLiteral("chkQuitOnClose_Click"), [quit] {
            DesktopSettings settings = readDesktopSettings();
            settings.quitOnClose = quit;
            writeDesktopSettings(settings);
        });
    });
    connect(chkStartAtLogin, &QCheckBox::clicked, this, [this](bool start) {
        trySkip(QStringLiteral("chkStartAtLogin_Click"),
                [start] { setStartAtLogin(start, QCoreApplication::applicationFilePath()); });
        chkStartAtLogin->setChecked(startsAtLogin());
    });
}

} // namespace desktop
