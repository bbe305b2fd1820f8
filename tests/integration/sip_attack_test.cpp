// The main window on the real call engine, attacked by a SIP peer of plain text on other loopback
// addresses, as anyone who knows a user's call address could: a transfer asked for inside a call,
// display names far past what the engine can take, a stranger who names himself after a contact,
// a flood of calls, a stream of bad calls timed against the engine's turns, a call that keeps
// coming back, and a call the engine starts by itself.
#include "EngineWindow.h"
#include "call/control/CallRinger.h"
#include "call/linphone/LinphoneEngine.h"
#include "core/RingPolicy.h"
#include "platform/vb.h"
#include "support/RawSipPeer.h"

#include <QCheckBox>
#include <QTabWidget>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <linphone++/linphone.hh>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using testsupport::RawSipPeer;

namespace {

const QString kAnnAddress = QStringLiteral("127.0.0.3:5070");

class SipAttack : public ::testing::Test {
protected:
    testenv::TestEnv env;
    std::unique_ptr<frmMain> form;

    // The stranger, a contact, and the address a transfer would name.
    RawSipPeer mallory{QStringLiteral("127.0.0.2")};
    RawSipPeer ann{QStringLiteral("127.0.0.3"), 5070};
    RawSipPeer victim{QStringLiteral("127.0.0.5"), 5099};

