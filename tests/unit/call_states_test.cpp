// Placing, answering, refusing and ending calls through the session states of the scripted engine.
#include "app/CallHelpers.h"
#include "app/frmMain.h"
#include "core/basMain.h"
#include "platform/widgets/Controls.h"
#include "support/FrmMainCallAccess.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace basMain;
using testrtc::ScriptedRtc;
using testrtc::ScriptedRtcFactory;
using testrtc::ScriptedSession;

namespace {

// The other party as the captions name it: a listed contact by its display name and e-mail
// address, anybody else by its SIP identity.
const QString kAnn = QStringLiteral("User: Ann    ann@x.org");
const QString kOther = QStringLiteral("User: other    sip:other@127.0.0.3:5060");
const QString kReady = QStringLiteral("RTCClient is initialized and ready to make/receive calls.");

class CallStates : public ::testing::Test {
protected:
    testenv::TestEnv env;
    ScriptedRtcFactory factory;
    frmMain form;
    std::shared_ptr<ScriptedRtc> rtc;

    void SetUp() override {
        env.makeLogsFolder();
        callengine::setRingPassMsForTesting(0); // the full count of passes, each as short as it gets
        int step = 0;
        FrmMainCallAccess::initRtc(form, step);
        rtc = factory.last();
        form.cmdTerminate->setEnabled(false);
        form.cmdAnswer->setEnabled(false);
        for (const char* caption : {"Status", "Display Name", "Email", "IP", "OnLine Date"})
            form.LstUsers->addColumn(QString::fromLatin1(caption), 80);
        vb::ListItem* row = form.LstUsers->add(QStringLiteral("On"));
        form.LstUsers->setKey(row, QStringLiteral("A17"));
        row->setSubItem(1, QStringLiteral("Ann"));
        row->setSubItem(2, QStringLiteral("ann@x.org"));
        row->setTag(QStringLiteral("127.0.0.2:5060"));
        row->setSelected(true);
        form.cmdConnect->setEnabled(true);
    }
    void TearDown() override { callengine::setRingPassMsForTesting(-1); }

    QString caption() const { return form.fraStatus->title(); }
    bool locked() const {
        return !form.cmdConnect->isEnabled() && !form.cmdManageContacts->isEnabled() &&
               !form.tmrServerCall->isActive() && !form.fraSend->isEnabled() && !form.fraReceive->isEnabled() &&
               !form.LstUsers->isEnabled();
    }
    bool released() const {
        return form.chkOptions[5]->isEnabled() && form.cmdWizard->isEnabled() && !form.cmdAnswer->isEnabled() &&
               !form.cmdTerminate->isEnabled() && form.cmdConnect->isEnabled() && form.cmdManageContacts->isEnabled() &&
               form.tmrServerCall->isActive() && form.fraSend->isEnabled() && form.fraReceive->isEnabled() &&
               form.LstUsers->isEnabled();
    }
    int rings() const { return rtc->count(QStringLiteral("PlayRing(0, 1)")); }
    // Runs `action` once, at the first chance the ringing loop lets events run.
    void whenRinging(std::function<void()> action) {
        auto* poll = new QTimer(&form); // owned by the form
        poll->setInterval(0);
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll, action = std::move(action)] {
            if (!form.cmdAnswer->isEnabled()) return;
            poll->stop();
            poll->deleteLater();
            action();
        });
        poll->start();
    }

    std::shared_ptr<ScriptedSession> placeCall() {
        form.cmdConnect_Click();
        return rtc->sessions.last();
    }
    // An incoming call answered by hand, not yet connected.
    std::shared_ptr<ScriptedSession> answerIncoming() {
        auto session = rtc->incomingSession();
        whenRinging([this] { form.cmdAnswer->click(); });
        rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
        rtc->fireSessionState(session, rtc::RTCSS_ANSWERING);
        return session;
    }
    std::shared_ptr<ScriptedSession> connectIncoming() {
        auto session = answerIncoming();
        rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
        return session;
    }
};

} // namespace

