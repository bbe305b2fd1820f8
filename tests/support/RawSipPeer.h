#pragma once
// A SIP peer made of one UDP socket and plain text, as an attacker would write one: it sends
// what a test tells it to, however long or odd, from an address of its own on loopback, and
// keeps every datagram it gets back. It answers nothing by itself.
#include "support/WaitFor.h"

#include <QByteArray>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>

namespace testsupport {

class RawSipPeer {
public:
    // Bound to `host` (127.0.0.2, say) on `port`, any free one when 0.
    explicit RawSipPeer(const QString& host, quint16 port = 0) {
        m_socket.bind(QHostAddress(host), port);
        listen();
    }
    // On a bound UDP socket of its own (one made in another network namespace, say).
    explicit RawSipPeer(qintptr descriptor) {
        m_socket.setSocketDescriptor(descriptor, QAbstractSocket::BoundState);
        listen();
    }
    bool bound() const { return m_socket.state() == QAbstractSocket::BoundState; }
    QString host() const { return m_socket.localAddress().toString(); }
    quint16 port() const { return m_socket.localPort(); }
    QString address() const { return host() + QLatin1Char(':') + QString::number(port()); }

    // The INVITE of a new call to `target` ("host:port"): From carries `displayName` as written
    // between its quotes and `fromUri` (or `fromValue` as it stands, when set); Contact names
    // `contactUri`; both default to this peer.
    QByteArray invite(const QString& target, const QByteArray& displayName, QByteArray fromUri = {},
                      QByteArray contactUri = {}) {
        const QByteArray self = "sip:peer@" + address().toLatin1();
        if (fromUri.isEmpty()) fromUri = self;
        if (contactUri.isEmpty()) contactUri = self;
        const QByteArray fromTag = QByteArray::number(QRandomGenerator::global()->generate(), 16);
        begin(target, fromValue.isEmpty() ? "\"" + displayName + "\" <" + fromUri + ">;tag=" + fromTag : fromValue,
              contactUri);
        cseq = 1;
        return request("INVITE", "sip:user@" + target.toLatin1(), "Content-Type: application/sdp\r\n" + inviteHeaders,
                       description(host().toLatin1(), 1));
    }
    // The next INVITE's From header carries this value as it stands, when not empty.
    QByteArray fromValue;
    // Header lines ("Name: value\r\n" each) the next INVITEs carry besides.
    QByteArray inviteHeaders;

    // Requests inside the call the last INVITE set up, once its answer named the callee's tag.
    QByteArray ack() { return request("ACK", requestUri(), {}, {}, false); }
    // A new offer inside the call that sends its media to `mediaHost`.
    QByteArray reinvite(const QByteArray& mediaHost) {
        return request("INVITE", requestUri(), "Content-Type: application/sdp\r\n", description(mediaHost, 2));
    }
    QByteArray refer(const QByteArray& referTo) {
        return request("REFER", requestUri(),
                       "Refer-To: <" + referTo + ">\r\nReferred-By: <sip:peer@" + address().toLatin1() + ">\r\n");
    }
    QByteArray options(const QString& target) {
        begin(target, "<sip:peer@" + address().toLatin1() + ">;tag=1", "sip:peer@" + address().toLatin1());
        return request("OPTIONS", "sip:user@" + target.toLatin1());
    }

