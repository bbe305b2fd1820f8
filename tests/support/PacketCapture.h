#pragma once
// What crossed the wire, as someone on the path would record it: tcpdump writing the packets of
// an interface to a file, read back here packet by packet. And the one firewall rule the call
// tests need: a path that drops ZRTP, which makes any peer one that cannot encrypt. Both only in
// a network namespace of the test's own (tests/support/in-own-netns.sh puts the program in one),
// where nothing reaches the machine's own interfaces.
#include "tests/support/Children.h"
#include "tests/support/WaitFor.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <algorithm>

namespace testsupport {

// One IPv4 packet of TCP or UDP.
struct CapturedPacket {
    bool udp = false;
    quint32 source = 0;
    quint32 destination = 0;
    quint16 sourcePort = 0;
    quint16 destinationPort = 0;
    QByteArray payload;
};

// True when this process may set up what the lab needs (root in a namespace of its own).
inline bool labAvailable() {
    return !QStandardPaths::findExecutable(QStringLiteral("tcpdump")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("nft")).isEmpty() &&
           qEnvironmentVariableIsSet("COLLOQ_NETNS");
}

// Runs a command of the lab and says whether it succeeded.
inline bool labCommand(const QString& program, const QStringList& arguments) {
    return QProcess::execute(program, arguments) == 0;
}

// Applies nftables rules given as the text `nft -f` reads, and says whether they took.
inline bool labRules(const QString& rules) {
    QProcess nft;
    nft.setProcessChannelMode(QProcess::MergedChannels);
    nft.start(QStringLiteral("nft"), {QStringLiteral("-f"), QStringLiteral("-")});
    nft.write(rules.toUtf8());
    nft.closeWriteChannel();
    return nft.waitForFinished(10000) && nft.exitCode() == 0;
}

class PacketCapture {
public:
    // Starts recording the loopback interface; started() tells whether tcpdump runs.
    PacketCapture() {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        endWithRun(m_process);
        m_process.start(QStringLiteral("tcpdump"),
                        QStringLiteral("-i lo -U --immediate-mode -n -s 0 -w").split(QLatin1Char(' ')) << file());
        // It says it listens once the capture is set up.
        waitFor([&] { return m_process.state() != QProcess::Starting && m_process.peek(4096).contains("listening"); },
                10000);
    }
    ~PacketCapture() { stop(); }
    PacketCapture(const PacketCapture&) = delete;
    PacketCapture& operator=(const PacketCapture&) = delete;

    bool started() const { return m_process.state() == QProcess::Running; }
    QString file() const { return m_dir.filePath(QStringLiteral("capture.pcap")); }

    // Ends the recording and reads every IPv4 TCP and UDP packet of it, in order.
    QList<CapturedPacket> stop() {
        if (m_process.state() != QProcess::NotRunning) {
            waitFor([] { return false; }, 300); // the last packets reach the file
            m_process.terminate();
            m_process.waitForFinished(5000);
        }
        QFile pcap(file());
        if (!pcap.open(QIODevice::ReadOnly)) return {};
        return parse(pcap.readAll());
    }