TEST_F(CallStates, OutgoingCallRunsThroughItsStates) {
    g_intOnLineTicks = 20;
    form.tmrUpdateUserOnLine->start();
    auto session = placeCall();
    EXPECT_TRUE(rtc->calls().contains(QStringLiteral("CreateSession(0, , 0)")));
    EXPECT_TRUE(rtc->calls().contains(QStringLiteral("Session1.AddParticipant(sip:127.0.0.2:5060, Ann [ann@x.org])")));
    EXPECT_EQ(form.g_objSession, session);
    EXPECT_FALSE(form.tmrUpdateUserOnLine->isActive());
    EXPECT_EQ(g_intOnLineTicks, 1);
    EXPECT_FALSE(form.cmdConnect->isEnabled());

    rtc->fireSessionState(session, rtc::RTCSS_INPROGRESS);
    EXPECT_EQ(caption(), QStringLiteral("Status: INPROGRESS"));
    EXPECT_TRUE(locked());
    EXPECT_FALSE(form.cmdWizard->isEnabled());
    EXPECT_TRUE(form.cmdTerminate->isEnabled()); // the call can be cancelled
    EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbBlue);

    rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
    EXPECT_EQ(caption(), QStringLiteral("Status: CONNECTED ") + kAnn);
    EXPECT_TRUE(form.g_blnCallConnected);
    EXPECT_TRUE(form.cmdTerminate->isEnabled());
    EXPECT_FALSE(form.chkOptions[5]->isEnabled());

    rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
    EXPECT_EQ(caption(), QStringLiteral("Status: DISCONNECTED"));
    EXPECT_EQ(form.txtStatus->toPlainText(), kReady);
    EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbBlack);
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.RemoveParticipant(sip:127.0.0.2:5060)")), 1);
    EXPECT_EQ(form.g_objSession, nullptr);
    EXPECT_TRUE(released());
    EXPECT_EQ(form.windowTitle(), frmMain::versionCaption());
    EXPECT_FALSE(form.g_blnCallConnected);
    EXPECT_TRUE(form.tmrUpdateUserOnLine->isActive());
    // An outgoing call never raised the count of incoming calls, so its end leaves it at zero.
    EXPECT_EQ(form.g_intIncomingCount, 0);
    EXPECT_TRUE(env.logLines().isEmpty());

    // Through the alternate server contacts cannot be managed, and a call's end keeps it so; with
    // no row selected there is nobody to connect to.
    g_strAltServerBase = QStringLiteral("http://127.0.0.1/");
    session = placeCall();
    rtc->fireSessionState(session, rtc::RTCSS_INPROGRESS);
    form.LstUsers->itemAt(0)->setSelected(false);
    rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
    EXPECT_FALSE(form.cmdManageContacts->isEnabled());
    EXPECT_FALSE(form.cmdConnect->isEnabled());
    EXPECT_TRUE(form.LstUsers->isEnabled());
}

TEST_F(CallStates, PlacingACallThatFailsSaysWhyAndLogsTheStep) {
    struct FailCase {
        const char* operation; // empty: no row selected
        QString tag;           // the row's call address
        QString logged;
        QString status; // how the red text in the status box begins
    };
    const FailCase cases[] = {
        {"", "127.0.0.2:5060", "cmdConnect_Click[0]", "No contact is selected: click a contact in the list"},
        {"CreateSession", "127.0.0.2:5060", "cmdConnect_Click[1]", "The call could not be placed: "},
        {"Session1.AddParticipant", "127.0.0.2:5060", "cmdConnect_Click[5] sip:127.0.0.2:5060|Ann [ann@x.org]",
         "Ann cannot be called now: no call address."},
        {"-", "", "cmdConnect_Click[5] sip:|Ann [ann@x.org]", "Ann cannot be called now: no call address."},
        {"-", "ann@x.org", "cmdConnect_Click[5] sip:ann@x.org|Ann [ann@x.org]", "Ann cannot be called now"},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.logged.toStdString());
        const auto before = env.logLines().size();
        rtc->log->calls.clear();
        rtc->sessions.clear();
        rtc->clearFailures();
        form.txtStatus->clear();
        vb::ListItem* row = form.LstUsers->itemAt(0);
        row->setSelected(QString::fromLatin1(c.operation).size() > 0);
        row->setTag(c.tag);
        if (*c.operation) rtc->failOn(QString::fromLatin1(c.operation));
        form.tmrServerCall->start();
        form.cmdConnect->setEnabled(true);
        form.cmdConnect_Click();
        ASSERT_EQ(env.logLines().size(), before + 1);
        EXPECT_TRUE(env.logLines().last().startsWith(c.logged + QStringLiteral(" - ")));
        EXPECT_TRUE(form.txtStatus->toPlainText().startsWith(c.status)) << form.txtStatus->toPlainText().toStdString();
        EXPECT_EQ(vb::ForeColor(*form.txtStatus), vb::vbRed);
        // No call is left standing, and nobody is called at an address that is none.
        EXPECT_EQ(form.g_objSession, nullptr);
        EXPECT_EQ(rtc->count(QStringLiteral("Session1.AddParticipant(sip:,")), 0);
        // Both stay off until a row is clicked again or a session event releases them.
        EXPECT_FALSE(form.cmdConnect->isEnabled());
        EXPECT_FALSE(form.tmrServerCall->isActive());
    }
}

