// Prints how long a call takes to connect on loopback: from cmdConnect_Click on the main window
// to its CONNECTED state (our engine calling our engine, answered at once), beside the same
// figure for one linphonec calling another (from the "call" command to "connected"), measured
// in the same run on the same machine.
#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "call/linphone/LinphoneEngine.h"
#include "call/rtc/NetworkAddresses.h"
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "platform/vb.h"
#include "platform/widgets/ListView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>

using namespace rtc;
using bench::Linphonec;
using bench::report;
using bench::waitFor;

namespace {

constexpr int kRounds = 7;
// Our engine answering every call at once.
struct Callee {
    std::shared_ptr<LinphoneEngine> engine = LinphoneEngine::create();
    std::shared_ptr<IRTCSession2> session;
    Callee() {
        engine->InitializeEx(RTCIF_DISABLE_UPNP);
        engine->put_EventFilter(kProgramEventFilter);
        engine->setEventSink([this](long kind, std::shared_ptr<IRTCEvent> event) {
            auto state = std::dynamic_pointer_cast<IRTCSessionStateChangeEvent>(event);
            if (kind != RTCE_SESSION_STATE_CHANGE || !state) return;
            if (state->get_State() == RTCSS_INCOMING) {
                session = state->get_Session();
                session->Answer();
            } else if (state->get_State() == RTCSS_DISCONNECTED) {
                session.reset();
            }
        });
        engine->put_ListenForIncomingSessions(RTCLM_BOTH);
    }
};

QList<double> measureOurs() {
    QList<double> times;
    Callee callee;
    frmMain form;
    auto engine = LinphoneEngine::create();
    engine->InitializeEx(RTCIF_DISABLE_UPNP);
    engine->put_EventFilter(kProgramEventFilter);
    form.g_objRTCClient = engine;
    engine->setEventSink(
        [&form](long kind, std::shared_ptr<IRTCEvent> event) { form.g_objRTCClientWithEvents_Event(kind, event); });
    form.g_objRTCClientWithEvents = true;
    form.LstUsers->addColumns(chatlink::ContactsModel::columnCaptions(), 80);
    vb::ListItem* row = form.LstUsers->add(QStringLiteral("On"));
    row->setSubItem(1, QStringLiteral("callee"));
    row->setSubItem(2, QStringLiteral("callee@example.org"));
    row->setTag(QStringLiteral("127.0.0.1:") + QString::number(callee.engine->sipPort()));

    for (int round = 0; round < kRounds; ++round) {
        row->setSelected(true);
        QElapsedTimer clock;
        clock.start();
        form.cmdConnect_Click();
        if (!waitFor([&] { return form.g_blnCallConnected; })) break;
        times.append(double(clock.nsecsElapsed()) / 1e6);
        form.cmdTerminate_Click();
        if (!waitFor([&] { return !form.g_blnCallConnected && !callee.session; })) break;
    }
    engine->Shutdown();
    form.g_objRTCClient.reset();
    return times;
}

// linphonec calling our engine while it idles, answered at once: an incoming call must not wait
// for the slower pace of an engine without calls. Each call starts after a pause at that pace.
QList<double> measureIncoming() {
    QList<double> times;
    if (QStandardPaths::findExecutable(QStringLiteral("linphonec")).isEmpty()) return times;
    Callee callee;
    Linphonec calling(false, 5290, QProcessEnvironment::systemEnvironment());
    if (!waitFor([&] { return calling.ready(); })) return times;
    const QByteArray address = "sip:127.0.0.1:" + QByteArray::number(callee.engine->sipPort());
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer pause;
        pause.start();
        waitFor([&] { return pause.elapsed() >= 500 && !callee.session; });
        double ms = 0;
        if (!bench::callOnce(calling, address, &ms)) break;
        times.append(ms);
    }
    callee.engine->Shutdown();
    return times;
}

// Processor time per second of this process with one engine and no call: what the engine costs
// while it waits, in 1 s rounds.
QList<double> measureIdleEngine() {
    QList<double> perSecond;
    Callee idle;
    for (int round = 0; round < kRounds; ++round) {
        timespec before{};
        timespec after{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
        QEventLoop second; // the event loop alone, as in the program: waitFor would poll
        QTimer::singleShot(1000, &second, &QEventLoop::quit);
        second.exec();
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
        perSecond.append(double(after.tv_sec - before.tv_sec) * 1e3 + double(after.tv_nsec - before.tv_nsec) / 1e6);
    }
    idle.engine->Shutdown();
    return perSecond;
}

QList<double> measureLinphonec() {
    QList<double> times;
    if (QStandardPaths::findExecutable(QStringLiteral("linphonec")).isEmpty()) return times;
    Linphonec answering(true, 5190, QProcessEnvironment::systemEnvironment());
    Linphonec calling(false, 5290, QProcessEnvironment::systemEnvironment());
    if (!waitFor([&] { return answering.ready() && calling.ready(); })) return times;
    const QByteArray address = "sip:127.0.0.1:" + QByteArray::number(answering.port);
    for (int round = 0; round < kRounds; ++round) {
        double ms = 0;
        if (!bench::callOnce(calling, address, &ms)) break;
        times.append(ms);
    }
    return times;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder; // the program folder: keeps logs and settings away from the bench's own
    vb::setAppPathForTesting(folder.path());
    std::printf("Call set-up on loopback, %d calls each, no sound card needed\n", kRounds);
    const double ours = report("ColloqChat: cmdConnect_Click to CONNECTED", measureOurs());
    const double theirs = report("linphonec to linphonec: call command to \"connected\"", measureLinphonec());
    const double incoming = report("linphonec to ColloqChat's idle engine: call to \"connected\"", measureIncoming());
    report("an idle engine: processor time per second", measureIdleEngine());
    bench::ratio("Connect to CONNECTED, ColloqChat / linphonec", ours, theirs, 1.0);
    bench::ratio("called while idle, linphonec to ColloqChat / to linphonec", incoming, theirs, 1.0);
    return 0;
}
