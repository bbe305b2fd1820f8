// colloqchat-mailsink: the SMTP relay of scripts/run.sh. It takes every mail and appends it to
// a mailbox file, delivering nothing anywhere else.
//
//   colloqchat-mailsink --listen ADDRESS:PORT --mailbox FILE
#include "tools/mailsink/MailSink.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const qsizetype listenAt = args.indexOf(QStringLiteral("--listen"));
    const qsizetype mailboxAt = args.indexOf(QStringLiteral("--mailbox"));
    const QString listen = listenAt > 0 ? args.value(listenAt + 1) : QString();
    const QString mailbox = mailboxAt > 0 ? args.value(mailboxAt + 1) : QString();
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    const QHostAddress address(listen.left(colon));
    bool portOk = false;
    const uint port = listen.mid(colon + 1).toUInt(&portOk);
    if (address.isNull() || !portOk || port > 65535 || mailbox.isEmpty()) {
        std::fprintf(stderr, "usage: colloqchat-mailsink --listen ADDRESS:PORT --mailbox FILE\n");
        return 2;
    }
    mailsink::MailSink sink;
    sink.setMailbox(mailbox);
    QString error;
    if (!sink.listen(address, quint16(port), &error)) {
        std::fprintf(stderr, "colloqchat-mailsink: cannot listen on %s: %s\n", qPrintable(listen), qPrintable(error));
        return 1;
    }
    std::printf("ready %s:%u mailbox=%s\n", qPrintable(address.toString()), sink.port(), qPrintable(mailbox));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
