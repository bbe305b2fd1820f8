// Media options, video windows, volume, mute and tuning; and the status texts of registration,
// operation and intensity events, on the scripted engine.
#include "app/frmMain.h"
#include "core/basMain.h"
#include "platform/widgets/Controls.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <gtest/gtest.h>

using testrtc::ScriptedRtc;

namespace {

class Media : public ::testing::Test {
protected:
    testenv::TestEnv env;
    std::shared_ptr<ScriptedRtc> rtc = std::make_shared<ScriptedRtc>();
    frmMain form;

    void SetUp() override {
        env.makeLogsFolder();
        form.g_objRTCClient = rtc;
        rtc->speakerVolume = 40000;
        rtc->microphoneVolume = 30000;
        rtc->eventFilter = rtc::kProgramEventFilter;
        rtc->setEventSink([this](long kind, std::shared_ptr<rtc::IRTCEvent> event) {
            form.g_objRTCClientWithEvents_Event(kind, event);
        });
        rtc->log->calls.clear();
    }
    QCheckBox& box(int index) const { return *form.chkOptions[index]; }
    int value(int index) const { return vb::Value(box(index)); }
    bool logged(const QString& procInfo) const {
        for (const QString& line : env.logLines())
            if (line.startsWith(procInfo + QStringLiteral(" - "))) return true;
        return false;
    }
};

// The status box keeps line breaks as plain line feeds.
QString shown(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// Enabled and checked state of option boxes 1 to 5.
struct BoxState {
    bool enabled[5];
    int checked[5];
};

} // namespace

TEST_F(Media, CapabilitiesDecideTheOptionBoxes) {
    struct CapsCase {
        long caps;
        bool aecReadable;
        bool aec;
        BoxState boxes;
        long preferred; // -1: never set
        bool preview, receive;
    };
    const CapsCase cases[] = {
        {0x0F, true, true, {{true, false, true, false, true}, {1, 1, 1, 1, 1}}, 15, true, true},
        {0x1F, true, false, {{true, false, true, false, true}, {1, 1, 1, 1, 0}}, 15, true, true},
        // The echo-cancelling box goes when its read fails, and comes back with the receiving audio box.
        {0x03, false, true, {{false, false, false, false, true}, {0, 1, 0, 1, 0}}, 3, false, false},
        {0x01, false, true, {{false, false, false, false, false}, {0, 1, 0, 0, 0}}, 1, false, false},
        {0x0C, true, true, {{true, false, true, false, false}, {1, 0, 1, 0, 0}}, 12, true, true},
        {0x00, true, true, {{false, false, false, false, false}, {0, 0, 0, 0, 0}}, -1, false, false},
        {-1, true, true, {{false, false, false, false, false}, {0, 0, 0, 0, 0}}, -1, false, false},
    };
    for (const CapsCase& c : cases) {
        SCOPED_TRACE(c.caps);
        frmMain fresh;
        auto engine = std::make_shared<ScriptedRtc>();
        engine->preferredMedia = -1;
        engine->preferredAEC = c.aec;
        if (!c.aecReadable) engine->failOn(QStringLiteral("get_PreferredAEC"));
        fresh.g_objRTCClient = engine;
        fresh.fnMediaSupp(c.caps);
        for (int i = 1; i <= 5; ++i) {
            EXPECT_EQ(fresh.chkOptions[i]->isEnabled(), c.boxes.enabled[i - 1]) << "box " << i;
            EXPECT_EQ(vb::Value(*fresh.chkOptions[i]), c.boxes.checked[i - 1]) << "box " << i;
        }
        EXPECT_EQ(vb::Value(*fresh.chkOptions[0]), vb::vbChecked);
        EXPECT_FALSE(fresh.chkOptions[0]->isEnabled());
        EXPECT_EQ(engine->preferredMedia, c.preferred);
        EXPECT_EQ(fresh.g_objVideoPreview != nullptr, c.preview);
        EXPECT_EQ(fresh.g_objVideoReceive != nullptr, c.receive);
        // A failed echo-cancelling read is not an error worth a report.
        EXPECT_TRUE(env.logLines().isEmpty());
    }
}

TEST_F(Media, AudioBoxesBringTheVolumeControls) {
    form.fnMediaSupp(0x0F);
    EXPECT_TRUE(form.sldMike->isEnabled());
    EXPECT_TRUE(form.sldSpiker->isEnabled());
    EXPECT_TRUE(form.chkMuteMike->isEnabled());
    EXPECT_TRUE(form.chkMuteSpiker->isEnabled());
    EXPECT_EQ(form.sldMike->maximum(), 65535);
    EXPECT_EQ(form.sldMike->value(), 30000);
    EXPECT_EQ(form.sldSpiker->value(), 40000);
    // Setting the sliders is not the user moving them.
    EXPECT_EQ(rtc->count(QStringLiteral("put_Volume")), 0);

    form.sldMike->setValue(1234);
    form.sldSpiker->setValue(65535);
    EXPECT_EQ(rtc->microphoneVolume, 1234);
    EXPECT_EQ(rtc->speakerVolume, 65535);
    vb::setValue(*form.chkMuteMike, vb::vbChecked);
    EXPECT_TRUE(rtc->microphoneMuted);
    vb::setValue(*form.chkMuteMike, vb::vbGrayed);
    EXPECT_TRUE(rtc->microphoneMuted);
    vb::setValue(*form.chkMuteMike, vb::vbUnchecked);
    EXPECT_FALSE(rtc->microphoneMuted);
    vb::setValue(*form.chkMuteSpiker, vb::vbChecked);
    EXPECT_TRUE(rtc->speakerMuted);
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(Media, VideoBoxesSwitchTheStreamsAndWindows) {
    form.fnMediaSupp(0x0F);
    box(1).click(); // video send off
    EXPECT_EQ(rtc->preferredMedia, 11);
    EXPECT_EQ(form.g_objVideoPreview, nullptr);
    box(3).click(); // video receive off
    EXPECT_EQ(rtc->preferredMedia, 3);
    EXPECT_EQ(form.g_objVideoReceive, nullptr);
    box(1).click();
    EXPECT_EQ(rtc->preferredMedia, 7);
    EXPECT_EQ(form.g_objVideoPreview, rtc->preview);
    EXPECT_TRUE(rtc->calls().contains(QStringLiteral("SetPreferredMediaTypes(7, 1)")));
}

TEST_F(Media, EchoCancellingFollowsItsBoxOrIsWithdrawn) {
    form.fnMediaSupp(0x0F);
    box(5).click();
    EXPECT_FALSE(rtc->preferredAEC);
    box(5).click();
    EXPECT_TRUE(rtc->preferredAEC);
    rtc->failOn(QStringLiteral("put_PreferredAEC"));
    box(5).click();
    EXPECT_FALSE(box(5).isEnabled());
    EXPECT_EQ(value(5), vb::vbUnchecked);
    EXPECT_TRUE(env.logLines().isEmpty());

    // Without audio to send, a click on a video box withdraws the box but leaves the setting.
    frmMain noMic;
    auto engine = std::make_shared<ScriptedRtc>();
    noMic.g_objRTCClient = engine;
    noMic.fnMediaSupp(0x0E);
    noMic.chkOptions[5]->setEnabled(true);
    vb::setValue(*noMic.chkOptions[5], vb::vbChecked);
    engine->log->calls.clear();
    noMic.chkOptions[1]->click();
    EXPECT_FALSE(noMic.chkOptions[5]->isEnabled());
    EXPECT_EQ(vb::Value(*noMic.chkOptions[5]), vb::vbUnchecked);
    EXPECT_EQ(engine->count(QStringLiteral("put_PreferredAEC")), 0);
}

TEST_F(Media, TheWizardOpensOnTheMainWindowAndOptionFailuresAreLoggedAndSkipped) {
    form.cmdWizard_Click();
    EXPECT_TRUE(rtc->calls().contains(QStringLiteral("InvokeTuningWizardEx(frmMain, 1, 1)")));
    form.fnMediaSupp(0x0F);
    rtc->failOn(QStringLiteral("SetPreferredMediaTypes"));
    rtc->failOn(QStringLiteral("get_IVideoWindow"));
    box(1).click();
    box(1).click();
    EXPECT_TRUE(logged(QStringLiteral("chkOptions_Click[7]")));
    EXPECT_TRUE(logged(QStringLiteral("chkOptions_Click[8]")));
    rtc->failOn(QStringLiteral("put_Volume"));
    rtc->failOn(QStringLiteral("put_AudioMuted"));
    rtc->failOn(QStringLiteral("InvokeTuningWizardEx"));
    form.sldSpiker->setValue(5);
    vb::setValue(*form.chkMuteMike, vb::vbChecked);
    vb::setValue(*form.chkMuteSpiker, vb::vbChecked);
    vb::setValue(*form.chkMuteSpiker, vb::vbUnchecked);
    form.cmdWizard_Click();
    for (const char* entry : {"sldSpiker_Scroll", "chkMuteMike_Click[1]", "chkMuteSpiker_Click[1]",
                              "chkMuteSpiker_Click[2]", "cmdWizard_Click[2]"})
        EXPECT_TRUE(logged(QString::fromLatin1(entry))) << entry;
}

TEST_F(Media, StartedVideoGoesIntoThePictureBoxesAndStoppedVideoLeavesThem) {
    form.fnMediaSupp(0x0F);
    rtc->log->calls.clear();
    rtc->fireMedia(rtc::RTCMET_STARTED, rtc::RTCMT_VIDEO_SEND);
    rtc->fireMedia(rtc::RTCMET_STARTED, rtc::RTCMT_VIDEO_RECEIVE);
    const QStringList placed{
        "Preview.put_WindowStyle(1140850688)",       "Preview.put_Owner(picVideoS)",
        "Preview.SetWindowPosition(0, 0, 234, 184)", "Preview.put_Visible(1)",
        "Receive.put_WindowStyle(1140850688)",       "Receive.put_Owner(picVideoR)",
        "Receive.SetWindowPosition(0, 0, 234, 184)", "Receive.put_Visible(1)",
    };
    EXPECT_EQ(rtc->calls(), placed);

    rtc->log->calls.clear();
    rtc->fireMedia(rtc::RTCMET_STOPPED, rtc::RTCMT_AUDIO_SEND); // any stop but video receive hides the preview
    rtc->fireMedia(rtc::RTCMET_STOPPED, rtc::RTCMT_VIDEO_RECEIVE);
    EXPECT_EQ(rtc->calls(), (QStringList{"Preview.put_Visible(0)", "Preview.put_Owner(0)", "Receive.put_Visible(0)",
                                         "Receive.put_Owner(0)"}));

    // With its box unchecked a started stream gets no window; a missing window is skipped quietly.
    box(3).click();
    rtc->log->calls.clear();
    rtc->fireMedia(rtc::RTCMET_STARTED, rtc::RTCMT_VIDEO_RECEIVE);
    form.g_objVideoPreview.reset();
    rtc->fireMedia(rtc::RTCMET_STARTED, rtc::RTCMT_VIDEO_SEND);
    rtc->fireMedia(rtc::RTCMET_STOPPED, rtc::RTCMT_VIDEO_SEND);
    EXPECT_TRUE(rtc->calls().isEmpty());
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(Media, StreamProblemsAreShownWithTheirMediaName) {
    const QString crlf = QStringLiteral("\r\n");
    struct ReasonCase {
        long type, media, reason;
        QString text;
    };
    const ReasonCase cases[] = {
        {rtc::RTCMET_FAILED, rtc::RTCMT_AUDIO_SEND, rtc::RTCMER_NORMAL, "AUDIO_SEND: The media stream has failed."},
        {rtc::RTCMET_FAILED, 16, 99, "[ 16 ]: The media stream has failed."},
        {rtc::RTCMET_STOPPED, rtc::RTCMT_AUDIO_RECEIVE, rtc::RTCMER_HOLD,
         "AUDIO_RECEIVE: The stream was stopped/resumed as a result of the" + crlf +
             "remote party putting the call on hold/resuming it from hold."},
        {rtc::RTCMET_FAILED, rtc::RTCMT_VIDEO_RECEIVE, rtc::RTCMER_BAD_DEVICE,
         "VIDEO_RECEIVE: The stream failed to start because the device was bad or in use."},
        {rtc::RTCMET_STARTED, rtc::RTCMT_AUDIO_SEND, rtc::RTCMER_NORMAL, "before"},
    };
    for (const ReasonCase& c : cases) {
        form.txtStatus->setPlainText(QStringLiteral("before"));
        rtc->fireMedia(c.type, c.media, c.reason);
        EXPECT_EQ(form.txtStatus->toPlainText(), shown(c.text));
    }
}

// ---- Registration, operation and intensity events ----

TEST_F(Media, RegistrationStatesAreSpelledOut) {
    const QString crlf = QStringLiteral("\r\n");
    const QString header = QStringLiteral("REGISTRATION - Profile: Ann sip:ann@x.org - ");
    struct RegCase {
        long state;
        long code;
        QString text;
        int colour;
    };
    const RegCase cases[] = {
        {3, -5, "The profile has been rejected.Status Code: -5", vb::vbBlue},
        {5, 503, "There has been an error registering the profile.", vb::vbRed},
        {9, 0, "", vb::vbBlue},
    };
    for (const RegCase& c : cases) {
        SCOPED_TRACE(c.state);
        vb::setForeColor(*form.txtStatus, vb::vbBlack);
        ASSERT_TRUE(rtc->fireRegistration(c.state, c.code, QStringLiteral("Ann"), QStringLiteral("sip:ann@x.org")));
        EXPECT_EQ(form.txtStatus->toPlainText(),
                  shown(header + c.text + crlf + QStringLiteral("Staus Code: ") + QString::number(c.code)));
        EXPECT_EQ(vb::ForeColor(*form.txtStatus), c.colour);
    }

    rtc->fireOperationComplete(-2147024809, QStringLiteral("Busy Here"));
    EXPECT_EQ(form.txtStatus->toPlainText(),
              QStringLiteral("SESSION Operation complete: Busy HereStaus Code: -2147024809"));

    // Intensity events only turn the text blue.
    form.txtStatus->setPlainText(QStringLiteral("unchanged"));
    vb::setForeColor(*form.txtStatus, vb::vbBlack);
    rtc->fireIntensity(40);
    EXPECT_EQ(form.txtStatus->toPlainText(), QStringLiteral("unchanged"));
    EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbBlue);
    // So does any other kind that reaches the handler.
    vb::setForeColor(*form.txtStatus, vb::vbBlack);
    long kind = rtc::RTCE_WATCHER;
    form.Receive_Event(kind, std::make_shared<rtc::ClientEventData>(0));
    EXPECT_EQ(form.txtStatus->toPlainText(), QStringLiteral("unchanged"));
    EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbBlue);
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(Media, StatusFailuresAreLoggedUnderTheirMarkerAndSkipped) {
    long kind = rtc::RTCE_REGISTRATION_STATE_CHANGE;
    form.txtStatus->setPlainText(QStringLiteral("x"));
    form.Receive_Event(kind, std::make_shared<rtc::ClientEventData>(0));
    EXPECT_TRUE(logged(QStringLiteral("Receive_Event [2]")));
    EXPECT_TRUE(logged(QStringLiteral("Receive_Event [3]")));
    kind = rtc::RTCE_SESSION_OPERATION_COMPLETE;
    form.Receive_Event(kind, nullptr);
    EXPECT_TRUE(logged(QStringLiteral("Receive_Event [4]")));
    EXPECT_TRUE(logged(QStringLiteral("Receive_Event [5]")));
    EXPECT_EQ(form.txtStatus->toPlainText(), QStringLiteral("x"));
}
