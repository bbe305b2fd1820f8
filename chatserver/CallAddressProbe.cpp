#include "chatserver/CallAddressProbe.h"

#include "chatserver/ServiceReplies.h"
#include "chatserver/net/HostPort.h"

#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>

namespace chatserver {

namespace {

constexpr qsizetype kTokenBytes = 16;
constexpr qsizetype kTokenChars = 2 * kTokenBytes;
// The branch parameter as it is written, in lower case.
constexpr char kBranchMark[] = "branch=z9hg4bk";
// A response's Via comes at its top; nothing past this is read.
constexpr qsizetype kMaxHead = 4096;
// Datagrams read per wake-up, so that a flood of them cannot hold up the exchanges; the rest
// are read on the next turn of the loop.
constexpr int kDatagramsPerWake = 64;
// Waiting less than this tells nothing about a distant address: no check then.
constexpr int kMinWaitMs = 300;

const char kSilentTitle[] = "Can others call you?";
const char kSilentText[] =
    "The chat server sent a test signal to your call address %1 and got no answer. Others may not be able to "
    "call you, although you can still call them. Calls find their way to a computer behind a router through the "
    "chat server's call relay: an up-to-date ColloqChat uses it by itself wherever the server offers one (ask its "
    "operator), and this message then no longer appears. Without the relay, the router must forward UDP port %2 "
    "to this computer (port forwarding), and no firewall may block ColloqChat; even then only an up-to-date "
    "ColloqChat at both ends, which looks for a way for the sound and picture too, carries them: with an older "
    "one the call connects but stays silent. This message no longer appears once your address answers.";

// The host as a SIP URI writes it: an IPv6 address in brackets.
QString uriHost(const QHostAddress& host) {
    if (host.protocol() == QAbstractSocket::IPv6Protocol) return QLatin1Char('[') + host.toString() + QLatin1Char(']');
    return host.toString();
}

} // namespace

std::optional<CallTarget> splitCallAddress(const QString& callAddress) {
    const std::optional<HostPortText> parts = splitHostPort(callAddress);
    if (!parts) return std::nullopt;
    const QString& host = parts->host;
    const QString& portText = parts->port;
    CallTarget target;
    // Literal addresses only: a name would make the server look it up for anyone who asks.
    if (!target.host.setAddress(host)) return std::nullopt;
    bool isV4 = false;
    const quint32 v4 = target.host.toIPv4Address(&isV4);
    if (isV4) target.host = QHostAddress(v4);
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (!ok || port == 0 || port > 65535) return std::nullopt;
        target.port = quint16(port);
    }
    return target;
}

std::optional<CallTarget> callTargetOf(const QString& callAddress, const QString& peer) {
    std::optional<CallTarget> target = splitCallAddress(callAddress);
    const QHostAddress caller(peer);
    if (!target || caller.isNull() || !target->host.isEqual(caller, QHostAddress::ConvertV4MappedToIPv4))
        return std::nullopt;
    return target;
}

QByteArray optionsRequest(const CallTarget& target, const QString& viaHost, quint16 viaPort, const QByteArray& token) {
    const QByteArray uri = "sip:" + uriHost(target.host).toLatin1() + ':' + QByteArray::number(target.port);
    const QByteArray via = viaHost.toLatin1();
    // rport: the answer comes back to wherever this came from, NAT or not.
    return "OPTIONS " + uri + " SIP/2.0\r\n" + //
           "Via: SIP/2.0/UDP " + via + ':' + QByteArray::number(viaPort) + ";branch=z9hG4bK" + token + ";rport\r\n" +
           "Max-Forwards: 70\r\n" +                                              //
           "From: <sip:colloqchat@" + via + ">;tag=" + token.left(10) + "\r\n" + //
           "To: <" + uri + ">\r\n" +                                             //
           "Call-ID: " + token + '@' + via + "\r\n" +                            //
           "CSeq: 1 OPTIONS\r\n" +                                               //
           "Accept: application/sdp\r\n" +                                       //
           "Content-Length: 0\r\n\r\n";
}

