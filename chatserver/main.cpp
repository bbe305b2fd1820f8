// colloqchat-server: the chat server and its web pages.
#include "chatserver/Server.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    // The plain poll()-based event dispatcher: the GLib one walks a list on every socket
    // notifier change, and this server makes several of those per exchange.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("colloqchat-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    return chatserver::runServerMain(QCoreApplication::arguments());
}
