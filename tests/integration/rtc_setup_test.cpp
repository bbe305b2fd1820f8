// The engine module the window loads, the call address it publishes, what it says of a call it
// cannot place, and what the user sees of a call under way and after it.
#include "app/frmMain.h"
#include "call/rtc/EngineModule.h"
#include "call/rtc/RtcEvents.h"
#include "call/rtc/ScreenedPoll.h"
#include "callui/CallStatusBar.h"
#include "callui/VideoCaptions.h"
#include "callui/VideoViewer.h"
#include "callui/WindowPlacement.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"
#include "support/FrmMainCallAccess.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLibraryInfo>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using testrtc::ScriptedRtc;
using testrtc::ScriptedRtcFactory;

namespace {

const QString kReady = QStringLiteral("RTCClient is initialized and ready to make/receive calls.");

// The main window on a scripted engine, set up as start-up sets it up.
class CallWindow : public ::testing::Test {
protected:
    testenv::TestEnv env;
    std::function<void(ScriptedRtc&)> configure; // what the engine is like, set before start()
    ScriptedRtcFactory factory{[this](ScriptedRtc& engine) {
        if (configure) configure(engine);
    }};
    frmMain form;
    std::shared_ptr<ScriptedRtc> rtc;

    // The engine set up, and Bob listed with a call address.
    void start() {
        env.makeLogsFolder();
        FrmMainCallAccess::initRtc(form);
        rtc = factory.last();
        FrmMainCallAccess::listContact(form, QStringLiteral("Bob"), QStringLiteral("bob@x.org"),
                                       QStringLiteral("127.0.0.2:5060"));
    }
    // Connect pressed and the call answered; Terminate pressed and the call gone.
    std::shared_ptr<testrtc::ScriptedSession> connectCall() {
        form.cmdConnect_Click();
        rtc->fireSessionState(rtc->sessions.last(), rtc::RTCSS_CONNECTED);
        return rtc->sessions.last();
    }
    void hangUp() {
        form.cmdTerminate->click();
        rtc->fireSessionState(rtc->sessions.last(), rtc::RTCSS_DISCONNECTED);
    }
};

} // namespace

// The engine module as the program loads it: a real engine, and no engine at all from a file that
// is missing or is no engine module.
TEST(EngineModule, GivesARealEngineAndNothingFromAWrongFile) {
    const std::shared_ptr<rtc::IRTCClient2> engine = rtc::loadEngineModule()();
    ASSERT_TRUE(engine);
    engine->InitializeEx(rtc::RTCIF_DISABLE_UPNP);
    EXPECT_FALSE(engine->get_NetworkAddresses(false, false).isEmpty());
    engine->Shutdown();
    // Its libraries poll through the program's own poll(), which screens the SIP socket.
    const rtc::SetPollScreen setScreen = rtc::programPollScreen();
    EXPECT_TRUE(setScreen && setScreen(-1, nullptr, nullptr));

    QTemporaryDir dir;
    QFile garbage(dir.filePath(QStringLiteral("garbage.so")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly) && garbage.write("\x7f"
                                                                    "ELF not really") > 0);
    garbage.close();
    const QString notAnEngine = QLibraryInfo::path(QLibraryInfo::LibrariesPath) + QStringLiteral("/libQt6Core.so.6");
    for (const QString& path : {dir.filePath(QStringLiteral("missing.so")), garbage.fileName(), notAnEngine})
        EXPECT_FALSE(rtc::loadEngineModule(path)()) << path.toStdString();
}

// What the window tells the user, in red, when Connect (or a call back from the history) cannot
// place a call; no call is left standing.
TEST_F(CallWindow, ConnectSaysWhyACallCannotBePlaced) {
    start();
    EXPECT_EQ(basMain::g_strMyWanIP, "127.0.0.1:5060"); // the engine's one address, off line
    const QString noAddress = QStringLiteral("Ann cannot be called now: no call address. Wait until Ann is on line, "
                                             "click the row again and press Connect.");
    const struct {
        bool selected;       // the list refilled meanwhile, say
        const char* failing; // the engine operation that fails
        const char* address; // Ann's in the list
        QString status;
    } cases[] = {
        {false, "", "127.0.0.2:5060",
         QStringLiteral("No contact is selected: click a contact in the list, then press Connect.")},
        {true, "CreateSession", "127.0.0.2:5060", QStringLiteral("The call could not be placed: ")},
        {true, "", "", noAddress}, // off line
        // What stands where an address belongs is no address: nobody is called there.
        {true, "", "ann@x.org", noAddress},
        {true, "", "127.0.0.2:99999", noAddress},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        rtc->clearFailures();
        if (*c.failing) rtc->failOn(QString::fromLatin1(c.failing));
        FrmMainCallAccess::listContact(form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"),
                                       QString::fromLatin1(c.address))
            ->setSelected(c.selected);
        form.cmdConnect_Click();
        EXPECT_TRUE(form.txtStatus->toPlainText().startsWith(c.status)) << form.txtStatus->toPlainText().toStdString();
        EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbRed);
        EXPECT_EQ(form.g_objSession, nullptr);
        EXPECT_EQ(rtc->count(QStringLiteral("Session")), 0);
    }
    // A history row that kept no address: the way back is the contact list, not a row to click.
    form.callBack(QStringLiteral("Ann"), QStringLiteral("ann@x.org"), QString());
    EXPECT_EQ(form.txtStatus->toPlainText(), "Ann cannot be called back: this call left no call address. Wait until "
                                             "Ann is on line and call from the contact list.");
}

