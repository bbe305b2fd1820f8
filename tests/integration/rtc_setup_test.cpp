// The call address the window publishes for the host it runs on, the engine module it loads, and
// what it says of a call it cannot place.
#include "app/frmMain.h"
#include "call/rtc/EngineModule.h"
#include "call/rtc/NetworkAddresses.h"
#include "call/rtc/RtcEvents.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "support/FrmMainCallAccess.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QCheckBox>
#include <QFile>
#include <QLibraryInfo>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTemporaryDir>
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

// The engine module as the program loads it: a real engine whose errors reach the window as the
// window's own errors, and no engine at all from a file that is missing or is no engine module.
TEST(EngineModule, GivesARealEngineWhoseErrorsAreTheWindowsOwnAndNothingFromAWrongFile) {
    const std::shared_ptr<rtc::IRTCClient2> engine = rtc::loadEngineModule()();
    ASSERT_TRUE(engine);
    engine->InitializeEx(rtc::RTCIF_DISABLE_UPNP);
    EXPECT_FALSE(engine->get_NetworkAddresses(false, false).isEmpty());
    try {
        engine->InitializeEx(rtc::RTCIF_DISABLE_UPNP);
        ADD_FAILURE() << "a second start was taken";
    } catch (const std::exception& error) {
        vb::Err().set(error);
        EXPECT_EQ(vb::Err().Number, rtc::kRtcErrUnexpected);
        EXPECT_EQ(vb::Err().Description, "The call engine is already initialized.");
    }
    engine->Shutdown();

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
TEST(CallWindow, ConnectSaysWhyACallCannotBePlaced) {
    testenv::TestEnv env;
    env.makeLogsFolder();
    ScriptedRtcFactory factory;
    frmMain form;
    FrmMainCallAccess::initRtc(form);
    const std::shared_ptr<ScriptedRtc> rtc = factory.last();
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "No contact is selected: click a contact in the list, then press Connect."},
        {"CreateSession", "The call could not be placed: "},
        {"", "Ann cannot be called now: no call address. Wait until Ann is on line, click the row again and press "
             "Connect."},
    };
    for (const auto& [failing, status] : cases) {
        SCOPED_TRACE(status);
        rtc->clearFailures();
        if (failing && *failing) rtc->failOn(QString::fromLatin1(failing));
        FrmMainCallAccess::listContact(form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"),
                                       QString::fromLatin1(failing && *failing ? "127.0.0.2:5060" : ""))
            ->setSelected(failing != nullptr); // the list refilled meanwhile, say
        form.cmdConnect_Click();
        EXPECT_TRUE(form.txtStatus->toPlainText().startsWith(QString::fromLatin1(status)))
            << form.txtStatus->toPlainText().toStdString();
        EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbRed);
        EXPECT_EQ(form.g_objSession, nullptr);
    }
    // A history row that kept no address: the way back is the contact list, not a row to click.
    form.callBack(QStringLiteral("Ann"), QStringLiteral("ann@x.org"), QString());
    EXPECT_EQ(form.txtStatus->toPlainText(), "Ann cannot be called back: this call left no call address. Wait until "
                                             "Ann is on line and call from the contact list.");
    EXPECT_EQ(env.logLines().size(), 4);
}
