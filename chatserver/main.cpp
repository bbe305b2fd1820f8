// colloqchat-server: the chat server and its web pages.
#include "chatserver/Server.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("colloqchat-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    return chatserver::runServerMain(QCoreApplication::arguments());
}
