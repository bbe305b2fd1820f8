// Setting the RTC client up at start-up, the choice of the call address, the routing of events
// and the client-level events, on the scripted engine; and the address lists of the real engine.
#include "app/frmMain.h"
#include "call/rtc/NetworkAddresses.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "support/FrmMainCallAccess.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QPlainTextEdit>
#include <QUdpSocket>
#include <gtest/gtest.h>

using namespace basMain;
using testrtc::ScriptedRtc;
using testrtc::ScriptedRtcFactory;

namespace {

class RtcSetup : public ::testing::Test {
protected:
    testenv::TestEnv env;
    ScriptedRtcFactory factory;
    frmMain form;

    void SetUp() override { env.makeLogsFolder(); }

    std::shared_ptr<ScriptedRtc> engine() const { return factory.last(); }

    // Runs the set-up; returns the step it stopped at when it failed, -1 when it went through.
    int setUpClient() {
        int step = 0;
        try {
            FrmMainCallAccess::initRtc(form, step);
        } catch (const vb::VbError&) {
            return step;
        }
        return -1;
    }

    bool logged(const QString& procInfo) const {
        for (const QString& line : env.logLines())
            if (line.startsWith(procInfo + QStringLiteral(" - "))) return true;
        return false;
    }
};

struct AddressCase {
    const char* name;
    QStringList external;
    QStringList internal;
    QString wan;         // g_strMyWanIP on entry
    bool listens;        // whether listening was switched on
    QString callAddress; // g_strMyWanIP on exit
};

} // namespace

TEST_F(RtcSetup, ChoosesTheCallAddressFromTheAddressLists) {
    const AddressCase cases[] = {
        {"first non-empty external",
         {"", "198.51.1.7:5060", "198.51.1.8:5060"},
         {"10.0.0.5:5060"},
         "1.2.3.4",
         true,
         "198.51.1.7:5060"},
        {"every external text empty", {"", ""}, {"10.0.0.5:5060"}, "1.2.3.4", true, "1.2.3.4"},
        {"one internal, no WAN address", {}, {"127.0.0.1:5061"}, "", true, "127.0.0.1:5061"},
        {"one internal, WAN address known", {}, {"10.0.0.5:5060"}, "1.2.3.4", true, "1.2.3.4:5060"},
        {"two internal, first holds the WAN address",
         {},
         {"", "10.0.0.5:5060", "127.0.0.1:5060"},
         "10.0.0.5",
         true,
         "10.0.0.5:5060"},
        {"two internal, WAN address elsewhere",
         {},
         {"10.0.0.5:5061", "127.0.0.1:5061"},
         "1.2.3.4",
         true,
         "1.2.3.4:5061"},
        {"two internal, no WAN address", {}, {"10.0.0.5:5060", "127.0.0.1:5060"}, "", true, "10.0.0.5:5060"},
        {"two internal, both empty", {}, {"", ""}, "", true, ":5060"},
        {"search is case-sensitive", {}, {"host-A:5060", "127.0.0.1:5060"}, "host-a", true, "host-a:5060"},
        {"no addresses at all", {}, {}, "1.2.3.4", false, "1.2.3.4"},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedRtcFactory scripted([&](ScriptedRtc& rtc) {
            rtc.externalAddresses = c.external;
            rtc.internalAddresses = c.internal;
        });
        g_strMyWanIP = c.wan;
        ASSERT_EQ(setUpClient(), -1);
        auto rtc = scripted.last();
        EXPECT_EQ(g_strMyWanIP, c.callAddress);
        EXPECT_EQ(rtc->listenMode == rtc::RTCLM_BOTH, c.listens);
        EXPECT_EQ(rtc->count(QStringLiteral("put_ListenForIncomingSessions(2)")), c.listens ? 1 : 0);
        EXPECT_EQ(form.txtStatus->toPlainText(), QStringLiteral("TCP: "));
        EXPECT_EQ(form.g_objRTCClient, rtc);
        EXPECT_TRUE(form.g_objRTCClientWithEvents);
    }
}

