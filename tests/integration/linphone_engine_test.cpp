// Two real liblinphone engines in one process call each other over SIP on 127.0.0.1.
#include "app/frmMain.h"
#include "call/linphone/LinphoneEngine.h"
#include "call/rtc/RtcEvents.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"
#include "support/FrmMainCallAccess.h"
#include "support/TestEnv.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QGroupBox>
#include <QHostAddress>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>
#include <linphone++/linphone.hh>

#include <cstdio>

using namespace rtc;

namespace {

// One engine and everything it reported.
struct Peer {
    std::shared_ptr<LinphoneEngine> engine = LinphoneEngine::create();
    QList<long> states;                                 // session states in the order reported
    QList<std::shared_ptr<IRTCSession2>> stateSessions; // the session of each state event
    QList<std::pair<long, long>> media;                 // (event type, media type)
    QList<long> kinds;                                  // every event kind delivered
    QList<long> statusCodes;                            // status code of each state event
    QList<long> operationCodes;                         // status codes of operation-complete events
    std::shared_ptr<IRTCSession2> incoming;             // the last session that came in

    explicit Peer(long filter = kProgramEventFilter) {
        engine->InitializeEx(RTCIF_DISABLE_UPNP);
        engine->put_EventFilter(filter);
        engine->setEventSink([this](long kind, std::shared_ptr<IRTCEvent> event) { record(kind, event); });
        engine->put_ListenForIncomingSessions(RTCLM_BOTH);
    }
    ~Peer() {
        try {
            if (engine) engine->Shutdown();
        } catch (...) {
        }
    }

    void record(long kind, const std::shared_ptr<IRTCEvent>& event) {
        kinds.append(kind);
        if (kind == RTCE_SESSION_STATE_CHANGE) {
            auto e = std::dynamic_pointer_cast<IRTCSessionStateChangeEvent>(event);
            states.append(e->get_State());
            stateSessions.append(e->get_Session());
            statusCodes.append(e->get_StatusCode());
            if (e->get_State() == RTCSS_INCOMING) incoming = e->get_Session();
        } else if (kind == RTCE_MEDIA) {
            auto e = std::dynamic_pointer_cast<IRTCMediaEvent>(event);
            media.append({e->get_EventType(), e->get_MediaType()});
        } else if (kind == RTCE_SESSION_OPERATION_COMPLETE) {
            operationCodes.append(
                std::dynamic_pointer_cast<IRTCSessionOperationCompleteEvent>(event)->get_StatusCode());
        }
    }

    // The loopback address text this engine reports, "127.0.0.1:port".
    QString loopbackAddress() const {
        for (const QString& text : engine->get_NetworkAddresses(false, false))
            if (text.startsWith(QStringLiteral("127.0.0.1:"))) return text;
        return {};
    }

    bool reached(long state) const { return states.contains(state); }
};

bool waitState(const Peer& peer, long state) {
    return testenv::waitFor([&] { return peer.reached(state); }, 20000);
}

// Places a call from `caller` to `callee` and returns the caller's session.
std::shared_ptr<IRTCSession2> call(Peer& caller, const Peer& callee) {
    auto session = caller.engine->CreateSession(RTCST_PC_TO_PC, {}, 0);
    session->AddParticipant(QStringLiteral("sip:") + callee.loopbackAddress(), QStringLiteral("Callee [b@x.org]"));
    return session;
}

const QList<long> kOutgoing{RTCSS_INPROGRESS, RTCSS_CONNECTED, RTCSS_DISCONNECTED};
const QList<long> kIncoming{RTCSS_INCOMING, RTCSS_ANSWERING, RTCSS_CONNECTED, RTCSS_DISCONNECTED};

} // namespace

