// Calls between our liblinphone engine and linphonec (Debian's linphone-cli), a SIP peer we did
// not write, both ways, ended from either side, on 127.0.0.1; and the main window refusing,
// cancelling and turning away calls with linphonec at the other end.
#include "app/frmMain.h"
#include "call/linphone/LinphoneEngine.h"
#include "call/rtc/RtcEvents.h"
#include "core/basMain.h"
#include "support/FrmMainCallAccess.h"
#include "support/Linphonec.h"
#include "support/TestEnv.h"

#include <QGroupBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

using namespace rtc;
using testsupport::haveLinphonec;
using testsupport::Linphonec;

namespace {

struct Engine {
    std::shared_ptr<LinphoneEngine> engine = LinphoneEngine::create();
    QList<long> states;
    std::shared_ptr<IRTCSession2> incoming;

    Engine() {
        engine->InitializeEx(RTCIF_DISABLE_UPNP);
        engine->put_EventFilter(kProgramEventFilter);
        engine->setEventSink([this](long kind, std::shared_ptr<IRTCEvent> event) {
            if (kind != RTCE_SESSION_STATE_CHANGE) return;
            auto e = std::dynamic_pointer_cast<IRTCSessionStateChangeEvent>(event);
            states.append(e->get_State());
            if (e->get_State() == RTCSS_INCOMING) incoming = e->get_Session();
        });
        engine->put_ListenForIncomingSessions(RTCLM_BOTH);
    }
    ~Engine() { engine->Shutdown(); }
    bool reached(long state) {
        return testenv::waitFor([&] { return states.contains(state); }, 30000);
    }
    QString address() const { return QStringLiteral("127.0.0.1:") + QString::number(engine->sipPort()); }
};

} // namespace

