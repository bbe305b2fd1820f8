// Under a real X server (Xvfb): a video call puts the local and the remote picture inside the
// two picture boxes of the main window.
#include "app/basMain.h"
#include "app/frmMain.h"
#include "call/rtc/LinphoneEngine.h"
#include "platform/Controls.h"
#include "support/FrmMainCallAccess.h"
#include "support/TestEnv.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QSet>
#include <gtest/gtest.h>
#include <linphone++/linphone.hh>

using namespace rtc;

namespace {

// How many distinct colours the widget shows on screen: a plain box shows one or two, a picture many.
int distinctColours(QWidget* widget) {
    // The screen itself, where the picture box is: what the user sees there, child windows included.
    const QPoint origin = widget->mapToGlobal(QPoint(0, 0));
    const QImage image =
        widget->screen()->grabWindow(0, origin.x(), origin.y(), widget->width(), widget->height()).toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    return int(colours.size());
}

} // namespace

TEST(VideoWindows, VideoCallFillsBothPictureBoxes) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        GTEST_SKIP() << "needs an X server (run under xvfb-run with QT_QPA_PLATFORM=xcb)";
    testenv::TestEnv env;
    frmMain form;
    form.show();
    int step = 0;
    FrmMainCallAccess::initRtc(form, step); // the real engine
    ASSERT_TRUE(form.g_objRTCClient);
    const long caps = form.g_objRTCClient->get_MediaCapabilities();
    ASSERT_TRUE((caps & RTCMT_VIDEO_SEND) && (caps & RTCMT_VIDEO_RECEIVE)) << caps;
    ASSERT_EQ(vb::Value(*form.chkOptions[1]), vb::vbChecked);
    ASSERT_EQ(vb::Value(*form.chkOptions[3]), vb::vbChecked);
    vb::setValue(*form.chkAutoAnswer, vb::vbChecked);
    const int plainS = distinctColours(form.picVideoS);
    const int plainR = distinctColours(form.picVideoR);

    // The caller sends and receives video too; its own windows stay hidden, it has no picture boxes.
    auto caller = LinphoneEngine::create();
    caller->InitializeEx(RTCIF_DISABLE_UPNP);
    // One GLX picture drawer per process, as in the program: two in one process can crash inside
    // the GL library when the second is torn down after the first. The caller's pictures are
    // never looked at, so they go to a drawer that drops them.
    caller->core().setVideoDisplayFilter("MSExtDisplay");
    caller->put_EventFilter(kProgramEventFilter);
    caller->SetPreferredMediaTypes(0x0F, true);
    auto callerPreview = caller->get_IVideoWindow(RTCVD_PREVIEW);
    auto callerReceive = caller->get_IVideoWindow(RTCVD_RECEIVE);
    auto session = caller->CreateSession(RTCST_PC_TO_PC, {}, 0);
    const auto engine = std::dynamic_pointer_cast<LinphoneEngine>(form.g_objRTCClient);
    ASSERT_TRUE(engine);
    session->AddParticipant(QStringLiteral("sip:127.0.0.1:") + QString::number(engine->sipPort()),
                            QStringLiteral("caller"));

    ASSERT_TRUE(testenv::waitFor([&] { return form.g_blnCallConnected; }, 30000));
    // Pictures take a moment to arrive and be drawn.
    const bool bothShown = testenv::waitFor(
        [&] { return distinctColours(form.picVideoS) > plainS + 8 && distinctColours(form.picVideoR) > plainR + 8; },
        30000);
    EXPECT_TRUE(bothShown) << "send " << distinctColours(form.picVideoS) << " receive "
                           << distinctColours(form.picVideoR);
    if (qEnvironmentVariableIsSet("COLLOQ_SCREENSHOT"))
        form.screen()->grabWindow(0).save(qEnvironmentVariable("COLLOQ_SCREENSHOT"));

    session->Terminate(RTCTR_NORMAL);
    ASSERT_TRUE(testenv::waitFor([&] { return !form.g_blnCallConnected; }, 30000));
    // The stopped streams took their windows out of the picture boxes.
    ASSERT_TRUE(form.g_objVideoReceive && form.g_objVideoPreview);
    EXPECT_EQ(form.g_objVideoReceive->get_Owner(), nullptr);
    EXPECT_EQ(form.g_objVideoPreview->get_Owner(), nullptr);
    caller->Shutdown();
    int cancel = 0;
    form.Form_Unload(cancel);
}