// The status box tells of the call in progress only: what the last call left goes as the next one
// starts; while it is connected a timer runs on the clock and the quality follows the engine's
// figures; at its end its length stays.
TEST_F(CallWindow, TheStatusBoxShowsOnlyThisCallItsTimerAndQualityThenHowLongItLasted) {
    start();
    QDateTime now = QDateTime::currentDateTime();
    vb::setClockForTesting([&now] { return now; });
    const CallStatusBar& bar = *form.barCallStatus;
    const auto place = [&] {
        form.cmdConnect_Click();
        rtc->fireSessionState(rtc->sessions.last(), rtc::RTCSS_INPROGRESS);
        return rtc->sessions.last();
    };
    rtc->fireSessionState(place(), rtc::RTCSS_DISCONNECTED, 408); // nobody there
    EXPECT_TRUE(form.txtStatus->toPlainText().startsWith(QStringLiteral("The other party is unreachable")));

    const auto call = place();
    EXPECT_EQ(form.txtStatus->toPlainText(), QString());
    call->figures = {4.5, 40, 0.5, 30};
    rtc->fireSessionState(call, rtc::RTCSS_CONNECTED);
    EXPECT_EQ(bar.lblCallQuality->text(), "Quality: good");
    now = now.addSecs(83);
    call->figures.lossPercent = 12;
    EXPECT_TRUE(testenv::waitFor([&] { return bar.lblCallTime->text() == QStringLiteral("In call: 1:23"); }, 3000));
    EXPECT_EQ(bar.lblCallQuality->text(), "Quality: poor");

    now = now.addSecs(10);
    form.cmdTerminate->click();
    rtc->fireSessionState(call, rtc::RTCSS_DISCONNECTED);
    EXPECT_EQ(form.txtStatus->toPlainText(), QStringLiteral("Call ended after 1:33.\n") + kReady);
    EXPECT_TRUE(bar.lblCallTime->isHidden() && bar.lblCallQuality->isHidden());
}

