#include "CallViewShots.h"

#include "app/frmMain.h"
#include "callui/CallStatusBar.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"

#include <QDateTime>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>

bool callViewPictures(frmMain& form, const SaveShot& save) {
    QDateTime now(QDate(2026, 12, 6), QTime(8, 31, 54));
    vb::setClockForTesting([&now] { return now; });
    form.fraStatus->setTitle(QStringLiteral("Status: CONNECTED User: Bob Miller    bob.miller@example.com"));
    vb::setForeColor(*form.txtStatus, vb::vbBlue);
    form.txtStatus->setPlainText(
        QStringLiteral("Media started: audio send, audio receive, video send, video receive."));
    form.cmdConnect->setEnabled(false);
    form.cmdTerminate->setEnabled(true);
    form.barCallStatus->callConnected(1, [] { return rtc::CallFigures{4.4, 60, 0.3, 42}; });
    now = now.addSecs(252);
    form.barCallStatus->refresh();
    bool ok = save(form, "call-timer.png");

    now = now.addSecs(471);
    form.fraStatus->setTitle(QStringLiteral("Status: DISCONNECTED"));
    vb::setForeColor(*form.txtStatus, vb::vbBlack);
    form.txtStatus->setPlainText(QStringLiteral("Call ended after 12:03.\nRTCClient is initialized and ready to "
                                                "make/receive calls."));
    form.barCallStatus->callEnded(1);
    form.cmdConnect->setEnabled(true);
    form.cmdTerminate->setEnabled(false);
    ok = save(form, "call-ended.png") && ok;
    vb::setClockForTesting({});
    return ok;
}