    void send(const QByteArray& datagram) {
        m_socket.writeDatagram(datagram, QHostAddress(m_target.section(QLatin1Char(':'), 0, 0)),
                               quint16(m_target.section(QLatin1Char(':'), 1).toUInt()));
    }
    // Waits for a datagram of the last call (by its Call-ID) whose first line starts with `start`
    // ("SIP/2.0 200", "BYE ") and whose CSeq mentions `method` when given; returns it, empty on
    // time-out.
    QByteArray waitFor(const QByteArray& start, const QByteArray& method = {}, int timeoutMs = 15000) {
        QByteArray found;
        testsupport::waitFor(
            [&] {
                for (const QByteArray& datagram : received)
                    if (datagram.startsWith(start) && datagram.contains("Call-ID: " + callId) &&
                        (method.isEmpty() || cseqOf(datagram).endsWith(" " + method))) {
                        found = datagram;
                        return true;
                    }
                return false;
            },
            timeoutMs);
        received.removeOne(found);
        return found;
    }
    // Takes the callee's tag and contact from its answer, for the requests inside the call.
    void answeredBy(const QByteArray& answer) {
        for (const QByteArray& line : answer.split('\n')) {
            const QByteArray header = line.trimmed();
            if (header.toLower().startsWith("to:")) m_to = header;
            if (header.toLower().startsWith("contact:"))
                m_remoteContact = header.mid(header.indexOf('<') + 1, header.indexOf('>') - header.indexOf('<') - 1);
        }
    }
    // The answer to a request: the same Via, From, To, Call-ID and CSeq.
    QByteArray reply(const QByteArray& request, const QByteArray& status) {
        return "SIP/2.0 " + status + "\r\n" + headersOf(request, true) + "Content-Length: 0\r\n\r\n";
    }
    // The ACK of a final response that refused an INVITE: the INVITE's Via, From and Call-ID, the
    // response's To.
    QByteArray acknowledgement(const QByteArray& response) const {
        return "ACK sip:user@" + m_target.toLatin1() + " SIP/2.0\r\n" + headersOf(response, false) +
               "Max-Forwards: 70\r\nCSeq: " + cseqOf(response).split(' ').value(0) +
               " ACK\r\nContent-Length: 0\r\n\r\n";
    }
    // A message's Via, From, To, Call-ID (and CSeq) lines, as they stand.
    static QByteArray headersOf(const QByteArray& message, bool withCseq) {
        QByteArray headers;
        for (const QByteArray& line : message.split('\n'))
            for (const char* name : {"via:", "from:", "to:", "call-id:", withCseq ? "cseq:" : "via:"})
                if (line.trimmed().toLower().startsWith(name)) {
                    headers += line.trimmed() + "\r\n";
                    break;
                }
        return headers;
    }
    static QByteArray cseqOf(const QByteArray& datagram) {
        for (const QByteArray& line : datagram.split('\n'))
            if (line.trimmed().toLower().startsWith("cseq:")) return line.mid(5).trimmed();
        return {};
    }

    QList<QByteArray> received;
    QByteArray callId;
    int cseq = 1;

private:
    // A new dialog with `target`: a fresh Call-ID, and the From and Contact its requests carry.
    void begin(const QString& target, const QByteArray& from, const QByteArray& contact) {
        m_target = target;
        callId = QByteArray::number(QRandomGenerator::global()->generate64(), 16) + "@" + host().toLatin1();
        m_from = "From: " + from;
        m_to = "To: <sip:user@" + target.toLatin1() + ">";
        m_contact = "Contact: <" + contact + ">";
    }
    // Keeps every datagram that comes.
    void listen() {
        QObject::connect(&m_socket, &QUdpSocket::readyRead, [this] {
            while (m_socket.hasPendingDatagrams()) {
                const QByteArray datagram = m_socket.receiveDatagram(70000).data();
                received.append(datagram);
                // A refusal of an INVITE is acknowledged, or it comes again and again.
                if (datagram.startsWith("SIP/2.0 ") && datagram.mid(8, 1) >= "3" &&
                    cseqOf(datagram).endsWith(" INVITE"))
                    send(acknowledgement(datagram));
            }
        });
    }
    // A session description with one audio stream at `mediaHost`.
    QByteArray description(const QByteArray& mediaHost, int version) const {
        return "v=0\r\no=- 1 " + QByteArray::number(version) + " IN IP4 " + host().toLatin1() + "\r\ns=-\r\nc=IN IP4 " +
               mediaHost + "\r\nt=0 0\r\nm=audio " + QByteArray::number(port() + 2) +
               " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    }
    QByteArray requestUri() const {
        return m_remoteContact.isEmpty() ? "sip:user@" + m_target.toLatin1() : m_remoteContact;
    }
    QByteArray request(const QByteArray& method, const QByteArray& uri, const QByteArray& extra = {},
                       const QByteArray& body = {}, bool nextCseq = true) {
        if (nextCseq && method != "INVITE") ++cseq;
        const QByteArray branch = "z9hG4bK" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        return method + ' ' + uri + " SIP/2.0\r\nVia: SIP/2.0/UDP " + address().toLatin1() + ";branch=" + branch +
               ";rport\r\nMax-Forwards: 70\r\n" + m_from + "\r\n" + m_to + "\r\nCall-ID: " + callId +
               "\r\nCSeq: " + QByteArray::number(cseq) + ' ' + (method == "ACK" ? QByteArray("INVITE") : method) +
               "\r\n" + m_contact + "\r\n" + extra + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
               body;
    }

    QUdpSocket m_socket;
    QString m_target;
    QByteArray m_from;
    QByteArray m_to;
    QByteArray m_contact;
    QByteArray m_remoteContact;
};

} // namespace testsupport