TEST(LinphoneEngine, ReportsItsListeningAddressesWithDistinctPorts) {
    Peer a, b;
    const QString addressA = a.loopbackAddress();
    const QString addressB = b.loopbackAddress();
    ASSERT_FALSE(addressA.isEmpty());
    ASSERT_FALSE(addressB.isEmpty());
    EXPECT_NE(addressA, addressB);
    EXPECT_EQ(QString::number(a.engine->sipPort()), addressA.section(':', 1));
    // Every text is "address:port" with the port the engine really listens on (their order is
    // tested on classifyAddresses in rtc_setup_test).
    const QStringList internal = a.engine->get_NetworkAddresses(false, false);
    for (const QString& text : internal + a.engine->get_NetworkAddresses(false, true)) {
        EXPECT_FALSE(QHostAddress(text.section(':', 0, 0)).isNull()) << text.toStdString();
        EXPECT_EQ(text.section(':', 1), QString::number(a.engine->sipPort()));
    }
    EXPECT_TRUE(a.engine->get_NetworkAddresses(true, false).isEmpty());
}

TEST(LinphoneEngine, CallConnectsAndEndsFromEitherSide) {
    for (const bool callerHangsUp : {true, false}) {
        SCOPED_TRACE(callerHangsUp ? "caller hangs up" : "callee hangs up");
        Peer a, b;
        auto outgoing = call(a, b);
        ASSERT_TRUE(waitState(b, RTCSS_INCOMING));
        EXPECT_EQ(b.incoming->get_State(), RTCSS_INCOMING);
        b.incoming->Answer();
        ASSERT_TRUE(waitState(a, RTCSS_CONNECTED));
        ASSERT_TRUE(waitState(b, RTCSS_CONNECTED));
        EXPECT_EQ(outgoing->get_State(), RTCSS_CONNECTED);

        (callerHangsUp ? outgoing : b.incoming)->Terminate(RTCTR_NORMAL);
        ASSERT_TRUE(waitState(a, RTCSS_DISCONNECTED));
        ASSERT_TRUE(waitState(b, RTCSS_DISCONNECTED));
        EXPECT_EQ(a.states, kOutgoing);
        EXPECT_EQ(b.states, kIncoming);
        // Each event names its own session.
        for (const auto& session : a.stateSessions)
            EXPECT_EQ(session, outgoing);
        for (const auto& session : b.stateSessions)
            EXPECT_EQ(session, b.incoming);
        // Audio ran both ways (from files when there is no sound card) and stopped at the end.
        EXPECT_TRUE(a.media.contains({RTCMET_STARTED, RTCMT_AUDIO_SEND}));
        EXPECT_TRUE(a.media.contains({RTCMET_STARTED, RTCMT_AUDIO_RECEIVE}));
        EXPECT_TRUE(b.media.contains({RTCMET_STOPPED, RTCMT_AUDIO_SEND}));
        EXPECT_TRUE(a.operationCodes.isEmpty());
        // Ending an ended session again is harmless.
        EXPECT_NO_THROW(outgoing->Terminate(RTCTR_NORMAL));
    }
}

// The caller's filter lets session states through and nothing else: no media events, no
// operation-complete events, though both arrive at the callee.
TEST(LinphoneEngine, ParticipantsNameBothEndsAndTheFilterDecidesWhichKindsArrive) {
    Peer a(1L << RTCE_SESSION_STATE_CHANGE), b;
    auto outgoing = call(a, b);
    ASSERT_TRUE(waitState(b, RTCSS_INCOMING));
    auto mine = outgoing->get_Participants();
    ASSERT_EQ(mine->get_Count(), 1);
    EXPECT_EQ(mine->get_Item(1)->get_Name(), QStringLiteral("Callee [b@x.org]"));
    EXPECT_EQ(mine->get_Item(1)->get_UserURI(), QStringLiteral("sip:") + b.loopbackAddress());
    EXPECT_THROW(mine->get_Item(2), vb::VbError);
    auto theirs = b.incoming->get_Participants();
    ASSERT_EQ(theirs->get_Count(), 1);
    EXPECT_TRUE(theirs->get_Item(1)->get_UserURI().startsWith(QStringLiteral("sip:")));
    EXPECT_EQ(outgoing->get_Client(), a.engine);
    // A PC-to-PC session takes one participant.
    EXPECT_THROW(outgoing->AddParticipant(QStringLiteral("sip:127.0.0.1:9"), {}), vb::VbError);
    b.incoming->Answer();
    ASSERT_TRUE(waitState(a, RTCSS_CONNECTED));
    ASSERT_TRUE(testenv::waitFor([&] { return !b.media.isEmpty(); }));

    // Removing the one participant ends the call on both sides.
    outgoing->RemoveParticipant(mine->get_Item(1));
    EXPECT_EQ(outgoing->get_Participants()->get_Count(), 0);
    ASSERT_TRUE(waitState(a, RTCSS_DISCONNECTED));
    ASSERT_TRUE(waitState(b, RTCSS_DISCONNECTED));
    EXPECT_THROW(outgoing->RemoveParticipant(mine->get_Item(1)), vb::VbError);
    for (long kind : a.kinds)
        EXPECT_EQ(kind, RTCE_SESSION_STATE_CHANGE);
    EXPECT_TRUE(a.media.isEmpty());
}