    void SetUp() override {
        ASSERT_TRUE(mallory.bound() && ann.bound() && victim.bound());
        start();
    }
    void TearDown() override { stop(); }
    void start() {
        env.makeLogsFolder();
        form = std::make_unique<frmMain>();
        FrmMainCallAccess::initRtc(*form);
        FrmMainCallAccess::listContact(*form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"), kAnnAddress);
    }
    void stop() {
        if (form) enginewindow::unload(*form);
        form.reset();
    }
    static QString target() { return enginewindow::sipTarget(); }
    QString caption() const { return form->fraStatus->title(); }
    // What the user does while the next call rings, from a timer; ringCaption then holds its caption.
    void onRing(const std::function<void()>& act = {}) {
        ringCaption.clear();
        // A ring that times out at once may come and go between two looks of the timer: the call
        // reported as ringing is seen anyway, its caption read once the window has shown it.
        QObject::disconnect(ringWatch);
        ringWatch = QObject::connect(form.get(), &frmMain::callActivity, form.get(), [this](const CallActivity& a) {
            if (a.phase != CallActivity::Phase::Ringing) return;
            QTimer::singleShot(0, form.get(), [this] {
                if (ringCaption.isEmpty()) ringCaption = caption();
            });
        });
        ringTimer = enginewindow::whenRinging(*form, [this, act] {
            ringCaption = caption();
            if (act) act();
        });
    }
    // The user refuses every call that rings, every `ms`, counting them in `rings`; until the timer goes.
    std::unique_ptr<QTimer> refuseEveryRing(int& rings, int ms) {
        return enginewindow::whenRinging(
            *form,
            [this, &rings] {
                ++rings;
                form->cmdTerminate->click();
            },
            ms, enginewindow::Rings::Every);
    }
    std::unique_ptr<QTimer> ringTimer;
    QMetaObject::Connection ringWatch;
    QString ringCaption; // empty until a call rang
    // `peer` calls, giving `name` and `uri` (From and Contact; its own when empty), and gets `answer`
    // (603: rung and refused by the user, or refused without a ring); the window is idle again.
    // Whether it rang.
    bool call(RawSipPeer& peer, const QByteArray& name, const QByteArray& answer = "SIP/2.0 603",
              const QByteArray& uri = {}) {
        onRing([this] { form->cmdTerminate->click(); }); // the user refuses it
        peer.send(peer.invite(target(), name, uri, uri));
        EXPECT_FALSE(peer.waitFor(answer, "INVITE").isEmpty()) << answer.data();
        EXPECT_TRUE(idle());
        return !ringCaption.isEmpty();
    }
    bool idle(int timeoutMs = 15000) {
        return testenv::waitFor(
            [&] { return !form->g_objSession && !form->ringer().ringing() && form->g_intIncomingCount == 0; },
            timeoutMs);
    }
    QStringList row(int index = 0) const { return enginewindow::historyRow(*form, index); }
    std::shared_ptr<rtc::LinphoneEngine> engine() const {
        return std::dynamic_pointer_cast<rtc::LinphoneEngine>(form->g_objRTCClient);
    }
};

} // namespace

TEST_F(SipAttack, MediaMovedOrATransferInsideAnAnsweredCallReachNobodyAndATransferEndsTheCall) {
    QUdpSocket victimMedia; // where the moved media would go
    ASSERT_TRUE(victimMedia.bind(QHostAddress(QStringLiteral("127.0.0.5")), quint16(mallory.port() + 2)));
    form->chkAutoAnswer->setChecked(true); // the window takes Mallory's call by itself
    mallory.send(mallory.invite(target(), "Mallory"));
    const QByteArray answer = mallory.waitFor("SIP/2.0 200", "INVITE");
    ASSERT_FALSE(answer.isEmpty());
    mallory.answeredBy(answer);
    mallory.send(mallory.ack());
    ASSERT_TRUE(testenv::waitFor([&] { return caption().startsWith(QStringLiteral("Status: CONNECTED")); }));

    // The caller would have our microphone sent to somebody else: refused, the call goes on.
    mallory.send(mallory.reinvite("127.0.0.5"));
    EXPECT_FALSE(mallory.waitFor("SIP/2.0 488", "INVITE").isEmpty());
    EXPECT_TRUE(caption().startsWith(QStringLiteral("Status: CONNECTED")));

    mallory.send(mallory.refer("sip:victim@127.0.0.5:5099"));
    EXPECT_FALSE(mallory.waitFor("SIP/2.0 403", "REFER").isEmpty());
    const QByteArray bye = mallory.waitFor("BYE ");
    ASSERT_FALSE(bye.isEmpty()) << "the call was not ended";
    mallory.send(mallory.reply(bye, "200 OK"));
    EXPECT_TRUE(testenv::waitFor([&] { return caption() == QStringLiteral("Status: DISCONNECTED") && idle(); }));
    // Nothing went to the address the transfer named, then or later.
    testenv::waitFor([] { return false; }, 2000);
    EXPECT_TRUE(victim.received.isEmpty()) << victim.received.value(0).left(200).data();
    EXPECT_FALSE(victimMedia.hasPendingDatagrams());
    EXPECT_TRUE(env.logLines().join(QLatin1Char('\n')).contains(QStringLiteral("REFER from 127.0.0.2:")))
        << env.logLines().join(QLatin1Char('\n')).toStdString();
}

TEST_F(SipAttack, DisplayNamesPastWhatTheEngineTakesAreRefusedAndTheRowReadsACutName) {
    const quint16 port = 5072;
    // From values of exactly `bytes` bytes: a name padded out in front of the address.
    const QByteArray address = " <sip:peer@127.0.0.10:" + QByteArray::number(port) + ">;tag=1";
    const auto quoted = [&](const QByteArray& unit, qsizetype bytes) {
        QByteArray name = unit.repeated((bytes - address.size() - 2) / unit.size());
        name += QByteArray(bytes - address.size() - 2 - name.size(), 'A');
        return '"' + name + '"' + address;
    };
    const auto token = [&](qsizetype bytes) { return QByteArray(bytes - address.size(), 'T') + address; };
    const struct {
        const char* what;
        QByteArray from;
        int code; // the answer: 400 or 513 refused, 603 when it rang and the user refused it
    } cases[] = {
        {"a display name of 4 KiB", quoted("B", 4096 + 40), 400},
        {"as much as one datagram holds, about 64 KiB", quoted("C", 64 * 1024 - 800), 513},
        {"1,016 bytes of escaped quotes", quoted("\\\"", 1016 + 40), 400},
        {"one byte past the bound", quoted("D", 1001), 400},
        {"at the bound, quoted", quoted("E", 1000), 603},
        {"at the bound, a name not quoted", token(1000), 603},
        {"at the bound, escapes and accents", quoted("\xc3\xa9\\\"", 1000), 603},
    };
    int source = 10;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        // Each from an address of its own: a stranger's refused calls count against its next ones.
        RawSipPeer stranger(QStringLiteral("127.0.0.%1").arg(source++), port);
        ASSERT_TRUE(stranger.bound());
        // A harmless request just before: the engine must not read the next one unscreened.
        stranger.send(stranger.options(target()));
        stranger.fromValue = test.from;
        EXPECT_EQ(call(stranger, {}, "SIP/2.0 " + QByteArray::number(test.code)), test.code == 603);
        EXPECT_LE(ringCaption.size(), 120) << ringCaption.toStdString();
        // Kept in the history under the name it gave, cut, as a stranger's call.
        const QString name = row().value(history::CallHistoryView::kContact);
        EXPECT_TRUE(name.startsWith(QStringLiteral("Unknown caller: "))) << name.toStdString();
        EXPECT_EQ(name.size(), 80) << name.toStdString();
        EXPECT_TRUE(name.endsWith(QChar(0x2026))) << name.toStdString();
    }
    // The engine goes on answering.
    mallory.send(mallory.options(target()));
    EXPECT_FALSE(mallory.waitFor("SIP/2.0 200", "OPTIONS").isEmpty());
}