    // Every packet of a classic pcap file of Ethernet (what tcpdump writes for "lo").
    static QList<CapturedPacket> parse(const QByteArray& bytes) {
        QList<CapturedPacket> packets;
        constexpr qsizetype kFileHeader = 24;
        constexpr qsizetype kRecordHeader = 16;
        constexpr qsizetype kEthernet = 14;
        qsizetype at = kFileHeader;
        while (at + kRecordHeader <= bytes.size()) {
            const auto length = qsizetype(qFromLittleEndian<quint32>(bytes.constData() + at + 8));
            const QByteArray frame = bytes.mid(at + kRecordHeader, length);
            at += kRecordHeader + length;
            if (frame.size() < kEthernet + 20 || qFromBigEndian<quint16>(frame.constData() + 12) != 0x0800) continue;
            const char* ip = frame.constData() + kEthernet;
            const qsizetype ipLength = qsizetype(ip[0] & 0x0F) * 4;
            const auto protocol = quint8(ip[9]);
            const char* transport = ip + ipLength;
            const qsizetype total = qFromBigEndian<quint16>(ip + 2);
            if (protocol != 6 && protocol != 17) continue;
            CapturedPacket packet;
            packet.udp = protocol == 17;
            packet.source = qFromBigEndian<quint32>(ip + 12);
            packet.destination = qFromBigEndian<quint32>(ip + 16);
            packet.sourcePort = qFromBigEndian<quint16>(transport);
            packet.destinationPort = qFromBigEndian<quint16>(transport + 2);
            const qsizetype header = packet.udp ? 8 : qsizetype((quint8(transport[12]) >> 4) * 4);
            const qsizetype start = kEthernet + ipLength + header;
            packet.payload = frame.mid(start, kEthernet + total - start);
            packets.append(packet);
        }
        return packets;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// The media datagrams of a capture: UDP that is neither SIP (on `sipPorts`) nor a keep-alive (STUN).
inline QList<CapturedPacket> mediaPackets(const QList<CapturedPacket>& packets, const QList<quint16>& sipPorts) {
    QList<CapturedPacket> found;
    for (const CapturedPacket& packet : packets) {
        if (!packet.udp || sipPorts.contains(packet.sourcePort) || sipPorts.contains(packet.destinationPort)) continue;
        if (packet.payload.size() >= 8 && packet.payload.mid(4, 4) == QByteArray::fromHex("2112a442")) continue;
        found.append(packet);
    }
    return found;
}

// RTP (version 2) that carries sound or pictures (RTCP reports, payload types 72 to 76, aside).
inline bool isRtpMedia(const CapturedPacket& packet) {
    if (packet.payload.size() <= 12 || (quint8(packet.payload.at(0)) >> 6) != 2) return false;
    const int payloadType = quint8(packet.payload.at(1)) & 0x7F;
    return payloadType < 72 || payloadType > 76;
}

// Whether RTP packets carry their codec's bytes in the clear. A codec's frames share their first
// byte (Opus its table-of-contents byte, the same for every frame of a call); SRTP makes every
// payload byte look random, so no first byte comes up in more than a few packets.
inline bool looksPlain(const QList<CapturedPacket>& rtp) {
    QHash<char, int> firstBytes;
    int most = 0;
    for (const CapturedPacket& packet : rtp)
        most = std::max(most, ++firstBytes[packet.payload.at(12)]);
    return !rtp.isEmpty() && qsizetype{most} * 4 > rtp.size();
}

// Whether no RTP packet went out before the ZRTP exchange had ended (its last message, Conf2ACK,
// seen after the cookie "ZRTP" at the fifth byte), among the datagrams in capture order.
inline bool noMediaBeforeKeys(const QList<CapturedPacket>& datagrams) {
    bool keysAgreed = false;
    for (const CapturedPacket& packet : datagrams) {
        if (packet.payload.mid(4, 4) == "ZRTP" && packet.payload.mid(16, 8) == "Conf2ACK") keysAgreed = true;
        if (isRtpMedia(packet) && !keysAgreed) return false;
    }
    return true;
}

// The secrets (IDs, e-mail addresses) that could be read off the TCP traffic of `ports` (either
// end): in the bytes as they went, and in each connection's bytes to the server unscrambled, as
// the chat protocol's requests are read.
inline QStringList secretsIn(const QList<CapturedPacket>& packets, const QList<quint16>& ports,
                             const QStringList& secrets) {
    QHash<QString, QByteArray> requests; // by connection
    QByteArray all;
    for (const CapturedPacket& packet : packets) {
        if (packet.udp || (!ports.contains(packet.sourcePort) && !ports.contains(packet.destinationPort))) continue;
        all += packet.payload;
        if (ports.contains(packet.destinationPort))
            requests[QString::number(packet.source) + QLatin1Char(':') + QString::number(packet.sourcePort) +
                     QLatin1Char('>') + QString::number(packet.destinationPort)] += packet.payload;
    }
    QStringList readable{wire::fromCp1252(all)};
    for (const QByteArray& request : std::as_const(requests))
        readable.append(wire::unscrambled(wire::fromCp1252(request)));
    QStringList found;
    for (const QString& secret : secrets)
        for (const QString& text : std::as_const(readable))
            if (!secret.isEmpty() && text.contains(secret) && !found.contains(secret)) found.append(secret);
    return found;
}

// For as long as it lives, every ZRTP datagram on this namespace's loopback is dropped: whoever
// talks through it cannot agree on keys, as with a peer that has no ZRTP at all.
class ZrtpBlocked {
public:
    ZrtpBlocked() {
        // The cookie sits 4 bytes into the UDP payload, 12 bytes (96 bits) into the UDP header.
        m_ok = labRules(QStringLiteral("add table inet colloq_lab\n"
                                       "add chain inet colloq_lab out { type filter hook output priority 0; }\n"
                                       "add rule inet colloq_lab out udp length > 20 @th,96,32 0x5a525450 drop\n"));
    }
    ~ZrtpBlocked() { labRules(QStringLiteral("delete table inet colloq_lab\n")); }
    ZrtpBlocked(const ZrtpBlocked&) = delete;
    ZrtpBlocked& operator=(const ZrtpBlocked&) = delete;
    bool active() const { return m_ok; }

private:
    bool m_ok = false;
};

} // namespace testsupport