// A contact shown Off is called only once the user says so, however the call is asked for: Connect,
// a row chosen with the arrow keys and Enter, a double-click on the row.
TEST_F(CallWindow, CallingAContactShownOffAsksFirst) {
    start();
    vb::ListItem* row = FrmMainCallAccess::listContact(form, QStringLiteral("Carl Jensen"),
                                                       QStringLiteral("carl@x.org"), QStringLiteral("127.0.0.2:5060"));
    row->setText(QStringLiteral("Off"));
    form.show();
    env.answerBoxesWith(vb::vbNo);
    form.cmdConnect->click();
    form.LstUsers->setCurrentIndex({});
    form.LstUsers->clearSelection();
    ASSERT_FALSE(form.cmdConnect->isEnabled());
    QTest::keyClick(form.LstUsers, Qt::Key_Down);
    QTest::keyClick(form.LstUsers, Qt::Key_Return);
    // As the desktop delivers a double-click: a click, then the double-click and its release.
    QWidget* rows = form.LstUsers->viewport();
    const QPoint at = form.LstUsers->visualRect(form.LstUsers->model()->index(0, 1)).center();
    QTest::mouseClick(rows, Qt::LeftButton, {}, at);
    const QPoint global = rows->mapToGlobal(at);
    QMouseEvent twice(QEvent::MouseButtonDblClick, at, global, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(rows, &twice);
    QTest::mouseRelease(rows, Qt::LeftButton, {}, at);
    ASSERT_EQ(env.boxes().size(), 3);
    EXPECT_EQ(env.boxes()[0].prompt, "Carl Jensen seems to be off line. Call anyway?");
    EXPECT_TRUE(rtc->sessions.isEmpty() && form.cmdConnect->isEnabled());

    // Yes, said after a call came in meanwhile: that call stays the only one.
    vb::setMsgBoxHandlerForTesting([&](const QString&, int, const QString&) {
        rtc->fireSessionState(rtc->incomingSession(), rtc::RTCSS_INCOMING);
        return int(vb::vbYes);
    });
    form.cmdConnect->click();
    ASSERT_EQ(rtc->sessions.size(), 1);
    rtc->fireSessionState(rtc->sessions.last(), rtc::RTCSS_DISCONNECTED); // the caller gives up
    QCoreApplication::processEvents();
    vb::setMsgBoxHandlerForTesting([](const QString&, int, const QString&) { return int(vb::vbYes); });
    form.cmdConnect->click();
    EXPECT_EQ(rtc->count(QStringLiteral("Session2.AddParticipant(sip:127.0.0.2:5060")), 1);
}

// On a machine without a microphone or speaker the window says so once, in words, and calls go
// on as before; the picture boxes say whose picture each is and when none comes from the other
// party.
TEST_F(CallWindow, NoSoundIsToldOnceAndThePicturesSayWhoseTheyAreAndWhenNoneComes) {
    configure = [](ScriptedRtc& engine) {
        engine.mediaCapabilities = rtc::RTCMT_AUDIO_RECEIVE | rtc::RTCMT_VIDEO_SEND | rtc::RTCMT_VIDEO_RECEIVE;
    };
    start();
    const QLabel& noSound = *form.barCallStatus->lblNoSound;
    EXPECT_EQ(noSound.text(), "No microphone found: calls connect, but the other party cannot hear you.");
    const VideoCaptions& captions = *form.captionsVideo;
    const auto video = [&](long type) {
        rtc->fire(rtc::RTCE_MEDIA, std::make_shared<rtc::MediaEventData>(type, rtc::RTCMT_VIDEO_RECEIVE, 0));
    };
    for (int call = 1; call <= 2; ++call) {
        connectCall();
        EXPECT_EQ(captions.lblReceivedName->text(), "Bob");
        EXPECT_EQ(captions.lblNoVideo->text(), "No video from Bob");
        EXPECT_FALSE(captions.lblNoVideo->isHidden());
        video(rtc::RTCMET_STARTED);
        EXPECT_TRUE(captions.lblNoVideo->isHidden());
        video(rtc::RTCMET_STOPPED); // the other side turned its camera off
        EXPECT_FALSE(captions.lblNoVideo->isHidden());
        hangUp();
        EXPECT_TRUE(captions.lblNoVideo->isHidden() && captions.lblReceivedName->isHidden());
        EXPECT_FALSE(noSound.isHidden());
    }
    EXPECT_TRUE(env.boxes().isEmpty());
}

// Where the big video window goes: beside the main window on the side where it comes out largest,
// shrunk to that room, its shape kept; nowhere when no side has room enough.
TEST_F(CallWindow, TheBigVideoWindowGoesBesideTheMainWindowWhereThereIsRoom) {
    const QRect screen(0, 0, 1600, 1000);
    const std::pair<QRect, QRect> cases[] = {
        {{0, 0, 800, 600}, {808, 0, 702, 600}},       // right, 8 px away, level with its top
        {{900, 450, 700, 500}, {190, 400, 702, 600}}, // left, moved up to fit the screen
        {{500, 0, 800, 600}, {0, 0, 492, 420}},       // left, shrunk to the room there
        {{0, 0, 1200, 300}, {0, 308, 702, 600}},      // below, where it is larger than to the right
        {{0, 400, 1450, 600}, {0, 0, 458, 392}},      // above
        {{0, 0, 1400, 900}, {}},                      // no room anywhere
    };
    for (const auto& [main, expected] : cases)
        EXPECT_EQ(callui::besideOf(main, QSize(702, 600), screen, QSize(320, 240)), expected)
            << main.x() << "," << main.y() << " " << main.width() << "x" << main.height();
}

// The big video window opens clear of the main window's Terminate, even where the main window
// fills the screen; its own Hang up and Mute do what the main window's do, also in full screen,
// where they show while the mouse moves. (Closed, it leaves the call alone: video_window_test.)
TEST_F(CallWindow, TheBigVideoWindowStaysClearOfTerminateAndHangsUpAndMutesAsTheMainWindowDoes) {
    start();
    const QRect screen = form.screen()->availableGeometry();
    form.setGeometry(screen);
    form.show();
    const auto call = connectCall();
    QTest::mouseDClick(form.picVideoR, Qt::LeftButton);
    VideoViewer* big = VideoViewer::of(form.picVideoR);
    ASSERT_TRUE(big);
    const QRect terminate(form.cmdTerminate->mapToGlobal(QPoint(0, 0)), form.cmdTerminate->size());
    EXPECT_TRUE(screen.contains(big->geometry()) && !big->geometry().intersects(terminate));

    big->cmdMuteMic->click();
    EXPECT_TRUE(rtc->microphoneMuted && form.chkMuteMike->isChecked() && big->cmdMuteMic->isChecked());
    form.chkMuteMike->click();
    EXPECT_FALSE(rtc->microphoneMuted || big->cmdMuteMic->isChecked());
    QTest::keyClick(big, Qt::Key_F11);
    EXPECT_FALSE(big->barControls->isHidden());
    EXPECT_TRUE(testenv::waitFor([&] { return big->barControls->isHidden(); }, VideoViewer::kBarShownMs + 2000));
    const QPoint middle = big->rect().center();
    QMouseEvent moved(QEvent::MouseMove, middle, big->mapToGlobal(middle), Qt::NoButton, Qt::NoButton, {});
    QApplication::sendEvent(big, &moved);
    ASSERT_FALSE(big->barControls->isHidden());
    big->cmdHangUp->click();
    EXPECT_EQ(rtc->count(call->name() + QStringLiteral(".Terminate(0)")), 1);
    rtc->fireSessionState(call, rtc::RTCSS_DISCONNECTED);
    EXPECT_FALSE(big->cmdHangUp->isEnabled());
}