TEST_F(CallStates, IncomingCallAnsweredByHandWhileASecondIsRefused) {
    auto first = rtc->incomingSession();
    auto second = rtc->incomingSession(QStringLiteral("sip:other@127.0.0.3:5060"), QStringLiteral("other"));
    whenRinging([&] {
        // While it rings: the form is locked and the answer button is offered.
        EXPECT_TRUE(locked());
        EXPECT_TRUE(form.cmdAnswer->isEnabled());
        EXPECT_EQ(caption(), QStringLiteral("Status: INCOMING ") + kAnn);
        EXPECT_TRUE(form.cmdTerminate->isEnabled()); // the call can be refused
        EXPECT_EQ(form.g_objSession, nullptr);
        // A second call meanwhile is refused, and its end only lowers the count.
        rtc->fireSessionState(second, rtc::RTCSS_INCOMING);
        EXPECT_EQ(rtc->count(QStringLiteral("Session2.Terminate(3)")), 1);
        EXPECT_EQ(form.g_intIncomingCount, 2);
        rtc->fireSessionState(second, rtc::RTCSS_DISCONNECTED);
        EXPECT_EQ(form.g_intIncomingCount, 1);
        form.cmdAnswer->click();
    });
    rtc->fireSessionState(first, rtc::RTCSS_INCOMING);
    EXPECT_EQ(rings(), 1);
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Answer()")), 1);
    EXPECT_EQ(form.g_objSession, first);
    EXPECT_EQ(form.g_intIncomingCount, 1);

    rtc->fireSessionState(first, rtc::RTCSS_ANSWERING);
    EXPECT_EQ(caption(), QStringLiteral("Status: ANSWERING"));
    EXPECT_FALSE(form.cmdAnswer->isEnabled());
    EXPECT_TRUE(form.tmrRegistration->isActive());
    rtc->fireSessionState(first, rtc::RTCSS_CONNECTED);
    EXPECT_TRUE(form.g_blnCallConnected);
    // The first call's end releases the form, though a second call came and went meanwhile.
    rtc->fireSessionState(first, rtc::RTCSS_DISCONNECTED);
    EXPECT_TRUE(released());
    EXPECT_EQ(form.g_intIncomingCount, 0);
    EXPECT_EQ(form.g_objSession, nullptr);
}

TEST_F(CallStates, AutoAnswerRingsOnceAndAnswersAtOnce) {
    vb::setValue(*form.chkAutoAnswer, vb::vbChecked);
    auto session = rtc->incomingSession();
    rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
    EXPECT_EQ(rings(), 1);
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Answer()")), 1);
    EXPECT_EQ(form.g_objSession, session);
}

