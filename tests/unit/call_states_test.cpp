// The main window placing, answering, refusing and ending calls where the moment of each event
// matters: the scripted engine fires the session states exactly when the scene needs them.
#include "app/CallHelpers.h"
#include "app/frmMain.h"
#include "call/control/CallRinger.h"
#include "desktop/CallNotifier.h"
#include "platform/widgets/Controls.h"
#include "support/FrmMainCallAccess.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using testrtc::ScriptedRtc;
using testrtc::ScriptedRtcFactory;
using testrtc::ScriptedSession;

namespace {

class CallStates : public ::testing::Test {
protected:
    testenv::TestEnv env;
    ScriptedRtcFactory factory;
    frmMain form;
    std::shared_ptr<ScriptedRtc> rtc;

    void SetUp() override {
        env.makeLogsFolder();
        callengine::setRingPassMsForTesting(0); // a ring nobody answers times out at its first check
        FrmMainCallAccess::initRtc(form);
        rtc = factory.last();
        FrmMainCallAccess::listContact(form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"),
                                       QStringLiteral("127.0.0.2:5060"));
    }
    void TearDown() override { callengine::setRingPassMsForTesting(-1); }

    bool released() const {
        return !form.g_objSession && !form.cmdAnswer->isEnabled() && !form.cmdTerminate->isEnabled() &&
               form.cmdConnect->isEnabled() && form.LstUsers->isEnabled() && form.fraSend->isEnabled() &&
               form.tmrServerCall->isActive() && form.g_intIncomingCount == 0;
    }
    int rings() const { return rtc->count(QStringLiteral("PlayRing(0, 1)")); }
    int terminated(const std::shared_ptr<ScriptedSession>& session, long reason) const {
        return rtc->count(session->name() + QStringLiteral(".Terminate(%1)").arg(reason));
    }
    // Lets the ringing of an incoming call run to its end (answered, refused or given up).
    bool rang() {
        return testenv::waitFor([this] { return !form.ringer().ringing(); });
    }
    // Runs `action` once, at the first chance the ringing lets events run.
    void whenRinging(std::function<void()> action) {
        auto* poll = new QTimer(&form);
        poll->setInterval(0);
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll, action = std::move(action)] {
            if (!form.cmdAnswer->isEnabled()) return;
            poll->stop();
            poll->deleteLater();
            action();
        });
        poll->start();
    }
};

} // namespace

TEST_F(CallStates, ConnectSaysWhyACallCannotBePlaced) {
    struct FailCase {
        const char* failing; // the engine operation that fails ("" none); nullptr: no row selected
        const char* address; // the contact's call address
        const char* status;  // how the red text in the status box begins
    };
    const FailCase cases[] = {
        {nullptr, "127.0.0.2:5060", "No contact is selected: click a contact in the list"},
        {"CreateSession", "127.0.0.2:5060", "The call could not be placed: "},
        {"", "", "Ann cannot be called now: no call address."}, // off line
        {"", "ann@x.org", "Ann cannot be called now: no call address."},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.status + std::string(" / ") + c.address);
        rtc->log->calls.clear();
        rtc->sessions.clear();
        rtc->clearFailures();
        if (c.failing && *c.failing) rtc->failOn(QString::fromLatin1(c.failing));
        FrmMainCallAccess::listContact(form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"),
                                       QString::fromLatin1(c.address))
            ->setSelected(c.failing != nullptr); // the list refilled meanwhile, say
        form.cmdConnect_Click();
        EXPECT_TRUE(form.txtStatus->toPlainText().startsWith(QString::fromLatin1(c.status)))
            << form.txtStatus->toPlainText().toStdString();
        EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbRed);
        // No call is left standing, and nobody is called at an address that is none.
        EXPECT_EQ(form.g_objSession, nullptr);
        EXPECT_EQ(rtc->count(QStringLiteral("Session1.AddParticipant(sip:,")), 0);
        EXPECT_EQ(rtc->count(QStringLiteral("Session1.AddParticipant(sip:ann@")), 0);
    }
    // A history row that kept no address: the way back is the contact list, not a row to click.
    form.callBack(QStringLiteral("Ann"), QStringLiteral("ann@x.org"), QString());
    EXPECT_TRUE(form.txtStatus->toPlainText().startsWith("Ann cannot be called back: this call left no call address"));
    EXPECT_EQ(form.g_objSession, nullptr);
    EXPECT_EQ(env.logLines().size(), 5);
}

