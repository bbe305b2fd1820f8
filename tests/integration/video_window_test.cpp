// Under a real X server (Xvfb) with the GL library's software renderer: video calls with linphonec,
// one after another in the same process, put the local and the remote picture inside the two
// picture boxes of the main window, whichever side calls, answers or hangs up.
#include "EngineWindow.h"
#include "call/rtc/RtcEvents.h"
#include "callui/VideoCaptions.h"
#include "callui/VideoViewer.h"
#include "platform/widgets/Controls.h"
#include "support/Linphonec.h"

#include <QCheckBox>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <gtest/gtest.h>

using namespace rtc;

namespace {

// How many distinct colours the widget shows on screen: a plain box shows one or two, a picture many.
// The band at the bottom where a picture box carries its name tag is left out.
int distinctColours(QWidget* widget) {
    // The screen itself, where the picture box is: what the user sees there, child windows included.
    const QPoint origin = widget->mapToGlobal(QPoint(0, 0));
    constexpr int kNameBand = 32;
    const QImage image = widget->screen()
                             ->grabWindow(0, origin.x(), origin.y(), widget->width(), widget->height() - kNameBand)
                             .toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    return int(colours.size());
}

} // namespace

// The peer is linphonec answering at once with video: the way the window was first seen to crash
// was a second call to such a peer that hung up itself. The received video, opened big by a
// double-click during a call, stays open when the call ends and the next calls' pictures appear in
// it; closed, it hands the video back to its box.
TEST(VideoWindows, TwentyVideoCallsInARowEitherWayAndTheBigWindowOutlivesItsCall) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        GTEST_SKIP() << "needs an X server (run under xvfb-run with QT_QPA_PLATFORM=xcb)";
    if (!testsupport::haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    enginewindow::EngineWindow window([](frmMain& form) { form.show(); });
    frmMain& form = window.form;
    ASSERT_TRUE(form.g_objRTCClient);
    const long caps = form.g_objRTCClient->get_MediaCapabilities();
    ASSERT_TRUE((caps & RTCMT_VIDEO_SEND) && (caps & RTCMT_VIDEO_RECEIVE)) << caps;
    const int plainS = distinctColours(form.picVideoS);
    const int plainR = distinctColours(form.picVideoR);
    const auto picturesShown = [&] {
        return testenv::waitFor(
            [&] {
                return distinctColours(form.picVideoS) > plainS + 8 && distinctColours(form.picVideoR) > plainR + 8;
            },
            30000);
    };
    const auto ended = [&] { return testenv::waitFor([&] { return !form.g_objSession; }, 30000); };
    testsupport::Linphonec peer(true, {}, true);
    ASSERT_TRUE(peer.started());
    FrmMainCallAccess::listContact(form, QStringLiteral("Peer"), QStringLiteral("peer@x.org"), peer.address());
    // The window answers by hand: "Manual" is clicked as soon as it is offered.
    const auto answerer = enginewindow::whenRinging(
        form, [&form] { form.cmdAnswer->click(); }, 20, enginewindow::Rings::Every);
    VideoViewer* big = nullptr;
    const auto bigShowsPicture = [&] { return testenv::waitFor([&] { return distinctColours(big) > 2 + 8; }, 30000); };

    constexpr int kCalls = 20;
    constexpr int kBigCall = 2; // the call during which the received video is opened big
    for (int call = 0; call < kCalls; ++call) {
        // Calls alternate in direction; the window answers two by "Auto", then two by hand; the
        // window hangs up four, then the peer four.
        const bool peerCalls = call % 2 == 0;
        const bool autoAnswer = call / 2 % 2 == 0;
        const bool windowHangsUp = call / 4 % 2 == 0;
        SCOPED_TRACE(call);
        vb::setValue(*form.chkAutoAnswer, autoAnswer ? vb::vbChecked : vb::vbUnchecked);
        autoAnswer ? answerer->stop() : answerer->start();
        if (peerCalls)
            peer.command(("call sip:" + enginewindow::sipTarget()).toUtf8().constData());
        else
            form.cmdConnect->click();
        ASSERT_TRUE(testenv::waitFor([&] { return form.g_blnCallConnected; }, 30000)) << peer.output().toStdString();
        // Whoever called, the peer is the listed contact, named so once the window shows the call.
        EXPECT_TRUE(testenv::waitFor([&] {
            return form.fraStatus->title() == QStringLiteral("Status: CONNECTED User: Peer    peer@x.org");
        })) << form.fraStatus->title().toStdString();
        EXPECT_EQ(form.captionsVideo->lblReceivedName->text(), "Peer");
        // The pictures reach both boxes on the first calls.
        if (call < kBigCall) {
            EXPECT_TRUE(picturesShown()) << "send " << distinctColours(form.picVideoS) << " receive "
                                         << distinctColours(form.picVideoR);
        }
        if (call == kBigCall) {
            QTest::mouseDClick(form.picVideoR, Qt::LeftButton);
            big = VideoViewer::of(form.picVideoR);
            ASSERT_TRUE(big);
            big->move(0, 560);     // below the main window, clear of the picture boxes
            big->resize(800, 450); // wider than the picture: it keeps its shape between bars
            // F11 fills the screen, Esc brings the window back as it was.
            QTest::keyClick(big, Qt::Key_F11);
            EXPECT_TRUE(testenv::waitFor([&] { return big->geometry() == big->screen()->geometry(); }, 5000));
            EXPECT_TRUE(bigShowsPicture());
            QTest::keyClick(big, Qt::Key_Escape);
            EXPECT_TRUE(testenv::waitFor([&] { return big->geometry() == QRect(0, 560, 800, 450); }, 5000));
        }
        if (call > kBigCall) {
            ASSERT_EQ(VideoViewer::of(form.picVideoR), big);
        }
        // The next call's and the last call's pictures appear in the big window, not in the box.
        if (call == kBigCall + 1 || call == kCalls - 1) {
            EXPECT_TRUE(bigShowsPicture()) << distinctColours(big);
            EXPECT_EQ(form.g_objVideoReceive->get_Owner(), big);
            EXPECT_TRUE(testenv::waitFor([&] { return distinctColours(form.picVideoR) == plainR; }, 5000));
        }
        if (call == kCalls - 1) {
            big->close(); // during the call: the picture goes back to its box
            EXPECT_EQ(form.g_objVideoReceive->get_Owner(), form.picVideoR);
            EXPECT_TRUE(picturesShown());
        }
        if (windowHangsUp)
            form.cmdTerminate->click();
        else
            peer.command("terminate");
        ASSERT_TRUE(ended());
        ASSERT_TRUE(peer.says(QStringLiteral(" ended"), call + 1)) << peer.output().toStdString();
        // The stopped streams took their windows out of the picture boxes.
        EXPECT_EQ(form.g_objVideoReceive->get_Owner(), nullptr);
        EXPECT_EQ(form.g_objVideoPreview->get_Owner(), nullptr);
    }
    EXPECT_EQ(VideoViewer::of(form.picVideoR), nullptr);
    EXPECT_EQ(form.g_intIncomingCount, 0);
    // Video ran without the media plug-in that would bring a second Qt into the process.
    QFile maps(QStringLiteral("/proc/self/maps"));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    EXPECT_FALSE(maps.readAll().contains("libQt5"));
}
