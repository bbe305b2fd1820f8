#include "app/ProgramEntry.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ColloqChat"));
    QApplication::setOrganizationName(QStringLiteral("ColloqChat"));
    return basMain::Main();
}
