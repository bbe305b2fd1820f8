// The main window on the real call engine against linphonec (Debian's linphone-cli), a SIP peer
// we did not write, on 127.0.0.1: a call turned away while ours rings, whose callee sees who
// calls, a caller named and missed, kept in the history and called back from there, and our
// calls that are declined, ring out or reach nothing, each read in plain words (calls both ways,
// ended from either side, are the video scene's; a call refused while it rings, the desktop's).
#include "EngineWindow.h"
#include "call/linphone/LinphoneEngine.h"
#include "call/rtc/NetworkAddresses.h"
#include "core/SettingsFiles.h"
#include "platform/vb.h"
#include "support/Linphonec.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

using testsupport::haveLinphonec;
using testsupport::Linphonec;

namespace {

// The main window with the real engine and one listed contact, Ann.
class LinphonecInterop : public ::testing::Test, public enginewindow::EngineWindow {
protected:
    LinphonecInterop()
        : EngineWindow([](frmMain& window) {
              // Who the user registered as: a name with characters a SIP header must escape.
              basMain::writeDisplayNameFile(QStringLiteral("Zoë \"Z\" Brown"));
              window.setIdentity(basMain::identityFromFields({{}, {}, {}, QStringLiteral("zoe+chat@x.org")}));
          }) {
        FrmMainCallAccess::listContact(form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"), {});
    }
    void SetUp() override {
        if (!haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    }
    // The status box once the engine's own words on the call's end are in, and the history's
    // newest outcome.
    QString ending() {
        const auto text = [&] { return form.txtStatus->toPlainText(); };
        testenv::waitFor([&] { return text().contains(QStringLiteral("SESSION Operation complete")); });
        return text();
    }
    static QString sipAddress() { return QStringLiteral("sip:") + enginewindow::sipTarget(); }
    // Ready for the next call, as the user sees it. The chat link's step timer is not looked at:
    // the release starts it, but its first tick at the idle step stops it again, so whether it
    // still runs depends on when the other changes were seen.
    bool released(int timeoutMs = 30000) {
        return testenv::waitFor(
            [&] {
                return caption() == QStringLiteral("Status: DISCONNECTED") && !form.g_objSession &&
                       !form.g_blnCallConnected && form.cmdConnect->isEnabled() && !form.cmdTerminate->isEnabled() &&
                       form.LstUsers->isEnabled() && form.fraSend->isEnabled() && form.g_intIncomingCount == 0;
            },
            timeoutMs);
    }
};

} // namespace

TEST_F(LinphonecInterop, ACallArrivingWhileOursRingsIsTurnedAwayBusyAndOursCanBeCancelled) {
    Linphonec callee(false); // lets our call ring
    ASSERT_TRUE(callee.started());
    call(callee.address());
    ASSERT_TRUE(callee.says(QStringLiteral("Receiving new incoming call"))) << callee.output().toStdString();
    // It sees who calls: the display name (quotes escaped) and the e-mail address as user part.
    EXPECT_TRUE(callee.output().contains(QStringLiteral("from \"Zoë \\\"Z\\\" Brown\" <sip:zoe+chat%40x.org@")))
        << callee.output().toStdString();
    const auto ours = form.g_objSession;

    Linphonec caller(false, sipAddress());
    ASSERT_TRUE(caller.started());
    // linphonec reports the refusal (486 Busy Here) as an error of its call.
    ASSERT_TRUE(caller.says(QStringLiteral(" error."))) << caller.output().toStdString();
    // Its end reaches the window and leaves our call as it was.
    ASSERT_TRUE(testenv::waitFor([&] { return form.g_intIncomingCount == 0; }, 30000));
    EXPECT_EQ(form.g_objSession, ours);
    EXPECT_EQ(caption(), QStringLiteral("Status: INPROGRESS"));
    form.cmdTerminate->click();
    EXPECT_TRUE(released());
    EXPECT_TRUE(callee.says(QStringLiteral("ended"))) << callee.output().toStdString();
}

TEST_F(LinphonecInterop, AnUnansweredCallerIsNamedMissedInTheHistoryWhoseTabCountsItAndCallingBackConnects) {
    QDateTime now(QDate(2026, 3, 1), QTime(9, 30));
    vb::setClockForTesting([&] { return now; });
    QTabWidget& tabs = *form.SSTab1;
    const int tab = tabs.indexOf(form.viewHistory);
    QTreeWidget& list = *form.viewHistory->lstHistory;
    // Whether a call this short was encrypted before it ended is the security scene's.
    const auto row = [&] {
        return enginewindow::historyRow(form).mid(0, history::CallHistoryView::kEncryption).join(" | ").toStdString();
    };
    Linphonec peer(true, sipAddress()); // calls, then answers any call
    QString ringing;
    const auto giveUp = enginewindow::whenRinging(form, [&] {
        ringing = caption();
        peer.command("terminate");
    });
    ASSERT_TRUE(peer.started());
    ASSERT_TRUE(testenv::waitFor([&] { return tabs.tabText(tab) == QStringLiteral("History (1)"); }, 30000));
    // A caller that is not in the list is unknown, shown with the name it gave and the address
    // its call came from.
    EXPECT_EQ(ringing, "Status: INCOMING User: Unknown caller: linphonec peer    sip:" + peer.address());
    const std::string address = peer.address().toStdString();
    EXPECT_EQ(row(),
              "2026-03-01 09:30 | In | Missed | Unknown caller: linphonec peer | sip:" + address + " |  | " + address);
    ASSERT_TRUE(released());
    // linphonec answers a call back only once it has let go of the one it gave up (else: busy).
    ASSERT_TRUE(peer.says(QStringLiteral("ended"))) << peer.output().toStdString();

    // The user looks at the history and double-clicks the call: it goes back to the peer.
    form.show();
    tabs.setCurrentIndex(tab);
    now = now.addSecs(60);
    const QRect rowArea = list.visualItemRect(list.topLevelItem(0));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, rowArea.center());
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, rowArea.center());
    ASSERT_TRUE(testenv::waitFor([&] { return caption().startsWith(QStringLiteral("Status: CONNECTED")); }, 30000))
        << caption().toStdString();
    now = now.addSecs(75);
    form.cmdTerminate->click();
    EXPECT_TRUE(released());
    EXPECT_EQ(row(), "2026-03-01 09:31 | Out | Answered | Unknown caller: linphonec peer | sip:" + address +
                         " | 1:15 | " + address);
}

