#include "call/linphone/SipGuard.h"

#include "call/linphone/EnginePace.h"

#include <QHostAddress>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace rtc {

namespace {

// The largest UDP datagram.
constexpr qsizetype kReadBytes = 65536;

QString addressText(const sockaddr_storage& address) {
    QHostAddress host(reinterpret_cast<const sockaddr*>(&address));
    quint16 port = 0;
    if (address.ss_family == AF_INET) port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    bool mapped = false;
    const quint32 v4 = host.toIPv4Address(&mapped);
    if (mapped) host = QHostAddress(v4);
    const QString text = host.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + host.toString() + QLatin1Char(']')
                             : host.toString();
    return text + QLatin1Char(':') + QString::number(port);
}

} // namespace

SipGuard::Waiting SipGuard::screen(quint16 port, qint64 nowMs) {
    // liblinphone may have opened its socket again; its old number may name another file now.
    if (m_fd < 0 || udpPortOf(m_fd) != port) m_fd = udpSocketOn(port);
    if (m_fd < 0) return Waiting::Nothing;
    if (m_buffer.size() != kReadBytes) m_buffer.resize(kReadBytes);
    for (int read = 0; read < kMaxPerPass; ++read) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size =
            ::recvfrom(m_fd, m_buffer.data(), size_t(m_buffer.size()), MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        // Nothing waits (or the socket failed: the engine sees to that).
        if (size < 0) return read > 0 ? Waiting::NothingLeft : Waiting::Nothing;
        const QByteArray datagram = QByteArray::fromRawData(m_buffer.constData(), qMin<qsizetype>(size, kReadBytes));
        if (judge(m_fd, datagram, size, addressText(from), &from, fromLength, nowMs)) return Waiting::Readable;
        char discard = 0;
        ::recv(m_fd, &discard, 1, MSG_DONTWAIT); // takes the whole datagram out
    }
    return Waiting::NothingLeft; // a pass's worth taken out; the socket counts as not readable yet
}

bool SipGuard::judge(int fd, const QByteArray& datagram, qsizetype size, const QString& source, const void* address,
                     unsigned addressLength, qint64 nowMs) {
    sip::Verdict verdict = sip::screen(datagram, size);
    keepMediaInPlace(verdict);
    const QByteArray callKey = verdict.request ? verdict.request->callId + ' ' + verdict.request->cseq : QByteArray();
    // A request answered or dropped before is answered or dropped again, and told only once.
    const bool again = verdict.request && m_turnedAway.find(callKey);
    sip::Origin origin;
    if (verdict.newCall()) origin = sip::originOf(*verdict.request, source.toLatin1(), m_relays);
    const Origin found{QString::fromLatin1(origin.source), QString::fromLatin1(origin.contact)};
    if (verdict.action == sip::Action::Pass && verdict.newCall()) {
        const QByteArray& callId = verdict.request->callId;
        if (again) return false;
        if (!m_origins.find(callId)) {
            if (!m_pace.admit(QString::fromLatin1(origin.paceKey()), nowMs)) {
                ++m_droppedCalls;
                m_turnedAway.put(callKey, true);
                return false;
            }
            m_origins.put(callId, found);
        }
    }
    if (verdict.action == sip::Action::Pass) return true;
    if (verdict.action == sip::Action::Refuse) {
        const QByteArray answer = sip::response(datagram, verdict.code, verdict.phrase);
        if (!answer.isEmpty())
            ::sendto(fd, answer.constData(), size_t(answer.size()), MSG_DONTWAIT, static_cast<const sockaddr*>(address),
                     socklen_t(addressLength));
    }
    if (!again && verdict.request) {
        m_turnedAway.put(callKey, true);
        if (verdict.action == sip::Action::Refuse && m_sink) m_sink(Refusal{verdict, source, found});
    }
    return false;
}

void SipGuard::keepMediaInPlace(sip::Verdict& verdict) {
    if (verdict.action != sip::Action::Pass || verdict.callId.isEmpty() ||
        (verdict.media.isEmpty() && verdict.candidates.isEmpty()))
        return;
    const QList<QByteArray>* named = m_media.find(verdict.callId);
    if (!named) {
        // The peer's first description of the call: where its media may go from now on.
        m_media.put(verdict.callId, verdict.media + verdict.candidates);
        return;
    }
    if (verdict.request && verdict.request->toTag && !sip::mediaStaysPut(verdict, *named)) {
        verdict.action = sip::Action::Refuse;
        verdict.reason = sip::Reason::MediaMoved;
        verdict.code = 488;
        verdict.phrase = "Media Address Not Accepted";
    }
}

void SipGuard::setRelays(const QStringList& relays) {
    m_relays.clear();
    for (const QString& relay : relays)
        m_relays.append(relay.toLatin1());
}

std::optional<SipGuard::Origin> SipGuard::originOf(const QByteArray& callId) const {
    const Origin* origin = m_origins.find(callId);
    if (!origin) return std::nullopt;
    return *origin;
}

} // namespace rtc