TEST_F(SipAttack, AFloodOfCallsFromOneSourceCostsLittleAndLeavesTheContactsRows) {
    ASSERT_TRUE(call(ann, "Ann")); // Ann's call is in the history first

    // The user refuses whatever rings; a timer meanwhile plays a user clicking about the window,
    // which must go on answering through the flood.
    int rings = 0;
    auto refuse = refuseEveryRing(rings, 50);
    int clicks = 0;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        form->SSTab1->setCurrentIndex((form->SSTab1->currentIndex() + 1) % form->SSTab1->count());
        ++clicks;
    });
    clicker.start(20);

    constexpr int kInvites = 2500;
    for (int sent = 0; sent < kInvites;) {
        for (int burst = 0; burst < 25; ++burst, ++sent)
            mallory.send(mallory.invite(target(), "Mallory"));
        testenv::waitFor([] { return false; }, 100);
        mallory.received.clear();
    }
    EXPECT_TRUE(idle(30000));
    clicker.stop();
    refuse.reset();
    EXPECT_GT(clicks, 100);
    EXPECT_GE(engine()->droppedCalls(), kInvites - 50);
    EXPECT_LE(rings, 3);

    // Two rows: the stranger's calls folded into one that counts them, and Ann's.
    ASSERT_EQ(form->viewHistory->lstHistory->topLevelItemCount(), 2);
    EXPECT_TRUE(row(0).value(history::CallHistoryView::kResult).contains(QChar(0x00D7)))
        << row(0).join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(row(0).value(history::CallHistoryView::kAddress), mallory.address());
    EXPECT_EQ(row(1).value(history::CallHistoryView::kContact), QStringLiteral("Ann"));
}

TEST_F(SipAttack, AStrangerCallingEvery41SecondsRingsAFewTimesThenIsRefusedQuietly) {

    callcontrol::CallRinger::setCheckMsForTesting(0); // a ring that nobody answers times out at once
    QDateTime now(QDate(2026, 3, 1), QTime(9, 0));
    vb::setClockForTesting([&] { return now; });
    int rang = 0;
    for (int call = 0; call < 5; ++call) {
        SCOPED_TRACE(call);
        onRing(); // nobody answers: the ringing loop times out at once
        mallory.send(mallory.invite(target(), "Mallory"));
        // Rung and timed out (told nobody answered), or refused quietly (declined).
        QByteArray answer;
        ASSERT_TRUE(testenv::waitFor([&] {
            answer = mallory.waitFor("SIP/2.0 480", "INVITE", 0) + mallory.waitFor("SIP/2.0 603", "INVITE", 0);
            return !answer.isEmpty();
        }));
        ASSERT_TRUE(idle());
        if (!ringCaption.isEmpty()) ++rang;
        EXPECT_TRUE(answer.startsWith(ringCaption.isEmpty() ? "SIP/2.0 603" : "SIP/2.0 480")) << answer.data();
        now = now.addSecs(41);
    }
    callcontrol::CallRinger::setCheckMsForTesting(-1);
    EXPECT_EQ(rang, basMain::RingPolicy::kUnansweredTries);
    EXPECT_EQ(row().value(history::CallHistoryView::kResult), QStringLiteral("Refused \u00d75"));
    // A contact still rings.
    EXPECT_TRUE(call(ann, "Ann"));
}