QByteArray answeredToken(QByteArrayView datagram) {
    const QByteArrayView head = datagram.first(std::min(datagram.size(), kMaxHead));
    if (!head.startsWith("SIP/2.0 ")) return {};
    const QByteArray lower = head.toByteArray().toLower();
    const qsizetype at = lower.indexOf(kBranchMark);
    if (at < 0) return {};
    const qsizetype from = at + qsizetype(sizeof kBranchMark) - 1;
    const QByteArray token = lower.mid(from, kTokenChars);
    const bool hex = std::all_of(token.cbegin(), token.cend(),
                                 [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    return token.size() == kTokenChars && hex ? token : QByteArray();
}

bool isLogInAnswer(const QString& reply) {
    const QString logIn = wire::codeText(wire::Code::LogIn);
    return reply == logIn || reply.startsWith(logIn + wire::kSep);
}

std::optional<QString> withSilentAddressNotice(const QString& logInReply, const QString& callAddress) {
    const std::optional<CallTarget> target = splitCallAddress(callAddress);
    const QString text =
        QString::fromLatin1(kSilentText).arg(callAddress, QString::number(target ? target->port : kDefaultSipPort));
    return answers::withLogInNotice(logInReply, text, QLatin1String(kSilentTitle));
}

ProbeBudget::ProbeBudget(const CallCheckSettings& settings)
    : m_maxWaiting(settings.maxWaiting), m_perAccount(settings.perAccount), m_perTarget(settings.perTarget),
      m_overall(settings.overall) {}

const char* ProbeBudget::take(const QString& accountKey, const QString& targetKey, qint64 nowMs) {
    const std::lock_guard lock(m_mutex);
    if (m_waiting >= m_maxWaiting) return "too many waiting";
    if (!m_overall.available({}, nowMs) || !m_perAccount.available(accountKey, nowMs) ||
        !m_perTarget.available(targetKey, nowMs))
        return "over a limit";
    m_overall.take({}, nowMs);
    m_perAccount.take(accountKey, nowMs);
    m_perTarget.take(targetKey, nowMs);
    ++m_waiting;
    return nullptr;
}

void ProbeBudget::finished() {
    const std::lock_guard lock(m_mutex);
    --m_waiting;
}

CallAddressProbe::CallAddressProbe(CallCheckSettings settings, QString viaHost, std::shared_ptr<ProbeBudget> budget,
                                   QObject* parent)
    : QObject(parent), m_settings(settings), m_viaHost(std::move(viaHost)),
      m_budget(budget ? std::move(budget) : std::make_shared<ProbeBudget>(settings)) {}

CallAddressProbe::~CallAddressProbe() {
    for (qsizetype i = 0; i < m_waiting.size(); ++i)
        m_budget->finished();
}

bool CallAddressProbe::open(QString* error) {
    // Both families on one socket where the system has IPv6, IPv4 alone where it has not.
    for (const QHostAddress& any : {QHostAddress(QHostAddress::Any), QHostAddress(QHostAddress::AnyIPv4)}) {
        auto* socket = new QUdpSocket(this);
        // Checks go straight to the user's address; asking for the system's proxy settings would
        // also start a thread of the proxy library for nothing.
        socket->setProxy(QNetworkProxy::NoProxy);
        if (socket->bind(any, 0)) {
            m_socket = socket;
            connect(m_socket, &QUdpSocket::readyRead, this, &CallAddressProbe::onDatagrams);
            return true;
        }
        if (error) *error = socket->errorString();
        delete socket;
    }
    return false;
}

quint64 CallAddressProbe::check(qint64 account, const QString& callAddress, const QString& peer, int maxWaitMs,
                                Done done, QString* why) {
    const auto refuse = [why](const char* reason) {
        if (why) *why = QLatin1String(reason);
        return quint64(0);
    };
    if (!m_socket) return refuse("no socket");
    const std::optional<CallTarget> target = callTargetOf(callAddress, peer);
    if (!target) return refuse("not the caller's own address");
    const int waitMs = std::min(m_settings.waitMs, maxWaitMs);
    if (waitMs < kMinWaitMs) return refuse("no time left");
    using namespace std::chrono;
    const qint64 now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    if (const char* over = m_budget->take(QString::number(account), limitKey(target->host.toString()), now))
        return refuse(over);

    QByteArray random(kTokenBytes, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(random.data()),
                                         reinterpret_cast<quint32*>(random.data() + random.size()));
    const QByteArray token = random.toHex();
    const QByteArray request = optionsRequest(*target, m_viaHost, m_socket->localPort(), token);
    if (m_socket->writeDatagram(request, target->host, target->port) != request.size()) {
        m_budget->finished();
        return refuse("not sent");
    }
    ++m_sent;
    const quint64 ticket = m_nextTicket++;
    m_waiting.insert(ticket, {target->host, token, std::move(done)});
    m_ticketOf.insert(token, ticket);
    QTimer::singleShot(waitMs, this, [this, ticket] { finish(ticket, Result::Silent); });
    return ticket;
}

void CallAddressProbe::cancel(quint64 ticket) {
    take(ticket);
}

void CallAddressProbe::onDatagrams() {
    for (int i = 0; i < kDatagramsPerWake && m_socket->hasPendingDatagrams(); ++i) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram(kMaxHead);
        const QByteArray token = answeredToken(datagram.data());
        const auto it = token.isEmpty() ? m_ticketOf.constEnd() : m_ticketOf.constFind(token);
        if (it == m_ticketOf.constEnd()) continue;
        const quint64 ticket = it.value();
        // Only the address asked answers for it.
        if (!m_waiting.value(ticket).host.isEqual(datagram.senderAddress(), QHostAddress::ConvertV4MappedToIPv4))
            continue;
        finish(ticket, Result::Answered);
    }
    if (m_socket->hasPendingDatagrams()) QTimer::singleShot(0, this, &CallAddressProbe::onDatagrams);
}

void CallAddressProbe::finish(quint64 ticket, Result result) {
    if (const std::optional<Waiting> waiting = take(ticket); waiting && waiting->done) waiting->done(result);
}

std::optional<CallAddressProbe::Waiting> CallAddressProbe::take(quint64 ticket) {
    const auto it = m_waiting.find(ticket);
    if (it == m_waiting.end()) return std::nullopt;
    Waiting waiting = std::move(it.value());
    m_waiting.erase(it);
    m_budget->finished();
    m_ticketOf.remove(waiting.token);
    return waiting;
}

} // namespace chatserver
