// The call address this client publishes, chosen from the host's addresses, and how the engine
// sorts the host's addresses.
#include "call/control/CallAddress.h"
#include "call/rtc/NetworkAddresses.h"
#include "support/ScriptedRtc.h"

#include <QHostAddress>
#include <gtest/gtest.h>

using testrtc::ScriptedRtc;

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
        ScriptedRtc engine;
        int step = 0;
        const QString chosen = callcontrol::listenAtCallAddress(engine, c.wan, c.external, c.internal, step);
        // No address at all leaves the WAN address known before as it was.
        EXPECT_EQ(chosen.isEmpty() ? c.wan : chosen, c.callAddress);
        EXPECT_EQ(engine.listenMode == rtc::RTCLM_BOTH, c.listens);
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