TEST_F(CallStates, TheCallerHangingUpEndsTheRingingEvenAsManualIsClicked) {
    for (const bool manualClicked : {false, true}) {
        SCOPED_TRACE(manualClicked ? "Manual clicked as the caller hangs up" : "caller hangs up");
        rtc->log->calls.clear();
        auto session = rtc->incomingSession();
        whenRinging([&] {
            if (manualClicked) form.cmdAnswer->click();
            rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
        });
        rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
        ASSERT_TRUE(rang());
        EXPECT_EQ(rings(), 1);
        // The dead session is neither answered nor kept as the call in progress.
        EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".Answer")), 0);
        EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".Terminate")), 0);
        EXPECT_TRUE(released());
    }
}

// The contact list without the mouse: a row chosen with the arrow keys can be called, and Enter
// calls it; with the mouse, a double-click on a row calls it.
TEST_F(CallStates, AContactIsCalledWithTheArrowKeysAndEnterOrWithADoubleClick) {
    form.show();
    for (const bool keys : {true, false}) {
        SCOPED_TRACE(keys ? "keys" : "double-click");
        form.LstUsers->setCurrentIndex({});
        form.LstUsers->clearSelection();
        ASSERT_FALSE(form.cmdConnect->isEnabled());
        const qsizetype calls = rtc->sessions.size();
        if (keys) {
            QTest::keyClick(form.LstUsers, Qt::Key_Down);
            EXPECT_TRUE(form.cmdConnect->isEnabled());
            QTest::keyClick(form.LstUsers, Qt::Key_Return);
        } else {
            // As the desktop delivers it: a click, then the double-click and its release.
            QWidget* rows = form.LstUsers->viewport();
            const QPoint at = form.LstUsers->visualRect(form.LstUsers->model()->index(0, 1)).center();
            QTest::mouseClick(rows, Qt::LeftButton, {}, at);
            QMouseEvent twice(QEvent::MouseButtonDblClick, at, rows->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                              {});
            QApplication::sendEvent(rows, &twice);
            QTest::mouseRelease(rows, Qt::LeftButton, {}, at);
        }
        ASSERT_EQ(rtc->sessions.size(), calls + 1);
        form.cmdTerminate->click();
        rtc->fireSessionState(rtc->sessions.last(), rtc::RTCSS_DISCONNECTED);
        EXPECT_TRUE(released());
    }
}

