// The call address the window publishes for the host it runs on, and the media options the
// devices of the machine leave the user.
#include "app/frmMain.h"
#include "call/rtc/NetworkAddresses.h"
#include "core/basMain.h"
#include "platform/widgets/Controls.h"
#include "support/FrmMainCallAccess.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QCheckBox>
#include <QSlider>
#include <gtest/gtest.h>

using testrtc::ScriptedRtc;
using testrtc::ScriptedRtcFactory;

TEST(CallAddress, IsChosenFromTheHostsAddressesAndNamesThePortListenedOn) {
    struct AddressCase {
        const char* host;
        QStringList external;
        QStringList internal;
        QString wan;         // the WAN address known before
        bool listens;        // whether calls are taken at all
        QString callAddress; // the address published
    };
    const AddressCase cases[] = {
        {"public address",
         {"", "198.51.1.7:5060", "198.51.1.8:5060"},
         {"10.0.0.5:5060"},
         "1.2.3.4",
         true,
         "198.51.1.7:5060"},
        {"loopback only, off line", {}, {"127.0.0.1:5061"}, "", true, "127.0.0.1:5061"},
        {"behind a router", {}, {"10.0.0.5:5061"}, "1.2.3.4", true, "1.2.3.4:5061"},
        {"two networks behind a router", {}, {"10.0.0.5:5061", "127.0.0.1:5061"}, "1.2.3.4", true, "1.2.3.4:5061"},
        {"two networks, off line", {}, {"10.0.0.5:5060", "127.0.0.1:5060"}, "", true, "10.0.0.5:5060"},
        {"no network at all", {}, {}, "1.2.3.4", false, "1.2.3.4"},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.host);
        testenv::TestEnv env;
        ScriptedRtcFactory factory([&](ScriptedRtc& rtc) {
            rtc.externalAddresses = c.external;
            rtc.internalAddresses = c.internal;
        });
        frmMain form;
        basMain::g_strMyWanIP = c.wan;
        FrmMainCallAccess::initRtc(form);
        EXPECT_EQ(basMain::g_strMyWanIP, c.callAddress);
        EXPECT_EQ(factory.last()->listenMode == rtc::RTCLM_BOTH, c.listens);
    }
}

TEST(CallAddress, TheEngineListsPublicAddressesApartAndLoopbackLast) {
    const std::pair<const char*, bool> reach[] = {
        {"8.8.8.8", true},         {"172.32.0.1", true},    {"100.128.0.1", true},
        {"172.31.255.255", false}, {"100.64.0.1", false},   {"10.1.2.3", false},
        {"169.254.3.4", false},    {"198.51.100.9", false}, {"2001:db8::1", false},
    };
    for (const auto& [address, global] : reach)
        EXPECT_EQ(rtc::isGloballyRoutableIPv4(QHostAddress(QString::fromLatin1(address))), global) << address;
    const rtc::AddressLists lists =
        rtc::classifyAddresses({QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("192.168.1.5")),
                                QHostAddress(QStringLiteral("::1")), QHostAddress(QStringLiteral("8.8.4.4")),
                                QHostAddress(QStringLiteral("10.0.0.2")), QHostAddress(QStringLiteral("192.168.1.5"))},
                               5061);
    EXPECT_EQ(lists.external, QStringList{"8.8.4.4:5061"});
    EXPECT_EQ(lists.internal, (QStringList{"192.168.1.5:5061", "10.0.0.2:5061", "127.0.0.1:5061"}));
}

namespace {

class MediaOptions : public ::testing::Test {
protected:
    testenv::TestEnv env;
    std::shared_ptr<ScriptedRtc> rtc = std::make_shared<ScriptedRtc>();
    frmMain form;

    void SetUp() override {
        form.g_objRTCClient = rtc;
        rtc->eventFilter = rtc::kProgramEventFilter;
        rtc->setEventSink([this](long kind, std::shared_ptr<rtc::IRTCEvent> event) {
            form.g_objRTCClientWithEvents_Event(kind, event);
        });
    }
    QCheckBox& box(int index) const { return *form.chkOptions[index]; }
};

} // namespace

TEST_F(MediaOptions, AMissingSoundCardOrCameraTakesItsOptionsAway) {
    struct CapsCase {
        const char* machine;
        long caps;
        bool boxes[5]; // options 1 to 5 checked: video send, audio send, video receive, audio
                       // receive, echo cancelling; those the user may change are offered too
    };
    const CapsCase cases[] = {
        {"everything", 0x0F, {true, true, true, true, true}},
        {"no sound card", 0x0C, {true, false, true, false, false}},
        {"no camera", 0x03, {false, true, false, true, true}},
        {"nothing", 0x00, {false, false, false, false, false}},
    };
    for (const CapsCase& c : cases) {
        SCOPED_TRACE(c.machine);
        frmMain fresh;
        auto engine = std::make_shared<ScriptedRtc>();
        fresh.g_objRTCClient = engine;
        fresh.fnMediaSupp(c.caps);
        for (int i = 1; i <= 5; ++i) {
            EXPECT_EQ(vb::Value(*fresh.chkOptions[i]) == vb::vbChecked, c.boxes[i - 1]) << "box " << i;
            if (i % 2) {
                EXPECT_EQ(fresh.chkOptions[i]->isEnabled(), c.boxes[i - 1]) << "box " << i;
            }
        }
        // No video windows are asked for from an engine that cannot show them.
        EXPECT_EQ(fresh.g_objVideoPreview != nullptr, c.boxes[0]);
        EXPECT_EQ(fresh.g_objVideoReceive != nullptr, c.boxes[2]);
    }
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(MediaOptions, TheUsersChoicesReachTheEngine) {
    form.fnMediaSupp(0x0F);
    form.sldMike->setValue(1234);
    form.sldSpiker->setValue(65535);
    EXPECT_EQ(rtc->microphoneVolume, 1234);
    EXPECT_EQ(rtc->speakerVolume, 65535);
    vb::setValue(*form.chkMuteMike, vb::vbChecked);
    vb::setValue(*form.chkMuteSpiker, vb::vbChecked);
    EXPECT_TRUE(rtc->microphoneMuted && rtc->speakerMuted);

    box(1).click(); // no video sent
    EXPECT_EQ(rtc->preferredMedia, rtc::RTCMT_AUDIO_SEND | rtc::RTCMT_AUDIO_RECEIVE | rtc::RTCMT_VIDEO_RECEIVE);
    EXPECT_EQ(form.g_objVideoPreview, nullptr);
    box(3).click(); // none received
    EXPECT_EQ(rtc->preferredMedia, rtc::RTCMT_AUDIO_SEND | rtc::RTCMT_AUDIO_RECEIVE);
    // A stream the user turned off that starts all the same gets no picture box.
    rtc->fireMedia(rtc::RTCMET_STARTED, rtc::RTCMT_VIDEO_RECEIVE);
    rtc->fireMedia(rtc::RTCMET_STARTED, rtc::RTCMT_VIDEO_SEND);
    EXPECT_EQ(rtc->receive->get_Owner(), nullptr);
    EXPECT_EQ(rtc->preview->get_Owner(), nullptr);
    box(1).click();
    EXPECT_EQ(rtc->preferredMedia, rtc::RTCMT_AUDIO_SEND | rtc::RTCMT_AUDIO_RECEIVE | rtc::RTCMT_VIDEO_SEND);
    EXPECT_EQ(form.g_objVideoPreview, rtc->preview);
    EXPECT_TRUE(env.logLines().isEmpty());
}