// Ann quit without a word: her address takes the call's requests and never answers. The window
// gives up within ten seconds and says so.
TEST_F(LinphonecInterop, ACallToAnAddressWhereNothingAnswersEndsUnreachableWithinTenSeconds) {
    QUdpSocket silent; // reads nothing, answers nothing
    ASSERT_TRUE(silent.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    QElapsedTimer clock;
    clock.start();
    call(QStringLiteral("127.0.0.1:%1").arg(silent.localPort()));
    ASSERT_TRUE(testenv::waitFor([&] { return caption() == QStringLiteral("Status: INPROGRESS"); }));
    ASSERT_TRUE(released(20000));
    EXPECT_LT(clock.elapsed(), 12000);
    const QString said = ending();
    EXPECT_TRUE(said.startsWith(QStringLiteral("The other party is unreachable"))) << said.toStdString();
}

// A person calls three times from the same window: linphonec refuses the first call while it
// rings (603 Decline) and lets the others ring until its own ring times out. Told to, it answers
// that with 480 Temporarily Unavailable; left as it is, with 486 Busy Here, and busy is then all
// the caller can be told. Each time the window reads why the call ended, above the engine's
// words; the window is ready for the next call.
TEST_F(LinphonecInterop, TheCallerReadsWhyACallWasDeclinedOrNotAnswered) {
    const struct {
        QByteArray sipSettings;
        bool declines;
        const char* reason;
    } calls[] = {
        {{}, true, "The call was declined."},
        {"inc_timeout=3\ninc_timeout_status_code=480\n", false, "No answer: the other party did not pick up."},
        {"inc_timeout=3\n", false, "The other party is busy. Try again later."},
    };
    for (const auto& test : calls) {
        SCOPED_TRACE(test.reason);
        Linphonec callee(false, {}, false, 5090, QProcessEnvironment::systemEnvironment(), test.sipSettings);
        ASSERT_TRUE(callee.started());
        call(callee.address());
        ASSERT_TRUE(callee.says(QStringLiteral("Receiving new incoming call"))) << callee.output().toStdString();
        if (test.declines) callee.command("terminate");
        ASSERT_TRUE(released());
        const QString said = ending();
        EXPECT_EQ(said.section(QLatin1Char('\n'), 0, 0).trimmed().toStdString(), test.reason) << said.toStdString();
    }
}

// Two engines on one machine: the first listens on 5060 when it is free, the second on the next
// free port, and each reports the port it really holds (the core used to bind 5060 by itself,
// making the first engine's own search for a free port move it to 5061). An engine keeps its files
// in a folder of its own, which goes with it: nothing named after the folder is left beside it.
TEST(LinphoneEnginePorts, TheFirstEngineKeeps5060ASecondTakesTheNextPortAndNoFilesOutliveThem) {
    testenv::TestEnv env;
    if (rtc::findFreeUdpPort(5060) != 5060 || rtc::findFreeUdpPort(5061) != 5061)
        GTEST_SKIP() << "5060 or 5061 is taken here";
    auto first = rtc::LinphoneEngine::create();
    first->InitializeEx(rtc::RTCIF_DISABLE_UPNP);
    auto second = rtc::LinphoneEngine::create();
    second->InitializeEx(rtc::RTCIF_DISABLE_UPNP);
    EXPECT_EQ(first->sipPort(), 5060);
    EXPECT_EQ(second->sipPort(), 5061);
    for (const auto& engine : {first, second})
        for (const QString& address : engine->get_NetworkAddresses(false, false))
            EXPECT_TRUE(address.endsWith(QLatin1Char(':') + QString::number(engine->sipPort())))
                << address.toStdString();
    EXPECT_EQ(rtc::findFreeUdpPort(5060), 5062);
    const QFileInfo folder(first->dataFolder());
    second->Shutdown();
    first->Shutdown();
    first.reset();
    second.reset();
    const QStringList left = folder.dir().entryList({folder.fileName() + QLatin1Char('*')},
                                                    QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char(' ')).toStdString();
}