TEST_F(CallStates, UnansweredCallRingsElevenTimesAndIsRefused) {
    auto session = rtc->incomingSession();
    rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
    EXPECT_EQ(rings(), 11); // passes 1, 400, 800, …, 4000
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Terminate(3)")), 1);
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Answer()")), 0);
    EXPECT_EQ(form.g_objSession, session);
    EXPECT_FALSE(form.g_blnCallConnected);
    EXPECT_TRUE(locked()); // until its end arrives
    rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
    EXPECT_TRUE(released());
    EXPECT_EQ(form.g_intIncomingCount, 0);
}

TEST_F(CallStates, CallerGivingUpEndsTheRinging) {
    for (const bool manualClicked : {false, true}) {
        SCOPED_TRACE(manualClicked ? "Manual clicked as the caller hangs up" : "caller hangs up");
        rtc->log->calls.clear();
        auto session = rtc->incomingSession();
        whenRinging([&] {
            if (manualClicked) form.cmdAnswer->click();
            rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
        });
        rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
        EXPECT_EQ(rings(), 1);
        EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".Terminate")), 0);
        // The dead session is not answered, nor kept as the call in progress.
        EXPECT_EQ(rtc->count(session->name() + QStringLiteral(".Answer")), 0);
        EXPECT_EQ(form.g_objSession, nullptr);
        EXPECT_TRUE(released());
        EXPECT_EQ(form.g_intIncomingCount, 0);
    }
}