TEST(LinphoneEngine, EndingBeforeTheAnswerRefusesOrCancels) {
    struct Case {
        const char* name;
        bool calleeEnds;
        long reason;
        long callerCode; // status the caller's DISCONNECTED carries
    };
    const Case cases[] = {
        {"callee rejects", true, RTCTR_REJECT, 603},
        {"callee busy", true, RTCTR_BUSY, 486},
        {"caller cancels", false, RTCTR_NORMAL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer a, b;
        auto outgoing = call(a, b);
        ASSERT_TRUE(waitState(b, RTCSS_INCOMING));
        (c.calleeEnds ? b.incoming : outgoing)->Terminate(c.reason);
        ASSERT_TRUE(waitState(a, RTCSS_DISCONNECTED));
        ASSERT_TRUE(waitState(b, RTCSS_DISCONNECTED));
        EXPECT_EQ(a.states, (QList<long>{RTCSS_INPROGRESS, RTCSS_DISCONNECTED}));
        EXPECT_EQ(b.states, (QList<long>{RTCSS_INCOMING, RTCSS_DISCONNECTED}));
        if (c.calleeEnds) {
            EXPECT_EQ(a.statusCodes.last(), c.callerCode);
            ASSERT_TRUE(testenv::waitFor([&] { return !a.operationCodes.isEmpty(); }));
            EXPECT_EQ(a.operationCodes, QList<long>{c.callerCode});
        }
        // A refused call cannot be answered any more.
        EXPECT_THROW(b.incoming->Answer(), vb::VbError);
    }
}

TEST(LinphoneEngine, NotListeningTurnsCallsAway) {
    Peer a, b;
    b.engine->put_ListenForIncomingSessions(RTCLM_NONE);
    call(a, b);
    ASSERT_TRUE(waitState(a, RTCSS_DISCONNECTED));
    EXPECT_EQ(a.states, (QList<long>{RTCSS_INPROGRESS, RTCSS_DISCONNECTED}));
    EXPECT_EQ(a.statusCodes.last(), 480);
    EXPECT_TRUE(b.states.isEmpty());
}

TEST(LinphoneEngine, OperationsFailClearlyInTheWrongState) {
    auto fresh = LinphoneEngine::create();
    EXPECT_THROW(fresh->CreateSession(RTCST_PC_TO_PC, {}, 0), vb::VbError);
    EXPECT_THROW(fresh->get_MediaCapabilities(), vb::VbError);

    Peer a;
    EXPECT_THROW(a.engine->InitializeEx(RTCIF_DISABLE_UPNP), vb::VbError);
    EXPECT_THROW(a.engine->put_Volume(RTCAD_SPEAKER, 70000), vb::VbError);
    EXPECT_THROW(a.engine->get_Volume(7), vb::VbError);
    EXPECT_THROW(a.engine->CreateSession(9, {}, 0), vb::VbError);
    auto session = a.engine->CreateSession(RTCST_PC_TO_PC, {}, 0);
    EXPECT_EQ(session->get_State(), RTCSS_IDLE);
    EXPECT_THROW(session->AddParticipant(QStringLiteral("not an address"), {}), vb::VbError);
    EXPECT_EQ(session->get_Participants()->get_Count(), 0);
    EXPECT_THROW(session->Answer(), vb::VbError);
    EXPECT_THROW(session->Terminate(6), vb::VbError);
    // A session that never placed a call ends at once.
    session->Terminate(RTCTR_NORMAL);
    ASSERT_TRUE(waitState(a, RTCSS_DISCONNECTED));

    a.engine->PrepareForShutdown();
    a.engine->Shutdown();
    EXPECT_NO_THROW(a.engine->Shutdown());
    EXPECT_THROW(a.engine->CreateSession(RTCST_PC_TO_PC, {}, 0), vb::VbError);
    EXPECT_THROW(a.engine->get_NetworkAddresses(false, false), vb::VbError);
}

TEST(LinphoneEngine, ShutdownEndsTheCallForThePeer) {
    Peer a, b;
    call(a, b);
    ASSERT_TRUE(waitState(b, RTCSS_INCOMING));
    b.incoming->Answer();
    ASSERT_TRUE(waitState(a, RTCSS_CONNECTED));
    a.engine->PrepareForShutdown();
    ASSERT_TRUE(testenv::waitFor([&] { return a.kinds.contains(RTCE_CLIENT); }, 20000));
    a.engine->Shutdown();
    ASSERT_TRUE(waitState(b, RTCSS_DISCONNECTED));
    EXPECT_EQ(b.states, kIncoming);
}

// The far end of PeerProcessKilledDuringACall, run as a process of its own: answers the first
// call and waits to be killed. Only that test starts it.
TEST(LinphoneEngine, DISABLED_AnsweringPeerProcess) {
    Peer b;
    std::printf("PEER %s\n", qPrintable(b.loopbackAddress()));
    std::fflush(stdout);
    ASSERT_TRUE(waitState(b, RTCSS_INCOMING));
    b.incoming->Answer();
    testenv::waitFor([] { return false; }, 120000);
}

TEST(LinphoneEngine, ACallWhosePeerProcessIsKilledEndsAndReleasesTheWindow) {
    QProcess far;
    far.start(QCoreApplication::applicationFilePath(),
              {QStringLiteral("--gtest_also_run_disabled_tests"),
               QStringLiteral("--gtest_filter=LinphoneEngine.DISABLED_AnsweringPeerProcess")});
    QByteArray output;
    ASSERT_TRUE(testenv::waitFor(
        [&] {
            output += far.readAllStandardOutput();
            const qsizetype peer = output.indexOf("PEER 127.0.0.1:");
            return peer >= 0 && output.indexOf('\n', peer) > peer;
        },
        20000));
    const qsizetype from = output.indexOf("PEER ") + 5;
    const QString address = QString::fromLatin1(output.mid(from, output.indexOf('\n', from) - from));

    // The main window with the real engine calls the far end from its user list.
    testenv::TestEnv env;
    env.makeLogsFolder();
    frmMain form;
    int step = 0;
    FrmMainCallAccess::initRtc(form, step);
    auto engine = std::dynamic_pointer_cast<LinphoneEngine>(form.g_objRTCClient);
    ASSERT_NE(engine, nullptr);
    // With no media from the peer for this long, liblinphone ends the call (30 s unless set).
    engine->core().setNortpTimeout(3);
    for (const char* caption : {"Status", "Display Name", "Email", "IP", "OnLine Date"})
        form.LstUsers->addColumn(QString::fromLatin1(caption), 80);
    auto callFromList = [&](const QString& to) {
        form.LstUsers->clearItems();
        vb::ListItem* row = form.LstUsers->add(QStringLiteral("On"));
        form.LstUsers->setKey(row, QStringLiteral("A17"));
        row->setSubItem(1, QStringLiteral("Far"));
        row->setSubItem(2, QStringLiteral("far@x.org"));
        row->setTag(to);
        row->setSelected(true);
        form.cmdConnect->setEnabled(true);
        form.cmdConnect_Click();
    };
    auto caption = [&] { return form.fraStatus->title(); };
    auto released = [&] {
        return caption() == QStringLiteral("Status: DISCONNECTED") && form.g_objSession == nullptr &&
               form.cmdConnect->isEnabled() && !form.cmdTerminate->isEnabled() && form.LstUsers->isEnabled() &&
               form.fraSend->isEnabled() && form.tmrServerCall->isActive();
    };
    callFromList(address);
    ASSERT_TRUE(testenv::waitFor([&] { return caption().startsWith(QStringLiteral("Status: CONNECTED")); }, 20000))
        << caption().toStdString() << " / " << env.logLines().join(" | ").toStdString();
    EXPECT_TRUE(form.cmdTerminate->isEnabled());

    // Killed: no BYE, no more media, the SIP port silent.
    far.kill();
    ASSERT_TRUE(far.waitForFinished(20000));
    ASSERT_TRUE(testenv::waitFor(released, 60000)) << caption().toStdString();
    EXPECT_FALSE(form.g_blnCallConnected);

    // The window places the next call as usual.
    Peer next;
    callFromList(next.loopbackAddress());
    ASSERT_TRUE(waitState(next, RTCSS_INCOMING));
    next.incoming->Answer();
    ASSERT_TRUE(testenv::waitFor([&] { return caption().startsWith(QStringLiteral("Status: CONNECTED")); }, 20000));
    next.incoming->Terminate(RTCTR_NORMAL);
    ASSERT_TRUE(testenv::waitFor(released, 20000));
}

TEST(LinphoneEngine, ReleasingTheEngineInsideItsOwnEventIsSafe) {
    Peer b;
    auto a = std::make_unique<Peer>();
    bool released = false;
    a->engine->setEventSink([&](long kind, std::shared_ptr<IRTCEvent> event) {
        a->record(kind, event);
        if (a->reached(RTCSS_INPROGRESS) && !released) {
            released = true;
            a->engine->Shutdown();
            a->engine.reset(); // the last reference goes away inside the handler
        }
    });
    call(*a, b);
    ASSERT_TRUE(testenv::waitFor([&] { return released; }));
    testenv::waitFor([] { return false; }, 300); // let the released engine's pending turns run
    SUCCEED();
}

TEST(LinphoneEngine, TuningDialogOffersTheDevicesItHas) {
    testenv::TestEnv env;
    Peer a;
    QWidget parent;
    int shown = 0;
    for (const bool allowVideo : {true, false}) {
        vb::setModalHandlerForTesting([&](QDialog& dialog) {
            ++shown;
            auto* camera = dialog.findChild<QComboBox*>(QStringLiteral("cboCamera"));
            auto* microphone = dialog.findChild<QComboBox*>(QStringLiteral("cboMicrophone"));
            auto* speaker = dialog.findChild<QComboBox*>(QStringLiteral("cboSpeaker"));
            EXPECT_TRUE(camera && microphone && speaker);
            EXPECT_NE(dialog.findChild<QProgressBar*>(QStringLiteral("barMicrophoneLevel")), nullptr);
            EXPECT_EQ(dialog.parentWidget(), &parent);
            if (camera) {
                // Without a camera the engine still has its still-picture source.
                EXPECT_GE(camera->count(), 1);
                EXPECT_EQ(camera->isVisibleTo(&dialog), allowVideo);
            }
            // Sound devices are offered only when the machine has them.
            if (microphone && !a.engine->hasCaptureDevice()) {
                EXPECT_FALSE(microphone->isEnabled());
            }
            if (auto* play = dialog.findChild<QPushButton*>(QStringLiteral("cmdTestSound"))) {
                EXPECT_EQ(play->isEnabled(), a.engine->hasPlaybackDevice());
            }
            return int(QDialog::Accepted);
        });
        a.engine->InvokeTuningWizardEx(&parent, true, allowVideo);
    }
    EXPECT_EQ(shown, 2);

    // Not while a call runs: the devices are in use.
    Peer b;
    call(a, b);
    ASSERT_TRUE(waitState(b, RTCSS_INCOMING));
    EXPECT_THROW(a.engine->InvokeTuningWizardEx(&parent, true, true), vb::VbError);
    EXPECT_EQ(shown, 2);
}
