// Prints how long a call takes to connect on loopback: from cmdConnect_Click on the main window
// to its CONNECTED state (our engine calling our engine, answered at once), beside the same
// figure for one linphonec calling another (from the "call" command to "connected"), measured
// in the same run on the same machine.
#include "app/frmMain.h"
#include "call/rtc/LinphoneEngine.h"
#include "call/rtc/NetworkAddresses.h"
#include "platform/ListView.h"
#include "platform/vb.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

using namespace rtc;

namespace {

constexpr int kRounds = 7;
constexpr int kTimeoutMs = 30000;

bool waitFor(const std::function<bool()>& done, int timeoutMs = kTimeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    return true;
}

void report(const char* what, QList<double> ms) {
    if (ms.isEmpty()) {
        std::printf("%-58s no call connected\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-58s median %7.1f ms  min %7.1f ms  max %7.1f ms  (%lld calls)\n", what, ms[ms.size() / 2],
                ms.first(), ms.last(), static_cast<long long>(ms.size()));
}

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
    for (const char* caption : {"Status", "Display Name", "Email", "IP", "OnLine Date"})
        form.LstUsers->addColumn(QString::fromLatin1(caption), 80);
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

// A linphonec in a folder of its own, its standard input an open pipe for commands.
struct Linphonec {
    QTemporaryDir home;
    QProcess process;
    quint16 port = 0;
    QString printed;

    Linphonec(quint16 firstPort, bool autoAnswer) {
        port = findFreeUdpPort(firstPort);
        QDir(home.path()).mkpath(QStringLiteral(".local/share/linphone"));
        QFile rc(home.filePath(QStringLiteral("linphonerc")));
        if (rc.open(QIODevice::WriteOnly)) rc.write("[sip]\nsip_port=" + QByteArray::number(port) + "\n");
        rc.close();
        QStringList args{QStringLiteral("-c"), rc.fileName()};
        if (autoAnswer) args << QStringLiteral("-a");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("linphonec"), args);
    }
    ~Linphonec() {
        process.write("quit\n");
        if (!process.waitForFinished(5000)) process.kill();
        process.waitForFinished(5000);
    }
    QString output() {
        printed += QString::fromLocal8Bit(process.readAll());
        return printed;
    }
    qsizetype count(const QString& word) { return output().count(word); }
};

QList<double> measureLinphonec() {
    QList<double> times;
    if (QStandardPaths::findExecutable(QStringLiteral("linphonec")).isEmpty()) return times;
    Linphonec answering(5190, true);
    Linphonec calling(5290, false);
    if (!waitFor([&] {
            return answering.output().contains(QStringLiteral("linphonec>")) &&
                   calling.output().contains(QStringLiteral("linphonec>"));
        }))
        return times;
    const QByteArray command = "call sip:127.0.0.1:" + QByteArray::number(answering.port) + "\n";
    for (int round = 0; round < kRounds; ++round) {
        const qsizetype connectedBefore = calling.count(QStringLiteral("connected"));
        const qsizetype endedBefore = calling.count(QStringLiteral("ended"));
        QElapsedTimer clock;
        clock.start();
        calling.process.write(command);
        if (!waitFor([&] { return calling.count(QStringLiteral("connected")) > connectedBefore; })) break;
        times.append(double(clock.nsecsElapsed()) / 1e6);
        calling.process.write("terminate\n");
        if (!waitFor([&] { return calling.count(QStringLiteral("ended")) > endedBefore; })) break;
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
    report("ColloqChat: cmdConnect_Click to CONNECTED", measureOurs());
    report("linphonec to linphonec: call command to \"connected\"", measureLinphonec());
    return 0;
}