TEST(LinphonecInterop, WeCallItAndEitherSideHangsUp) {
    if (!haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    for (const bool weHangUp : {true, false}) {
        SCOPED_TRACE(weHangUp ? "we hang up" : "linphonec hangs up");
        Linphonec peer(true);
        ASSERT_TRUE(peer.started());
        Engine us;
        // linphonec is ready once it shows its prompt.
        ASSERT_TRUE(testenv::waitFor([&] { return peer.output().contains(QStringLiteral("linphonec>")); }, 20000));
        auto session = us.engine->CreateSession(RTCST_PC_TO_PC, {}, 0);
        session->AddParticipant(QStringLiteral("sip:") + peer.address(), QStringLiteral("linphonec"));
        ASSERT_TRUE(us.reached(RTCSS_CONNECTED)) << peer.output().toStdString();
        if (weHangUp)
            session->Terminate(RTCTR_NORMAL);
        else
            peer.command("terminate");
        ASSERT_TRUE(us.reached(RTCSS_DISCONNECTED));
        EXPECT_EQ(us.states, (QList<long>{RTCSS_INPROGRESS, RTCSS_CONNECTED, RTCSS_DISCONNECTED}));
        ASSERT_TRUE(testenv::waitFor([&] { return peer.output().contains(QStringLiteral("ended")); }, 20000))
            << peer.output().toStdString();
    }
}

TEST(LinphonecInterop, ItCallsUsAndWeAnswerAndEitherSideHangsUp) {
    if (!haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    for (const bool weHangUp : {true, false}) {
        SCOPED_TRACE(weHangUp ? "we hang up" : "linphonec hangs up");
        Engine us;
        Linphonec peer(false, QStringLiteral("sip:") + us.address());
        ASSERT_TRUE(peer.started());
        ASSERT_TRUE(us.reached(RTCSS_INCOMING)) << peer.output().toStdString();
        us.incoming->Answer();
        ASSERT_TRUE(us.reached(RTCSS_CONNECTED)) << peer.output().toStdString();
        ASSERT_TRUE(testenv::waitFor([&] { return peer.output().contains(QStringLiteral("connected")); }, 20000))
            << peer.output().toStdString();
        if (weHangUp)
            us.incoming->Terminate(RTCTR_NORMAL);
        else
            peer.command("terminate");
        ASSERT_TRUE(us.reached(RTCSS_DISCONNECTED));
        EXPECT_EQ(us.states, (QList<long>{RTCSS_INCOMING, RTCSS_ANSWERING, RTCSS_CONNECTED, RTCSS_DISCONNECTED}));
    }
}

namespace {

// The main window with the real engine, and a user list with one row to call.
struct Window {
    testenv::TestEnv env;
    frmMain form;
    vb::ListItem* row = nullptr;
    Window() {
        int step = 0;
        FrmMainCallAccess::initRtc(form, step);
        form.cmdTerminate->setEnabled(false); // as start-up leaves them
        form.cmdAnswer->setEnabled(false);
        for (const char* caption : {"Status", "Display Name", "Email", "IP", "OnLine Date"})
            form.LstUsers->addColumn(QString::fromLatin1(caption), 80);
        row = form.LstUsers->add(QStringLiteral("On"));
        row->setSubItem(1, QStringLiteral("Ann"));
        row->setSubItem(2, QStringLiteral("ann@x.org"));
    }
    ~Window() {
        int cancel = 0;
        if (form.g_objRTCClient) form.Form_Unload(cancel);
    }
    void call(const QString& address) {
        row->setTag(address);
        row->setSelected(true);
        form.LstUsers_ItemClick(row);
        form.cmdConnect->click();
    }
    QString caption() const { return form.fraStatus->title(); }
    bool released() {
        return testenv::waitFor([&] { return !form.g_objSession && form.LstUsers->isEnabled(); }, 30000);
    }
};

} // namespace

TEST(LinphonecInterop, TheWindowNamesARingingCallerAndTerminateRefusesIt) {
    if (!haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    Window window;
    ASSERT_FALSE(basMain::g_strMyWanIP.isEmpty());
    QString ringing;
    QTimer refuse; // the user refuses the call while it rings
    refuse.setInterval(20);
    QObject::connect(&refuse, &QTimer::timeout, [&] {
        if (!window.form.cmdAnswer->isEnabled()) return; // not ringing yet
        refuse.stop();
        ringing = window.caption();
        EXPECT_TRUE(window.form.cmdTerminate->isEnabled());
        window.form.cmdTerminate->click();
    });
    refuse.start();
    Linphonec peer(false, QStringLiteral("sip:") + basMain::g_strMyWanIP);
    ASSERT_TRUE(peer.started());
    ASSERT_TRUE(testenv::waitFor(
        [&] { return peer.output().contains(QStringLiteral("declined"), Qt::CaseInsensitive); }, 30000))
        << peer.output().toStdString();
    // A caller that is not in the list is named by its SIP identity.
    EXPECT_TRUE(ringing.startsWith(QStringLiteral("Status: INCOMING User: linphonec peer    sip:peer@127.0.0.1")))
        << ringing.toStdString();
    EXPECT_TRUE(window.released());
    EXPECT_EQ(window.caption(), QStringLiteral("Status: DISCONNECTED"));
    EXPECT_EQ(window.form.g_intIncomingCount, 0);
}

TEST(LinphonecInterop, ACallArrivingWhileOursRingsIsRefusedAndOursCanBeCancelled) {
    if (!haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    Window window;
    Linphonec callee(false); // lets our call ring
    ASSERT_TRUE(callee.started());
    ASSERT_TRUE(testenv::waitFor([&] { return callee.output().contains(QStringLiteral("linphonec>")); }, 20000));
    window.call(callee.address());
    ASSERT_TRUE(testenv::waitFor([&] { return window.caption() == QStringLiteral("Status: INPROGRESS"); }, 30000));
    ASSERT_TRUE(testenv::waitFor(
        [&] { return callee.output().contains(QStringLiteral("Receiving new incoming call")); }, 30000))
        << callee.output().toStdString();
    const auto ours = window.form.g_objSession;

    Linphonec caller(false, QStringLiteral("sip:") + basMain::g_strMyWanIP);
    ASSERT_TRUE(caller.started());
    // linphonec reports the refusal (486 Busy Here) as an error of its call.
    ASSERT_TRUE(testenv::waitFor(
        [&] {
            return caller.output().contains(QStringLiteral("Call 1 with sip:") + basMain::g_strMyWanIP +
                                            QStringLiteral(" error"));
        },
        30000))
        << caller.output().toStdString();
    // Its end reaches the window and only lowers the count of incoming calls.
    ASSERT_TRUE(testenv::waitFor([&] { return window.form.g_intIncomingCount == 0; }, 30000));
    EXPECT_EQ(window.form.g_objSession, ours);
    EXPECT_EQ(window.caption(), QStringLiteral("Status: INPROGRESS"));

    ASSERT_TRUE(window.form.cmdTerminate->isEnabled());
    window.form.cmdTerminate->click();
    EXPECT_TRUE(window.released());
    EXPECT_EQ(window.caption(), QStringLiteral("Status: DISCONNECTED"));
    ASSERT_TRUE(testenv::waitFor([&] { return callee.output().contains(QStringLiteral("ended")); }, 20000))
        << callee.output().toStdString();
    EXPECT_EQ(window.form.g_intIncomingCount, 0);
}