TEST_F(CallStates, ASecondCallIsRefusedWhileOneIsUnderWayWhichCanStillBeEnded) {
    for (const bool connected : {true, false}) {
        SCOPED_TRACE(connected ? "connected" : "being placed");
        form.cmdConnect->click();
        const std::shared_ptr<ScriptedSession> first = rtc->sessions.last();
        rtc->fireSessionState(first, rtc::RTCSS_INPROGRESS);
        if (connected) rtc->fireSessionState(first, rtc::RTCSS_CONNECTED);
        const QString caption = form.fraStatus->title();
        auto second = rtc->incomingSession();
        rtc->fireSessionState(second, rtc::RTCSS_INCOMING);
        // Refused while connected; busy while ours is on its way.
        EXPECT_EQ(terminated(second, connected ? rtc::RTCTR_REJECT : rtc::RTCTR_BUSY), 1);
        rtc->fireSessionState(second, rtc::RTCSS_DISCONNECTED);
        // The refused call's end changes nothing of the call in progress.
        EXPECT_EQ(form.g_objSession, first);
        EXPECT_EQ(form.fraStatus->title(), caption);
        ASSERT_TRUE(form.cmdTerminate->isEnabled());
        form.cmdTerminate->click();
        EXPECT_EQ(terminated(first, rtc::RTCTR_NORMAL), 1);
        rtc->fireSessionState(first, rtc::RTCSS_DISCONNECTED);
        EXPECT_TRUE(released());
    }
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(CallStates, EveryCallIsReportedFromItsStartToOneEndSayingHowItEnded) {
    using Outcome = CallActivity::Outcome;
    std::vector<CallActivity> seen;
    QObject::connect(&form, &frmMain::callActivity, &form, [&](const CallActivity& a) { seen.push_back(a); });
    const auto ringThen = [&](std::function<void(const std::shared_ptr<ScriptedSession>&)> action) {
        auto session = rtc->incomingSession();
        whenRinging([&, session] { action(session); });
        rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
        EXPECT_TRUE(rang());
        rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
    };
    const auto place = [&](bool connects, bool cancel) {
        form.cmdConnect->click();
        const auto session = rtc->sessions.last();
        rtc->fireSessionState(session, rtc::RTCSS_INPROGRESS);
        if (connects) rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
        if (cancel) form.cmdTerminate->click();
        rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
    };
    struct Case {
        const char* what;
        std::function<void()> run;
        std::vector<Outcome> ends; // one per call, in order
    };
    const Case cases[] = {
        {"the caller gives up",
         [&] { ringThen([&](auto s) { rtc->fireSessionState(s, rtc::RTCSS_DISCONNECTED); }); },
         {Outcome::Missed}},
        {"nobody answers", [&] { ringThen([](auto) {}); }, {Outcome::Missed}},
        {"refused with Terminate", [&] { ringThen([&](auto) { form.cmdTerminate->click(); }); }, {Outcome::Declined}},
        {"answered by hand, a second caller turned away meanwhile",
         [&] {
             auto session = rtc->incomingSession();
             whenRinging([&] { form.cmdAnswer->click(); });
             rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
             EXPECT_TRUE(rang());
             EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".Answer")), 1);
             rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
             auto second = rtc->incomingSession();
             rtc->fireSessionState(second, rtc::RTCSS_INCOMING);
             rtc->fireSessionState(second, rtc::RTCSS_DISCONNECTED);
             rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
         },
         {Outcome::Missed, Outcome::Answered}},
        {"ours, answered", [&] { place(true, false); }, {Outcome::Answered}},
        {"ours, cancelled", [&] { place(false, true); }, {Outcome::Cancelled}},
        {"ours, not answered", [&] { place(false, false); }, {Outcome::Failed}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen.clear();
        FrmMainCallAccess::listContact(form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"),
                                       QStringLiteral("127.0.0.2:5060"));
        c.run();
        std::vector<Outcome> ends;
        for (const CallActivity& a : seen)
            if (a.phase == CallActivity::Phase::Ended) ends.push_back(a.outcome);
        EXPECT_EQ(ends, c.ends);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().phase, CallActivity::Phase::Ended);
        EXPECT_TRUE(released());
    }
}

// A caller names itself: the desktop shows one line of printable text, cut short, whatever it sends.
TEST(CallerOnTheDesktop, IsOneShortLineOfPlainText) {
    const QString ellipsis(QChar(0x2026));
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("Ann\nWalker\r\n"), QStringLiteral("Ann Walker")},
        {QStringLiteral("Ann \u202Erellac\u2028 x\u0007"), QStringLiteral("Ann rellac x")},
        {QString(200, QLatin1Char('b')), QString(79, QLatin1Char('b')) + ellipsis},
        // A cut never splits a character in two.
        {QString(78, QLatin1Char('a')) + QStringLiteral("\U0001F600\U0001F600"),
         QString(78, QLatin1Char('a')) + ellipsis},
    };
    for (const auto& [sent, shown] : cases)
        EXPECT_EQ(desktop::CallNotifier::plainLine(sent), shown) << sent.toStdString();
}
