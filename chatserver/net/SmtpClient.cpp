#include "chatserver/net/SmtpClient.h"

#include "chatserver/net/Logging.h"

#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTimer>

namespace chatserver {

namespace {

constexpr int kFirstRetryMs = 2000;
constexpr int kLongestRetryMs = 300'000;
constexpr qsizetype kMaxReplyBytes = 65536;
constexpr qsizetype kBase64LineChars = 76;

bool isAscii(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x80) return false;
    return true;
}

QByteArray headerText(const QString& text) {
    if (isAscii(text)) return text.toLatin1();
    return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
}

// CR LF line ends, and a dot doubled where it starts a line: the relay takes a lone dot as the end.
QByteArray dataLines(const QByteArray& text) {
    QByteArray out;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        if (line.startsWith('.')) out += '.';
        out += line + "\r\n";
    }
    return out;
}

} // namespace

QByteArray messageText(const MailRelay& relay, const Mail& mail, const QDateTime& date, const QByteArray& messageId,
                       bool eightBit) {
    QString body = mail.body;
    if (body.endsWith(QLatin1Char('\n'))) body.chop(1);
    const bool ascii = isAscii(body);
    const QByteArray encoding = ascii ? "7bit" : eightBit ? "8bit" : "base64";
    QByteArray text =
        "From: <" + relay.from.toUtf8() + ">\nTo: <" + mail.to.toUtf8() + ">\nSubject: " + headerText(mail.subject) +
        "\nDate: " + date.toString(Qt::RFC2822Date).toLatin1() + "\nMessage-ID: <" + messageId +
        ">\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: " + encoding +
        "\nAuto-Submitted: auto-generated\n\n";
    if (encoding != "base64") return dataLines(text + body.toUtf8());
    const QByteArray encoded = dataLines(body.toUtf8()).toBase64();
    for (qsizetype at = 0; at < encoded.size(); at += kBase64LineChars)
        text += encoded.mid(at, kBase64LineChars) + '\n';
    return dataLines(text.chopped(1));
}

SmtpClient::SmtpClient(MailRelay relay, QObject* parent)
    : QObject(parent), m_relay(std::move(relay)), m_socket(new QTcpSocket(this)), m_timeout(new QTimer(this)),
      m_retry(new QTimer(this)) {
    // The relay is named as an address or a name on our own network: no proxy.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_timeout->setSingleShot(true);
    m_retry->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] { retryLater(QStringLiteral("no answer")); });
    connect(m_retry, &QTimer::timeout, this, &SmtpClient::start);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_step = Step::Open;
        m_expected.push_back(Reply::Greeting);
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &SmtpClient::onReadable);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_step != Step::Idle && m_step != Step::Quit) retryLater(m_socket->errorString());
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_step == Step::Quit) {
            m_step = Step::Idle;
            start(); // mails that came meanwhile
        } else if (m_step != Step::Idle) {
            retryLater(QStringLiteral("the relay closed the connection"));
        }
    });
}

SmtpClient::~SmtpClient() = default;

bool SmtpClient::send(const Mail& mail) {
    if (qsizetype(m_queue.size()) >= m_relay.maxQueued) {
        ++m_dropped;
        qCWarning(lcServer).noquote() << "mail to" << mail.to << "dropped:" << m_queue.size()
                                      << "mails wait for the relay already";
        return false;
    }
    m_queue.push_back({mail, QDateTime::currentMSecsSinceEpoch()});
    if (m_step == Step::Idle && !m_retry->isActive()) start();
    return true;
}

void SmtpClient::start() {
    dropExpired();
    if (m_step != Step::Idle || m_queue.empty()) return;
    m_step = Step::Connecting;
    m_in.clear();
    m_reply.clear();
    m_utf8 = m_8bit = m_pipelining = m_nextSent = false;
    m_timeout->start(m_relay.replyTimeoutMs);
    m_socket->connectToHost(m_relay.host, m_relay.port);
}

void SmtpClient::send(Reply reply, const QByteArray& line) {
    m_unsent.emplace_back(reply, line + "\r\n");
    flushLines();
}

void SmtpClient::flushLines() {
    QByteArray out;
    while (!m_unsent.empty() && (m_pipelining || m_expected.empty())) {
        out += m_unsent.front().second;
        m_expected.push_back(m_unsent.front().first);
        m_unsent.pop_front();
    }
    if (out.isEmpty()) return;
    m_socket->write(out);
    m_timeout->start(m_relay.replyTimeoutMs);
}

bool SmtpClient::canSend(const Mail& mail) const {
    return m_utf8 || isAscii(mail.to);
}

void SmtpClient::sendEnvelope(const Mail& mail) {
    const bool utf8 = !isAscii(mail.to) || !isAscii(m_relay.from);
    const bool eightBit = m_8bit && !isAscii(mail.body);
    send(Reply::MailFrom,
         "MAIL FROM:<" + m_relay.from.toUtf8() + '>' + (utf8 ? " SMTPUTF8" : "") + (eightBit ? " BODY=8BITMIME" : ""));
    send(Reply::RcptTo, "RCPT TO:<" + mail.to.toUtf8() + '>');
    send(Reply::Data, "DATA");
}

void SmtpClient::beginMail(bool reset) {
    dropExpired();
    while (!m_queue.empty() && !canSend(m_queue.front().mail))
        finishMail(false, QStringLiteral("the relay takes no addresses beyond ASCII (no SMTPUTF8)"));
    if (m_queue.empty()) {
        m_step = Step::Quit;
        return send(Reply::Quit, "QUIT");
    }
    if (reset) send(Reply::Reset, "RSET");
    sendEnvelope(m_queue.front().mail);
}

