#pragma once
// An SMTP relay for one machine that delivers nowhere: it takes every mail it is given and keeps
// it, in memory and, when asked, appended to a mailbox file (mbox). scripts/run.sh starts it so
// that a chat server on a machine without a mail system can still mail its confirmation links;
// tests use it as the relay whose every word they can see, and can make it refuse or stall.
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace mailsink {

struct ReceivedMail {
    QString from;
    QStringList to;
    QByteArray data; // the message as it followed DATA, dots undone, lines ending in CR LF

    QString header(const QByteArray& name) const;
    // The text of the body, whatever its transfer encoding (7bit, 8bit or base64).
    QString body() const;
};

class MailSink : public QObject {
    Q_OBJECT
public:
    explicit MailSink(QObject* parent = nullptr);
    ~MailSink() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;
    // Every mail taken is appended to this file as well.
    void setMailbox(const QString& path) { m_mailbox = path; }

    // Ways to be a difficult relay: refuse a recipient with `code` ("550" for good, "450" for
    // now); greet the next `sessions` connections with 421 and hang up; say nothing at all.
    void refuseRecipient(const QString& address, int code) { m_refused.insert(address.toLower(), code); }
    void failSessions(int sessions) { m_failSessions = sessions; }
    void setSilent(bool silent) { m_silent = silent; }
    // Whether it offers to take commands in a row before their replies (PIPELINING).
    void setPipelining(bool offered) { m_pipelining = offered; }

    const QList<ReceivedMail>& received() const { return m_received; }
    int sessions() const { return m_sessions; }

signals:
    void mailReceived(const ReceivedMail& mail);

private:
    struct Session {
        QByteArray in;
        bool inData = false;
        ReceivedMail mail;
    };
    void onConnection();
    void onReadable(QTcpSocket* socket);
    void onLine(QTcpSocket* socket, Session& session, const QByteArray& line);
    void deliver(const ReceivedMail& mail);

    QTcpServer* m_server;
    QHash<QTcpSocket*, Session> m_open;
    QList<ReceivedMail> m_received;
    QHash<QString, int> m_refused;
    QString m_mailbox;
    int m_failSessions = 0;
    int m_sessions = 0;
    bool m_silent = false;
    bool m_pipelining = true;
};

} // namespace mailsink