TEST_F(RtcSetup, CallsTheEngineInItsOrder) {
    ASSERT_EQ(setUpClient(), -1);
    const QStringList expected{
        "InitializeEx(4)",         "put_EventFilter(111)",       "setEventSink(sink)",
        "get_MediaCapabilities()", "get_NetworkAddresses(0, 1)", "get_NetworkAddresses(0, 0)",
    };
    // fnMediaSupp works on the engine in between; the set-up's own calls keep their order.
    QStringList setUpCalls;
    for (const QString& call : engine()->calls())
        if (expected.contains(call)) setUpCalls.append(call);
    EXPECT_EQ(setUpCalls, expected);
    EXPECT_EQ(engine()->calls().first(), expected.first());
    EXPECT_EQ(engine()->eventFilter, 0x6F);
}

TEST_F(RtcSetup, AFailingStepReportsItsNumberAndStopsTheSetUp) {
    struct FailCase {
        const char* operation;
        QStringList external;
        QStringList internal;
        QString wan;
        int step;
    };
    const FailCase cases[] = {
        {"InitializeEx", {}, {"127.0.0.1:5060"}, "", 12},
        {"get_MediaCapabilities", {}, {"127.0.0.1:5060"}, "", 24},
        {"get_NetworkAddresses", {}, {"127.0.0.1:5060"}, "", 40},
        {"put_ListenForIncomingSessions", {"198.51.1.7:5060"}, {}, "1.2.3.4", 160},
        {"put_ListenForIncomingSessions", {}, {"10.0.0.5:5060"}, "1.2.3.4", 105},
        {"put_ListenForIncomingSessions", {}, {"10.0.0.5:5060", "127.0.0.1:5060"}, "1.2.3.4", 85},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + " at " + std::to_string(c.step));
        ScriptedRtcFactory scripted([&](ScriptedRtc& rtc) {
            rtc.externalAddresses = c.external;
            rtc.internalAddresses = c.internal;
            rtc.failOn(QString::fromLatin1(c.operation));
        });
        g_strMyWanIP = c.wan;
        EXPECT_EQ(setUpClient(), c.step);
        // The remaining steps are skipped: the WAN address is not replaced.
        EXPECT_EQ(g_strMyWanIP, c.wan);
    }
    // No engine at all fails at the first step.
    ScriptedRtcFactory none;
    none.failCreation(true);
    EXPECT_EQ(setUpClient(), 11);
    EXPECT_EQ(form.g_objRTCClient, nullptr);
}

