#pragma once
// Mail handed to the SMTP relay the operator names (a local Postfix or exim, or any relay that
// takes mail from this machine), on the one event loop: one connection at a time carries every
// mail waiting, and the relay does the rest (queues, retries, finds the recipient's server).
//
// A relay that cannot be reached, or says "try later" (4xx), is tried again after a pause that
// doubles up to five minutes; a mail it refuses for good (5xx) is dropped with a warning, as is
// one still not taken after an hour. At most `maxQueued` mails wait: a flood of registrations
// costs memory no more than that.
#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <deque>

class QTcpSocket;
class QTimer;

namespace chatserver {

struct MailRelay {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 25;
    QString from;     // the sender of every mail (envelope and header)
    QString heloName; // what we call ourselves in EHLO
    int replyTimeoutMs = 30'000;
    int maxQueued = 10'000;
    qint64 giveUpAfterMs = 3'600'000;
};

struct Mail {
    QString to;
    QString subject;
    QString body; // plain text, lines ending in "\n"
};

// The message as it follows DATA: headers, a blank line and the body, every line ending in CR LF
// and a line starting with a dot doubled; without the closing dot line. A body that is not all
// ASCII goes as UTF-8, as it is when the relay takes eight-bit text, or else in base64 lines.
QByteArray messageText(const MailRelay& relay, const Mail& mail, const QDateTime& date, const QByteArray& messageId,
                       bool eightBit);

class SmtpClient : public QObject {
    Q_OBJECT
public:
    explicit SmtpClient(MailRelay relay, QObject* parent = nullptr);
    ~SmtpClient() override;

    // Queues `mail`; false (and a warning) when the queue is full.
    bool send(const Mail& mail);
    qsizetype waiting() const { return qsizetype(m_queue.size()); }
    quint64 delivered() const { return m_delivered; }
    quint64 dropped() const { return m_dropped; }

signals:
    // After each mail the relay took or refused for good (tests wait on it).
    void finished(const QString& to, bool taken, const QString& relaySaid);

private:
    // Where the connection is, and which reply each line sent waits for.
    enum class Step { Idle, Connecting, Open, Quit };
    enum class Reply { Greeting, Ehlo, Helo, Reset, MailFrom, RcptTo, Data, Body, Quit };
    struct Queued {
        Mail mail;
        qint64 queuedMs = 0;
    };
    void start();
    void onReadable();
    // A whole reply of the relay: its code and the text of its lines.
    void onReply(int code, const QByteArray& text);
    // The commands of the first mail waiting (after RSET when a refused one went before), or QUIT.
    void beginMail(bool reset);
    void sendEnvelope(const Mail& mail);
    // Queues a command line; lines go out together where the relay allows it (PIPELINING), else
    // each after the reply to the one before.
    void send(Reply reply, const QByteArray& line);
    void flushLines();
    // The connection failed or the relay said "later": close, wait, start again.
    void retryLater(const QString& why);
    void finishMail(bool taken, const QString& relaySaid);
    void dropExpired();
    bool canSend(const Mail& mail) const;

    MailRelay m_relay;
    QTcpSocket* m_socket = nullptr;
    QTimer* m_timeout = nullptr;
    QTimer* m_retry = nullptr;
    Step m_step = Step::Idle;
    std::deque<Queued> m_queue;
    std::deque<Reply> m_expected;                      // replies awaited, in order
    std::deque<std::pair<Reply, QByteArray>> m_unsent; // command lines not written yet
    QByteArray m_in;                                   // what the relay sent, not yet a whole reply
    QByteArray m_reply;                                // the lines of a reply of several lines so far
    QString m_refusal;                                 // the current mail's refusal at MAIL or RCPT, if any
    bool m_nextSent = false; // the next mail's commands went out behind the current one's text
    bool m_utf8 = false;     // the relay takes addresses in UTF-8
    bool m_8bit = false;     // and text in eight bits
    bool m_pipelining = false;
    int m_backoffMs = 0; // 0: no failure since the last success
    quint64 m_delivered = 0;
    quint64 m_dropped = 0;
};

} // namespace chatserver
