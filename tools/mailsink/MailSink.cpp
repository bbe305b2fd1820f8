#include "tools/mailsink/MailSink.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>

namespace mailsink {

namespace {

constexpr qsizetype kMaxLine = 4096;
constexpr qsizetype kMaxMessage = 1 << 20;

// The address between "<" and ">" of "MAIL FROM:<a@b> ..." or "RCPT TO:<a@b>".
QString pathOf(const QByteArray& line) {
    const qsizetype open = line.indexOf('<');
    const qsizetype close = line.indexOf('>', open);
    return open < 0 || close < 0 ? QString() : QString::fromUtf8(line.mid(open + 1, close - open - 1));
}

qsizetype headerEnd(const QByteArray& data) {
    const qsizetype end = data.indexOf("\r\n\r\n");
    return end < 0 ? data.size() : end;
}

} // namespace

QString ReceivedMail::header(const QByteArray& name) const {
    for (const QByteArray& line : data.left(headerEnd(data)).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return QString::fromUtf8(line.mid(colon + 1).trimmed());
    }
    return {};
}

QString ReceivedMail::body() const {
    QByteArray text = data.mid(headerEnd(data) + 4);
    if (header("Content-Transfer-Encoding").compare(QLatin1String("base64"), Qt::CaseInsensitive) == 0)
        text = QByteArray::fromBase64(text);
    return QString::fromUtf8(text).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

MailSink::MailSink(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    m_server->setProxy(QNetworkProxy::NoProxy);
    connect(m_server, &QTcpServer::newConnection, this, &MailSink::onConnection);
}

MailSink::~MailSink() = default;

bool MailSink::listen(const QHostAddress& address, quint16 port, QString* error) {
    if (m_server->listen(address, port)) return true;
    if (error) *error = m_server->errorString();
    return false;
}

quint16 MailSink::port() const {
    return m_server->serverPort();
}

void MailSink::onConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        ++m_sessions;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_open.remove(socket); });
        if (m_silent) continue;
        if (m_failSessions > 0) {
            --m_failSessions;
            socket->write("421 sink busy, try again later\r\n");
            socket->disconnectFromHost();
            continue;
        }
        m_open.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        socket->write("220 colloqchat-mailsink ready\r\n");
    }
}

void MailSink::onReadable(QTcpSocket* socket) {
    const auto it = m_open.find(socket);
    if (it == m_open.end()) return;
    Session& session = it.value();
    session.in += socket->readAll();
    for (qsizetype end; (end = session.in.indexOf("\r\n")) >= 0;) {
        const QByteArray line = session.in.left(end);
        session.in.remove(0, end + 2);
        onLine(socket, session, line);
        if (!m_open.contains(socket)) return;
    }
    if (session.in.size() > kMaxLine || session.mail.data.size() > kMaxMessage) {
        socket->write("552 too much\r\n");
        socket->disconnectFromHost();
    }
}

void MailSink::onLine(QTcpSocket* socket, Session& session, const QByteArray& line) {
    if (session.inData) {
        if (line == ".") {
            session.inData = false;
            deliver(session.mail);
            session.mail = {};
            socket->write("250 taken\r\n");
        } else {
            session.mail.data += (line.startsWith('.') ? line.mid(1) : line) + "\r\n";
        }
        return;
    }
    const QByteArray verb = line.left(4).toUpper();
    if (verb == "EHLO") {
        socket->write(QByteArray("250-colloqchat-mailsink\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n") +
                      (m_pipelining ? "250-PIPELINING\r\n" : "") + "250 SIZE 1048576\r\n");
    } else if (verb == "HELO" || verb == "NOOP") {
        socket->write("250 ok\r\n");
    } else if (verb == "MAIL") {
        session.mail = {pathOf(line), {}, {}};
        socket->write("250 sender ok\r\n");
    } else if (verb == "RCPT") {
        const QString to = pathOf(line);
        if (const int code = m_refused.value(to.toLower())) {
            socket->write(QByteArray::number(code) + " not this one\r\n");
            return;
        }
        session.mail.to.append(to);
        socket->write("250 recipient ok\r\n");
    } else if (verb == "DATA") {
        if (session.mail.to.isEmpty()) {
            socket->write("503 no recipient\r\n");
            return;
        }
        session.inData = true;
        socket->write("354 go on\r\n");
    } else if (verb == "RSET") {
        session.mail = {};
        socket->write("250 reset\r\n");
    } else if (verb == "QUIT") {
        socket->write("221 bye\r\n");
        socket->disconnectFromHost();
    } else {
        socket->write("500 unknown\r\n");
    }
}

void MailSink::deliver(const ReceivedMail& mail) {
    m_received.append(mail);
    if (!m_mailbox.isEmpty()) {
        QFile file(m_mailbox);
        if (file.open(QIODevice::Append)) {
            // mbox: a "From " line opens each message, and a body line that starts so is quoted.
            QByteArray text =
                "From " + mail.from.toUtf8() + ' ' +
                QDateTime::currentDateTime().toString(QStringLiteral("ddd MMM d hh:mm:ss yyyy")).toLatin1() + '\n';
            for (const QByteArray& line : QByteArray(mail.data).replace("\r\n", "\n").split('\n'))
                text += (line.startsWith("From ") ? ">" + line : line) + '\n';
            file.write(text);
        }
    }
    emit mailReceived(mail);
}

} // namespace mailsink