// Client events reach ClientEvent (the table below); messaging events reach no handler even when
// delivered.
TEST_F(RtcSetup, MessagingEventsReachNoHandler) {
    ASSERT_EQ(setUpClient(), -1);
    form.txtStatus->setPlainText(QStringLiteral("before"));
    vb::setForeColor(*form.txtStatus, vb::vbBlack);
    form.g_objRTCClientWithEvents_Event(rtc::RTCE_MESSAGING, std::make_shared<rtc::ClientEventData>(1));
    EXPECT_EQ(form.txtStatus->toPlainText(), QStringLiteral("before"));
    EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbBlack);
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(RtcSetup, ClientEventsShowTheirTexts) {
    ASSERT_EQ(setUpClient(), -1);
    auto rtc = engine();
    rtc->networkQuality = 73;
    struct ClientCase {
        long type;
        QString text;    // txtStatus afterwards
        QString caption; // window caption afterwards
    };
    const QString before = QStringLiteral("before");
    const QString caption = QStringLiteral("Internet Chat");
    const ClientCase cases[] = {
        {rtc::RTCCET_VOLUME_CHANGE, before, caption},
        {rtc::RTCCET_DEVICE_CHANGE, "The configuration of the streaming-related devices has changed.", caption},
        {rtc::RTCCET_NETWORK_QUALITY_CHANGE, before, frmMain::versionCaption() + " [Network Quality = 73]"},
        {rtc::RTCCET_ASYNC_CLEANUP_DONE, "IRTCClient::PrepareForShutdown has completed.", caption},
        {9, before, caption},
    };
    for (const ClientCase& c : cases) {
        SCOPED_TRACE(c.type);
        form.txtStatus->setPlainText(before);
        form.setWindowTitle(caption);
        vb::setForeColor(*form.txtStatus, vb::vbRed);
        ASSERT_TRUE(rtc->fireClient(c.type));
        EXPECT_EQ(form.txtStatus->toPlainText(), c.text);
        EXPECT_EQ(form.windowTitle(), c.caption);
        EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbRed); // the colour is left alone
    }
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(RtcSetup, ClientEventFailuresAreLoggedWithTheirStep) {
    ASSERT_EQ(setUpClient(), -1);
    auto rtc = engine();
    // The quality does not fit a 16-bit value.
    rtc->networkQuality = 40000;
    rtc->fireClient(rtc::RTCCET_NETWORK_QUALITY_CHANGE);
    EXPECT_TRUE(logged(QStringLiteral("ClientEvent[1]")));
    // The client refuses to tell.
    rtc->networkQuality = 10;
    rtc->failOn(QStringLiteral("get_NetworkQuality"));
    form.setWindowTitle(QStringLiteral("Internet Chat"));
    rtc->fireClient(rtc::RTCCET_NETWORK_QUALITY_CHANGE);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Internet Chat"));
    EXPECT_EQ(env.logLines().size(), 2);
    // An event object of the wrong kind fails before any branch.
    form.ClientEvent(std::make_shared<rtc::MediaEventData>(1, 1, 0));
    form.ClientEvent(nullptr);
    EXPECT_TRUE(logged(QStringLiteral("ClientEvent[0]")));
    EXPECT_EQ(env.logLines().size(), 4);
}

// ---- The address lists of the real engine ----

TEST(NetworkAddresses, SortsAddressesByReach) {
    struct ReachCase {
        const char* address;
        bool global;
    };
    const ReachCase cases[] = {
        // One address of each kind, and both sides of the private and shared ranges' edges.
        {"8.8.8.8", true},       {"172.32.0.1", true}, {"100.128.0.1", true},  {"172.31.255.255", false},
        {"100.64.0.1", false},   {"10.1.2.3", false},  {"127.0.0.1", false},   {"169.254.3.4", false},
        {"198.51.100.9", false}, {"224.0.0.1", false}, {"2001:db8::1", false},
    };
    for (const ReachCase& c : cases)
        EXPECT_EQ(rtc::isGloballyRoutableIPv4(QHostAddress(QString::fromLatin1(c.address))), c.global) << c.address;
}

TEST(NetworkAddresses, ListsCarryThePortAndPutLoopbackLast) {
    const QList<QHostAddress> addresses{
        QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("192.168.1.5")),
        QHostAddress(QStringLiteral("::1")),       QHostAddress(QStringLiteral("8.8.4.4")),
        QHostAddress(QStringLiteral("10.0.0.2")),  QHostAddress(QStringLiteral("192.168.1.5")),
    };
    const rtc::AddressLists lists = rtc::classifyAddresses(addresses, 5061);
    EXPECT_EQ(lists.external, QStringList{"8.8.4.4:5061"});
    EXPECT_EQ(lists.internal, (QStringList{"192.168.1.5:5061", "10.0.0.2:5061", "127.0.0.1:5061"}));
    EXPECT_TRUE(rtc::classifyAddresses({}, 5060).internal.isEmpty());
}

TEST(NetworkAddresses, FindsTheNextFreePort) {
    const quint16 free = rtc::findFreeUdpPort(40000);
    ASSERT_NE(free, 0);
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, free));
    const quint16 next = rtc::findFreeUdpPort(free);
    EXPECT_GT(next, free);
}
