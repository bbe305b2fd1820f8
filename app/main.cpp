#include "app/ProgramEntry.h"
#include "call/linphone/LinphoneEngine.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ColloqChat"));
    QApplication::setOrganizationName(QStringLiteral("ColloqChat"));
    rtc::setClientFactory(rtc::LinphoneEngine::create);
    return basMain::Main();
}
