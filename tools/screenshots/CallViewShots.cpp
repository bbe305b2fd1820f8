#include "CallViewShots.h"
#include "ShotSupport.h"

#include "app/frmMain.h"
#include "callui/CallStatusBar.h"
#include "callui/VideoCaptions.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

bool callViewPictures(frmMain& form, const QString& folder) {
    QDateTime now(QDate(2026, 12, 6), QTime(8, 31, 54));
    vb::setClockForTesting([&now] { return now; });
    form.fraStatus->setTitle(QStringLiteral("Status: CONNECTED User: Bob Miller    bob.miller@example.com"));
    vb::setForeColor(*form.txtStatus, vb::vbBlue);
    form.txtStatus->setPlainText(
        QStringLiteral("Media started: audio send, audio receive, video send, video receive."));
    form.cmdConnect->setEnabled(false);
    form.cmdTerminate->setEnabled(true);
    form.barCallStatus->callConnected(1, [] { return rtc::CallFigures{4.4, 60, 0.3, 42}; });
    // On a machine without sound, with a contact who sends no video.
    form.barCallStatus->setSoundDevices(false, false);
    form.captionsVideo->callConnected(QStringLiteral("Bob Miller"));
    now = now.addSecs(252);
    form.barCallStatus->refresh();
    bool ok = saveWindow(form, folder, "call-timer.png");

    now = now.addSecs(471);
    form.fraStatus->setTitle(QStringLiteral("Status: DISCONNECTED"));
    vb::setForeColor(*form.txtStatus, vb::vbBlack);
    form.txtStatus->setPlainText(QStringLiteral("Call ended after 12:03.\nRTCClient is initialized and ready to "
                                                "make/receive calls."));
    form.barCallStatus->callEnded(1);
    form.captionsVideo->callEnded();
    form.barCallStatus->setSoundDevices(true, true);
    form.cmdConnect->setEnabled(true);
    form.cmdTerminate->setEnabled(false);
    ok = saveWindow(form, folder, "call-ended.png") && ok;
    vb::setClockForTesting({});

    // Connect on a contact shown Off, who still has the address of the last time: the question,
    // answered No.
    vb::ListItem* offLine = nullptr;
    for (int index = 0; index < form.LstUsers->rows().count() && !offLine; ++index)
        if (form.LstUsers->itemAt(index)->Text() == QStringLiteral("Off")) offLine = form.LstUsers->itemAt(index);
    if (!offLine) return false;
    const QString address = offLine->Tag();
    offLine->setTag(QStringLiteral("198.51.100.4:5060"));
    form.LstUsers->setCurrentItem(offLine);
    offLine->setSelected(true);
    bool asked = false;
    QTimer::singleShot(200, &form, [&] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            asked = saveWindow(*box, folder, "call-off-line-ask.png");
            box->done(QDialog::Rejected);
        }
    });
    form.cmdConnect_Click();
    offLine->setTag(address);
    return asked && ok;
}