void SmtpClient::onReadable() {
    m_in += m_socket->readAll();
    for (qsizetype end; m_step != Step::Idle && (end = m_in.indexOf('\n')) >= 0;) {
        QByteArray line = m_in.left(end);
        m_in.remove(0, end + 1);
        if (line.endsWith('\r')) line.chop(1);
        m_reply += line.mid(4) + ' ';
        if (line.size() >= 4 && line[3] == '-') continue; // more lines of the same reply follow
        bool ok = false;
        const int code = line.left(3).toInt(&ok);
        const QByteArray text = std::exchange(m_reply, QByteArray()).trimmed();
        if (!ok || m_expected.empty()) return retryLater(QStringLiteral("the relay does not speak SMTP"));
        onReply(code, text);
        flushLines(); // one at a time, where the relay takes no more
    }
    if (m_in.size() + m_reply.size() > kMaxReplyBytes) retryLater(QStringLiteral("the relay's answer is too long"));
}

void SmtpClient::onReply(int code, const QByteArray& text) {
    const Reply expected = m_expected.front();
    m_expected.pop_front();
    if (m_expected.empty()) m_timeout->stop();
    const QString said = QString::number(code) + QLatin1Char(' ') + QString::fromUtf8(text.left(200));
    const int kind = code / 100;
    const QByteArray helo = (m_relay.heloName.isEmpty() ? QStringLiteral("localhost") : m_relay.heloName).toUtf8();
    // "Try later" from any step but QUIT: the mail in hand stays first in the queue.
    if (kind == 4 && expected != Reply::Quit) return retryLater(QStringLiteral("the relay said ") + said);
    switch (expected) {
    case Reply::Greeting:
        if (code != 220) return retryLater(QStringLiteral("greeted with ") + said);
        return send(Reply::Ehlo, "EHLO " + helo);
    case Reply::Ehlo:
        if (kind == 5) return send(Reply::Helo, "HELO " + helo);
        if (code != 250) return retryLater(QStringLiteral("EHLO answered ") + said);
        m_utf8 = text.toUpper().contains("SMTPUTF8");
        m_8bit = text.toUpper().contains("8BITMIME");
        m_pipelining = text.toUpper().contains("PIPELINING");
        return beginMail(false);
    case Reply::Helo:
        if (code != 250) return retryLater(QStringLiteral("HELO answered ") + said);
        return beginMail(false);
    case Reply::Reset:
        if (code != 250) return retryLater(QStringLiteral("RSET answered ") + said);
        return;
    case Reply::MailFrom:
    case Reply::RcptTo:
        if (kind != 2 && m_refusal.isEmpty()) m_refusal = said;
        return;
    case Reply::Data:
        if (code != 354) {
            // Refused for good (or for want of a recipient): the next mail, on a clean slate.
            finishMail(false, m_refusal.isEmpty() ? said : m_refusal);
            return beginMail(true);
        }
        if (m_refusal.isEmpty()) {
            const QByteArray id = QByteArray::number(QRandomGenerator::system()->generate64(), 16) + '@' + helo;
            m_socket->write(messageText(m_relay, m_queue.front().mail, QDateTime::currentDateTime(), id, m_8bit));
        }
        m_socket->write(".\r\n"); // an empty message, where a recipient was refused yet DATA taken
        m_expected.push_back(Reply::Body);
        m_timeout->start(m_relay.replyTimeoutMs);
        // The next mail's commands go with this one's end, where the relay allows it.
        m_nextSent = m_pipelining && m_queue.size() > 1 && canSend(m_queue[1].mail);
        if (m_nextSent) sendEnvelope(m_queue[1].mail);
        return;
    case Reply::Body:
        if (kind == 2 && m_refusal.isEmpty()) {
            m_backoffMs = 0;
            finishMail(true, said);
        } else {
            finishMail(false, m_refusal.isEmpty() ? said : m_refusal);
        }
        if (!std::exchange(m_nextSent, false)) beginMail(false);
        return;
    case Reply::Quit:
        m_socket->disconnectFromHost();
        return;
    }
}

void SmtpClient::retryLater(const QString& why) {
    if (m_step == Step::Idle) return;
    m_step = Step::Idle;
    m_timeout->stop();
    m_expected.clear();
    m_unsent.clear();
    m_refusal.clear();
    m_socket->abort();
    m_backoffMs = m_backoffMs == 0 ? kFirstRetryMs : std::min(m_backoffMs * 2, kLongestRetryMs);
    qCWarning(lcServer).noquote() << "mail relay" << QStringLiteral("%1:%2").arg(m_relay.host).arg(m_relay.port) << "-"
                                  << why << "-" << m_queue.size() << "mails wait; trying again in" << m_backoffMs / 1000
                                  << "s";
    m_retry->start(m_backoffMs);
}

void SmtpClient::finishMail(bool taken, const QString& relaySaid) {
    // `relaySaid` may be m_refusal itself: cleared only once it has been told.
    const auto cleared = qScopeGuard([this] { m_refusal.clear(); });
    if (m_queue.empty()) return;
    const QString to = m_queue.front().mail.to;
    m_queue.pop_front();
    if (taken) {
        ++m_delivered;
        qCInfo(lcServer).noquote() << "mail to" << to << "taken by the relay:" << relaySaid;
    } else {
        ++m_dropped;
        qCWarning(lcServer).noquote() << "mail to" << to << "refused by the relay:" << relaySaid;
    }
    emit finished(to, taken, relaySaid);
}

void SmtpClient::dropExpired() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Only called with no mail in the middle of being sent.
    while (!m_queue.empty() && now - m_queue.front().queuedMs > m_relay.giveUpAfterMs)
        finishMail(false, QStringLiteral("not taken within an hour"));
}

} // namespace chatserver
