#include "app/ProgramEntry.h"
#include "call/rtc/EngineModule.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ColloqChat"));
    QApplication::setOrganizationName(QStringLiteral("ColloqChat"));
    rtc::setClientFactory(rtc::loadEngineModule());
    return basMain::Main();
}