TEST_F(SipAttack, DoNotDisturbAndOnlyContactsTurnCallsAwayAndAreKeptAcrossRestarts) {
    form->chkDoNotDisturb->click();
    EXPECT_FALSE(call(ann, "Ann", "SIP/2.0 600")); // Busy Everywhere
    EXPECT_EQ(row().mid(2, 2), (QStringList{QStringLiteral("Refused"), QStringLiteral("Ann")}));

    form->chkDoNotDisturb->click();
    form->chkContactsOnly->click();
    stop();
    start(); // the settings outlive the program
    ASSERT_TRUE(form->chkContactsOnly->isChecked());
    EXPECT_FALSE(call(mallory, "Mallory"));
    EXPECT_EQ(row().mid(2, 2), (QStringList{QStringLiteral("Refused"), QStringLiteral("Unknown caller: Mallory")}));
    EXPECT_TRUE(call(ann, "Ann"));
}

// A caller is a contact only from the contact's own address, or when a relay of the user's chat
// server, which forwards calls from elsewhere all from its own address, names the contact as the
// sender; nobody else's word is taken for it, whatever name or address the call gives.
TEST_F(SipAttack, ACallerIsNamedByItsOwnAddressOrTheUsersRelayAndNobodyElseIsBelieved) {
    vb::ListItem* bobRow = form->LstUsers->add(QStringLiteral("On"));
    bobRow->setSubItem(1, QStringLiteral("Bob"));
    bobRow->setSubItem(2, QStringLiteral("bob@x.org"));
    bobRow->setTag(QStringLiteral("127.0.0.12:20001")); // his call address on the relay
    rtc::CallPaths paths;
    paths.observedAddress = QStringLiteral("127.0.0.1"); // our own: nothing to register
    paths.relays = QStringList{QStringLiteral("127.0.0.12:5097")};
    form->g_objRTCClient->SetCallPaths(paths, [](const QString&) {});
    RawSipPeer relay(QStringLiteral("127.0.0.12"), 5097);
    RawSipPeer besideRelay(QStringLiteral("127.0.0.12"), 5098);
    ASSERT_TRUE(relay.bound() && besideRelay.bound());
    const QByteArray bob = "sip:bob@127.0.0.12:20001";
    const QByteArray annUri = "sip:ann@" + kAnnAddress.toLatin1();
    const QString ringing = QStringLiteral("Status: INCOMING User: ");
    const struct {
        const char* what;
        RawSipPeer* sender;
        QByteArray asserted;
        QByteArray name;
        QByteArray uri; // From and Contact
        QString shown;  // in the caption while it rings, and in the history
    } cases[] = {
        {"a stranger naming Ann's address", &mallory, "", "Ann", annUri,
         "Unknown caller: Ann    sip:" + mallory.address()},
        {"Ann from her address, under another name", &ann, "", "Ann Lee", "", "Ann    ann@x.org"},
        {"Bob, from where he registered with the relay", &relay, "<sip:127.0.0.12:20001>", "Bob", "sip:b@10.0.0.2:5060",
         "Bob    bob@x.org"},
        {"Ann, from her own address through the relay", &relay, "<sip:127.0.0.3:5070>", "Ann", annUri,
         "Ann    ann@x.org"},
        {"a stranger through the relay, naming Bob", &relay, "<sip:198.51.100.7:5060>", "Bob", bob,
         "Unknown caller: Bob    sip:198.51.100.7:5060"},
        {"a stranger asserting Bob himself", &mallory, "<sip:127.0.0.12:20001>", "Bob", bob,
         "Unknown caller: Bob    sip:" + mallory.address()},
        {"a stranger on the relay's host", &besideRelay, "<sip:127.0.0.12:20001>", "Bob", bob,
         "Unknown caller: Bob    sip:127.0.0.12:5098"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        test.sender->inviteHeaders = test.asserted.isEmpty() ? "" : "P-Asserted-Identity: " + test.asserted + "\r\n";
        call(*test.sender, test.name, "SIP/2.0 603", test.uri);
        EXPECT_EQ(ringCaption, ringing + test.shown);
        EXPECT_EQ(row().mid(history::CallHistoryView::kContact, 2).join(QStringLiteral("    ")), test.shown);
        EXPECT_TRUE(row().value(history::CallHistoryView::kResult).startsWith(QStringLiteral("Declined")));
    }

    // Each relayed caller has an allowance of calls of its own: a flood in one's name leaves the
    // next caller through the same relay ringing.
    int rings = 0;
    auto refuse = refuseEveryRing(rings, 20);
    const qint64 droppedBefore = engine()->droppedCalls();
    relay.inviteHeaders = "P-Asserted-Identity: <sip:198.51.100.8:5060>\r\n";
    for (int call = 0; call < rtc::sip::CallPace::kBurst + 2; ++call)
        relay.send(relay.invite(target(), "Mallory"));
    EXPECT_TRUE(testenv::waitFor([&] { return engine()->droppedCalls() - droppedBefore == 2; }));
    ASSERT_TRUE(idle());
    refuse.reset();
    relay.inviteHeaders = "P-Asserted-Identity: <sip:127.0.0.12:20001>\r\n";
    EXPECT_TRUE(call(relay, "Bob"));
    EXPECT_EQ(ringCaption, ringing + QStringLiteral("Bob    bob@x.org"));
}

TEST_F(SipAttack, ACallTheEngineStartsByItselfIsEndedAtOnceAndLogged) {
    // As liblinphone does for a transfer it accepted: a call nobody here placed.
    engine()->core().inviteAddress(engine()->core().createAddress("sip:victim@127.0.0.5:5099"));
    EXPECT_TRUE(testenv::waitFor([&] { return engine()->core().getCallsNb() == 0; }));
    EXPECT_FALSE(form->g_objSession);
    EXPECT_TRUE(env.logLines().join(QLatin1Char('\n')).contains(QStringLiteral("neither placed nor answered here")))
        << env.logLines().join(QLatin1Char('\n')).toStdString();
    // Whatever got out before the end, no call stands: anything that reached the victim is
    // taken back, and an answer would find no call.
    testenv::waitFor([] { return false; }, 1000);
    for (const QByteArray& datagram : victim.received)
        EXPECT_TRUE(datagram.startsWith("INVITE ") || datagram.startsWith("CANCEL ")) << datagram.left(100).data();
}

// A steady stream of calls the engine must never read (their names would crash it), many of them
// coming between the guard's look at the socket and the engine's own: the guard refuses every one
// of them, and nothing rings.
TEST_F(SipAttack, AStreamOfRefusedCallsTimedAgainstTheEnginesTurnsNeverReachesIt) {
    int rang = 0;
    QObject::connect(form.get(), &frmMain::callActivity, form.get(), [&rang](const CallActivity& a) {
        if (a.phase == CallActivity::Phase::Ringing) ++rang;
    });
    RawSipPeer stranger(QStringLiteral("127.0.0.20"));
    ASSERT_TRUE(stranger.bound());
    stranger.fromValue = '"' + QByteArray(4096, 'B') + "\" <sip:peer@" + stranger.address().toLatin1() + ">;tag=1";
    constexpr int kRequests = 3000;
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(enginewindow::sipPort()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QList<QByteArray> requests;
    for (int i = 0; i < kRequests; ++i)
        requests.append(stranger.invite(target(), {}));
    std::atomic<bool> done{false};
    QList<QByteArray> answers; // the first line of each
    const auto collect = [&] {
        char buffer[2048];
        ssize_t size = 0;
        while ((size = ::recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            answers.append(QByteArray(buffer, int(size)).split('\r').value(0));
    };
    // From a thread of its own, a request every ~100 us: the window's thread keeps its own pace.
    std::thread sender([&] {
        for (const QByteArray& request : requests) {
            ::sendto(descriptor, request.constData(), size_t(request.size()), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            collect();
        }
        done = true;
    });
    EXPECT_TRUE(testenv::waitFor([&] { return done.load(); }, 30000));
    sender.join();
    testenv::waitFor([] { return false; }, 1000);
    collect();
    ::close(descriptor);
    EXPECT_EQ(rang, 0);
    EXPECT_TRUE(idle());
    for (const QByteArray& answer : answers)
        ASSERT_TRUE(answer.startsWith("SIP/2.0 400 ")) << answer.data(); // the guard's, not the engine's
    // Most are lost when the socket's buffer fills, but enough came to be refused one by one.
    EXPECT_GT(answers.size(), kRequests / 20);
}