TEST_F(CallStates, SecondCallIsRefusedWhileOneIsConnectedOrBeingPlaced) {
    enum class First { IncomingConnected, OutgoingConnected, OutgoingInProgress };
    for (const First firstCall : {First::IncomingConnected, First::OutgoingConnected, First::OutgoingInProgress}) {
        SCOPED_TRACE(static_cast<int>(firstCall));
        std::shared_ptr<ScriptedSession> first;
        if (firstCall == First::IncomingConnected) {
            first = connectIncoming();
        } else {
            first = placeCall();
            rtc->fireSessionState(first, rtc::RTCSS_INPROGRESS);
            if (firstCall == First::OutgoingConnected) rtc->fireSessionState(first, rtc::RTCSS_CONNECTED);
        }
        const QString captionBefore = caption();
        const short countBefore = form.g_intIncomingCount;
        auto second = rtc->incomingSession(QStringLiteral("sip:other@127.0.0.3:5060"), QStringLiteral("other"));
        rtc->fireSessionState(second, rtc::RTCSS_INCOMING);
        // Refused while connected; busy while ours is on its way.
        const long reason = firstCall == First::OutgoingInProgress ? rtc::RTCTR_BUSY : rtc::RTCTR_REJECT;
        EXPECT_EQ(rtc->count(second->name() + QStringLiteral(".Terminate(%1)").arg(reason)), 1);
        EXPECT_EQ(rings(), firstCall == First::IncomingConnected ? 1 : 0);
        rtc->fireSessionState(second, rtc::RTCSS_DISCONNECTED);
        // The refused call's end changes nothing of the call in progress, which can still be ended.
        EXPECT_EQ(form.g_intIncomingCount, countBefore);
        EXPECT_EQ(form.g_objSession, first);
        EXPECT_EQ(caption(), captionBefore);
        EXPECT_TRUE(form.cmdTerminate->isEnabled());
        form.cmdTerminate->click();
        EXPECT_EQ(rtc->count(first->name() + QStringLiteral(".Terminate(0)")), 1);
        rtc->fireSessionState(first, rtc::RTCSS_DISCONNECTED);
        EXPECT_TRUE(released());
        EXPECT_EQ(form.g_intIncomingCount, 0);
        rtc->log->calls.clear();
    }
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(CallStates, TerminateRefusesARingingCall) {
    auto session = rtc->incomingSession(QStringLiteral("sip:other@127.0.0.3:5060"), QStringLiteral("other"));
    g_intOnLineTicks = 9;
    whenRinging([&] {
        EXPECT_EQ(caption(), QStringLiteral("Status: INCOMING ") + kOther);
        form.cmdTerminate->click();
    });
    rtc->fireSessionState(session, rtc::RTCSS_INCOMING);
    // Refused, the ring stopped, and the ringing over at once; nothing answered.
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Terminate(3)")), 1);
    EXPECT_EQ(rtc->count(QStringLiteral("PlayRing(0, 0)")), 1);
    EXPECT_EQ(rings(), 1);
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Answer")), 0);
    EXPECT_FALSE(form.cmdTerminate->isEnabled());
    EXPECT_TRUE(form.tmrUpdateUserOnLine->isActive());
    EXPECT_EQ(g_intOnLineTicks, 1);
    rtc->fireSessionState(session, rtc::RTCSS_DISCONNECTED);
    EXPECT_TRUE(released());
    EXPECT_EQ(form.g_intIncomingCount, 0);

    // With no call at all there is nothing to end.
    form.cmdTerminate_Click();
    ASSERT_EQ(env.logLines().size(), 1);
    EXPECT_TRUE(env.logLines().first().startsWith(QStringLiteral("cmdTerminate_Click[0] - ")));
}

TEST_F(CallStates, AnswerTimeOutEndsACallStuckInAnswering) {
    answerIncoming();
    EXPECT_TRUE(form.tmrRegistration->isActive());
    form.tmrRegistration_Timer();
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Terminate(4)")), 1);
    EXPECT_FALSE(form.tmrRegistration->isActive());
    EXPECT_FALSE(g_blnRegistrationTimeOut);
}

TEST_F(CallStates, AnswerTimeOutLeavesACallThatGotThrough) {
    connectIncoming();
    // The timer is still running; its tick only marks the registration wait as timed out.
    EXPECT_TRUE(form.tmrRegistration->isActive());
    form.tmrRegistration_Timer();
    EXPECT_TRUE(g_blnRegistrationTimeOut);
    EXPECT_FALSE(form.tmrRegistration->isActive());
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Terminate")), 0);

    // During the sign-off the tick ends the wait and nothing else.
    g_blnRegistrationTimeOut = false;
    g_blnLogOffPending = true;
    form.fraStatus->setTitle(QStringLiteral("Status: ANSWERING"));
    form.tmrRegistration_Timer();
    EXPECT_FALSE(g_blnLogOffPending);
    EXPECT_FALSE(g_blnRegistrationTimeOut);
    EXPECT_EQ(rtc->count(QStringLiteral("Session1.Terminate")), 0);

    // With no session to end, the failure is logged under its marker.
    form.g_objSession.reset();
    form.tmrRegistration_Timer();
    ASSERT_EQ(env.logLines().size(), 1);
    EXPECT_TRUE(env.logLines().first().startsWith(QStringLiteral("tmrRegistration_Timer [3] - ")));
}

TEST_F(CallStates, OtherStatesOnlyChangeTheCaption) {
    const std::pair<long, const char*> cases[] = {
        {rtc::RTCSS_HOLD, "Status: HOLD"},
        {rtc::RTCSS_REFER, "Status: REFERRED"},
        {42, "Status: before"},
    };
    auto session = rtc->incomingSession();
    for (const auto& [state, expected] : cases) {
        form.fraStatus->setTitle(QStringLiteral("Status: before"));
        rtc->fireSessionState(session, state);
        EXPECT_EQ(caption(), QString::fromLatin1(expected));
    }
    EXPECT_EQ(form.g_intIncomingCount, 0);
}

TEST_F(CallStates, AFailingStatementEndsTheHandlingOfThatEvent) {
    auto session = placeCall();
    rtc->fireSessionState(session, rtc::RTCSS_INPROGRESS);
    rtc->failOn(QStringLiteral("Session1.get_Participants"));
    rtc->fireSessionState(session, rtc::RTCSS_CONNECTED);
    ASSERT_EQ(env.logLines().size(), 1);
    EXPECT_TRUE(env.logLines().first().startsWith(QStringLiteral("SessionStateEvent[21] - ")));
    EXPECT_TRUE(form.chkOptions[5]->isEnabled()); // what comes after the failure did not run
    EXPECT_TRUE(form.g_blnCallConnected);         // what ran before the failure stands
    // An event of another kind fails before any state is read.
    form.SessionStateEvent(std::make_shared<rtc::ClientEventData>(1));
    EXPECT_TRUE(env.logLines().last().startsWith(QStringLiteral("SessionStateEvent[0] - ")));
}
