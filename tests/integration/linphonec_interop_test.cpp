// Calls between our liblinphone engine and linphonec (Debian's linphone-cli), a SIP peer we did
// not write, both ways, ended from either side, on 127.0.0.1.
#include "call/rtc/LinphoneEngine.h"
#include "call/rtc/RtcEvents.h"
#include "support/Linphonec.h"
#include "support/TestEnv.h"

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

TEST(LinphonecInterop, ItCallsUsAndWeAnswerAndEitherSideHangsUpOrWeRefuse) {
    if (!haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    enum class End { WeHangUp, ItHangsUp, WeRefuse };
    for (const End end : {End::WeHangUp, End::ItHangsUp, End::WeRefuse}) {
        SCOPED_TRACE(static_cast<int>(end));
        Engine us;
        Linphonec peer(false, QStringLiteral("sip:") + us.address());
        ASSERT_TRUE(peer.started());
        ASSERT_TRUE(us.reached(RTCSS_INCOMING)) << peer.output().toStdString();
        if (end == End::WeRefuse) {
            us.incoming->Terminate(RTCTR_REJECT);
            ASSERT_TRUE(us.reached(RTCSS_DISCONNECTED));
            EXPECT_EQ(us.states, (QList<long>{RTCSS_INCOMING, RTCSS_DISCONNECTED}));
            ASSERT_TRUE(testenv::waitFor(
                [&] { return peer.output().contains(QStringLiteral("declined"), Qt::CaseInsensitive); }, 20000))
                << peer.output().toStdString();
            continue;
        }
        us.incoming->Answer();
        ASSERT_TRUE(us.reached(RTCSS_CONNECTED)) << peer.output().toStdString();
        ASSERT_TRUE(testenv::waitFor([&] { return peer.output().contains(QStringLiteral("connected")); }, 20000))
            << peer.output().toStdString();
        if (end == End::WeHangUp)
            us.incoming->Terminate(RTCTR_NORMAL);
        else
            peer.command("terminate");
        ASSERT_TRUE(us.reached(RTCSS_DISCONNECTED));
        EXPECT_EQ(us.states, (QList<long>{RTCSS_INCOMING, RTCSS_ANSWERING, RTCSS_CONNECTED, RTCSS_DISCONNECTED}));
    }
}
