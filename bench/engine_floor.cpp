// The floor under the client's resident memory: an empty window of the size given, shown, and the
// call engine loaded and started the way the client starts it (from its module, listening). What
// the client holds beyond this is the main window's content and the program's own work. Prints
// "ready" once both are up, and ends when its standard input ends.
//
//   engine_floor WIDTH HEIGHT
#include "call/rtc/EngineModule.h"
#include "call/rtc/Rtc.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <exception>
#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: engine_floor WIDTH HEIGHT\n", stderr);
        return 2;
    }
    rtc::setClientFactory(rtc::loadEngineModule());
    QWidget window;
    window.resize(arguments[1].toInt(), arguments[2].toInt());
    window.show();
    std::shared_ptr<rtc::IRTCClient2> engine;
    QTimer::singleShot(0, &app, [&engine] {
        try {
            engine = rtc::CreateRTCClient();
            if (!engine) throw std::runtime_error("no call engine");
            engine->InitializeEx(rtc::RTCIF_DISABLE_UPNP);
            engine->put_ListenForIncomingSessions(rtc::RTCLM_BOTH);
            std::puts("ready");
        } catch (const std::exception& error) {
            std::printf("failed: %s\n", error.what());
        }
        std::fflush(stdout);
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) return;
        input.setEnabled(false);
        QCoreApplication::quit();
    });
    const int code = QApplication::exec();
    if (engine) engine->Shutdown();
    return code;
}
