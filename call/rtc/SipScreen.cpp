#include "call/rtc/SipScreen.h"

#include <QList>
#include <QRandomGenerator>

namespace rtc::sip {

namespace {

using View = QByteArrayView;

// The header names we read, compact forms spelled out.
QByteArray canonicalName(View name) {
    const QByteArray lower = name.toByteArray().toLower();
    if (lower.size() != 1) return lower;
    switch (lower.at(0)) {
    case 'f':
        return "from";
    case 't':
        return "to";
    case 'm':
        return "contact";
    case 'i':
        return "call-id";
    case 'v':
        return "via";
    default:
        return lower;
    }
}

bool isTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("-.!%*_+`'~").contains(c);
}

bool isToken(View text) {
    if (text.isEmpty()) return false;
    for (char c : text)
        if (!isTokenChar(c)) return false;
    return true;
}

// One header line split at its colon: name (without the white space SIP allows before the colon)
// and value (trimmed). No colon, or a name that is not a token: nothing.
std::optional<std::pair<View, View>> splitHeader(View line) {
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return std::nullopt;
    const View name = line.first(colon).trimmed();
    if (!isToken(name)) return std::nullopt;
    return std::pair{name, line.sliced(colon + 1).trimmed()};
}

// A From, To or Contact value read as a name and an address.
struct NameAddr {
    View name;  // without quotes, escapes as sent
    View uri;   // inside the angle brackets, or up to the first parameter
    View after; // the header parameters
    bool ok = true;
};

NameAddr readNameAddr(View value) {
    NameAddr read;
    View rest = value.trimmed();
    if (rest.startsWith('"')) {
        qsizetype i = 1;
        for (; i < rest.size() && rest.at(i) != '"'; ++i)
            if (rest.at(i) == '\\') ++i;
        if (i >= rest.size()) return NameAddr{{}, {}, {}, false}; // the quote never closes
        read.name = rest.sliced(1, i - 1);
        rest = rest.sliced(i + 1).trimmed();
    }
    const qsizetype open = rest.indexOf('<');
    if (open >= 0) {
        if (read.name.isEmpty()) read.name = rest.first(open).trimmed();
        const qsizetype close = rest.indexOf('>', open);
        if (close < 0) return NameAddr{{}, {}, {}, false};
        read.uri = rest.sliced(open + 1, close - open - 1).trimmed();
        read.after = rest.sliced(close + 1);
    } else {
        const qsizetype semicolon = rest.indexOf(';');
        read.uri = semicolon < 0 ? rest : rest.first(semicolon);
        read.after = semicolon < 0 ? View() : rest.sliced(semicolon);
    }
    return read;
}

// "host:port" of a SIP address ("sip:user@host:port;params"), the port 5060 when none is given.
QByteArray hostPortOf(View uri) {
    const qsizetype colon = uri.indexOf(':');
    if (colon < 0) return {};
    View rest = uri.sliced(colon + 1);
    for (const char end : {';', '?'})
        if (const qsizetype at = rest.indexOf(end); at >= 0) rest = rest.first(at);
    if (const qsizetype at = rest.lastIndexOf('@'); at >= 0) rest = rest.sliced(at + 1);
    const qsizetype bracket = rest.lastIndexOf(']');
    const qsizetype portColon = rest.lastIndexOf(':');
    if (rest.isEmpty()) return {};
    if (portColon < 0 || portColon < bracket) return rest.toByteArray().toLower() + ":5060";
    return rest.toByteArray().toLower();
}

bool hasTagParameter(View parameters) {
    return parameters.toByteArray().toLower().contains(";tag=");
}

constexpr int kMaxMediaAddresses = 16;

// The addresses a session description names: connection ("c=IN IP4 a.b.c.d[/ttl]") and RTCP
// ("a=rtcp:port IN IP4 addr") addresses into `media`, ICE candidates' into `candidates`.
void readMediaAddresses(View body, QList<QByteArray>* media, QList<QByteArray>* candidates) {
    for (const QByteArray& raw : body.toByteArray().split('\n')) {
        const QByteArray line = raw.trimmed();
        const QList<QByteArray> words = line.split(' ');
        QList<QByteArray>* into = nullptr;
        QByteArray address;
        if (line.startsWith("c=") && words.size() >= 3) {
            into = media;
            address = words[2].split('/').value(0);
        } else if (line.startsWith("a=rtcp:") && words.size() >= 4) {
            into = media;
            address = words[3];
        } else if (line.startsWith("a=candidate:") && words.size() >= 5) {
            into = candidates;
            address = words[4];
        }
        if (into && !address.isEmpty() && into->size() < kMaxMediaAddresses && !into->contains(address.toLower()))
            into->append(address.toLower());
    }
}

// A STUN message (two zero bits, then the magic cookie): the engine's address discovery may use
// the SIP socket, and its answers are not ours to judge.
bool isStun(const QByteArray& datagram) {
    return datagram.size() >= 20 && (quint8(datagram.at(0)) & 0xC0) == 0 && quint8(datagram.at(4)) == 0x21 &&
           quint8(datagram.at(5)) == 0x12 && quint8(datagram.at(6)) == 0xA4 && quint8(datagram.at(7)) == 0x42;
}

// A keep-alive: nothing but line ends.
bool isKeepAlive(const QByteArray& datagram) {
    if (datagram.isEmpty() || datagram.size() > 4) return false;
    for (char c : datagram)
        if (c != '\r' && c != '\n') return false;
    return true;
}

// The header lines of a message, each without its line end, up to the empty line (the body's).
QList<View> headerLines(const QByteArray& message, View* startLine, View* body = nullptr) {
    QList<View> lines;
    qsizetype from = 0;
    bool first = true;
    while (from < message.size()) {
        qsizetype end = message.indexOf('\n', from);
        if (end < 0) end = message.size();
        View line = View(message).sliced(from, end - from);
        if (line.endsWith('\r')) line.chop(1);
        from = end + 1;
        if (first) {
            *startLine = line;
            first = false;
            continue;
        }
        if (line.isEmpty()) {
            if (body) *body = View(message).sliced(qMin(from, message.size()));
            break;
        }
        lines.append(line);
        if (lines.size() > kMaxHeaderLines) break; // one past the bound is enough to refuse
    }
    return lines;
}

Verdict refused(Reason reason, int code, const char* phrase, std::optional<Request> request) {
    Verdict verdict;
    verdict.action = Action::Refuse;
    verdict.reason = reason;
    verdict.code = code;
    verdict.phrase = phrase;
    if (request) verdict.callId = request->callId;
    verdict.request = std::move(request);
    return verdict;
}

Verdict passed(std::optional<Request> request = std::nullopt, bool response = false) {
    Verdict verdict;
    verdict.action = Action::Pass;
    verdict.reason = Reason::None;
    verdict.request = std::move(request);
    verdict.response = response;
    return verdict;
}

Verdict dropped(Reason reason, bool response = false) {
    Verdict verdict;
    verdict.action = Action::Drop;
    verdict.reason = reason;
    verdict.response = response;
    return verdict;
}

} // namespace

Verdict screen(const QByteArray& datagram, qsizetype size) {
    if (isKeepAlive(datagram) || isStun(datagram)) return passed();
    View startLine;
    View body;
    const QList<View> lines = headerLines(datagram, &startLine, &body);
    const bool isResponse = startLine.startsWith("SIP/2.0 ");
    Request request;
    if (!isResponse) {
        const QList<QByteArray> parts = startLine.toByteArray().split(' ');
        if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty() || parts[2] != "SIP/2.0")
            return dropped(Reason::Malformed);
        request.method = parts[0].toUpper();
    }

    // Every header is looked at, whatever it is, before anything is decided on one of them.
    int vias = 0;
    int froms = 0;
    int tos = 0;
    int assertions = 0;
    std::optional<Reason> badReason;
    int badCode = 400;
    const char* badPhrase = nullptr;
    auto bad = [&](Reason reason, const char* phrase, int code = 400) {
        if (!badReason) badReason = reason, badPhrase = phrase, badCode = code;
    };
    if (size > kMaxDatagramBytes) bad(Reason::TooLarge, "Message Too Large", 513);
    if (lines.size() > kMaxHeaderLines) bad(Reason::TooLarge, "Too Many Headers");
    for (const View line : lines) {
        // A line too long is refused, but read all the same: the answer needs its headers.
        if (line.size() > kMaxHeaderLineBytes) bad(Reason::TooLarge, "Header Too Long");
        if (line.startsWith(' ') || line.startsWith('\t')) {
            bad(Reason::Malformed, "Folded Header Lines Not Accepted");
            continue;
        }
        const auto header = splitHeader(line);
        if (!header) {
            bad(Reason::Malformed, "Bad Header");
            continue;
        }
        const QByteArray name = canonicalName(header->first);
        const View value = header->second;
        if (name == "via") {
            ++vias;
        } else if (name == "from" || name == "to") {
            const NameAddr address = readNameAddr(value);
            if (!address.ok) bad(Reason::Malformed, "Bad Address");
            if (value.size() > kMaxAddressBytes) bad(Reason::TooLarge, "Address Too Long");
            if (name == "from") {
                ++froms;
                request.fromName = address.name.first(qMin(address.name.size(), kMaxAddressBytes)).toByteArray();
                request.fromUri = address.uri.toByteArray();
            } else {
                ++tos;
                request.toTag = hasTagParameter(address.after);
            }
        } else if (name == "contact") {
            if (request.contact.isEmpty()) request.contact = hostPortOf(readNameAddr(value).uri);
        } else if (name == "p-asserted-identity") {
            const View uri = readNameAddr(value).uri;
            if (++assertions == 1 && uri.toByteArray().toLower().startsWith("sip:")) request.asserted = hostPortOf(uri);
        } else if (name == "call-id") {
            request.callId = value.toByteArray();
        } else if (name == "cseq") {
            request.cseq = value.toByteArray();
        } else if (name == "replaces" || name == "join") {
            request.replacesCall = true;
        }
    }
    if (assertions != 1) request.asserted.clear();
    if (vias == 0 || froms != 1 || tos != 1 || request.callId.isEmpty() || request.cseq.isEmpty())
        return dropped(Reason::Malformed, isResponse);
    if (isResponse) {
        // A response the engine could not take is dropped: its transaction times out as if lost.
        if (badReason) return dropped(*badReason, true);
        Verdict verdict = passed(std::nullopt, true);
        verdict.callId = request.callId;
        readMediaAddresses(body, &verdict.media, &verdict.candidates);
        return verdict;
    }
    if (badReason) return refused(*badReason, badCode, badPhrase, request);
    if (request.method == "REFER") return refused(Reason::Transfer, 403, "Call Transfer Not Accepted", request);
    if (request.method == "INVITE" && request.replacesCall)
        return refused(Reason::Takeover, 403, "Call Takeover Not Accepted", request);
    if (request.method == "MESSAGE" || request.method == "SUBSCRIBE" || request.method == "PUBLISH")
        return refused(Reason::NotOffered, 405, "Method Not Allowed", request);
    Verdict verdict = passed(request);
    verdict.callId = request.callId;
    readMediaAddresses(body, &verdict.media, &verdict.candidates);
    return verdict;
}

bool mediaStaysPut(const Verdict& verdict, const QList<QByteArray>& named) {
    for (const QByteArray& address : verdict.media)
        if (address != "0.0.0.0" && address != "::" && !named.contains(address)) return false;
    return true;
}

QByteArray response(const QByteArray& request, int code, const QByteArray& phrase) {
    // The headers an answer repeats may be as long as the request's: a datagram holds them.
    constexpr qsizetype kMaxResponseBytes = 65000;
    View startLine;
    const QList<View> lines = headerLines(request, &startLine);
    QByteArray vias;
    QByteArray copied;
    bool to = false;
    bool from = false;
    bool callId = false;
    bool cseq = false;
    for (const View line : lines) {
        const auto header = splitHeader(line);
        if (!header) continue;
        const QByteArray name = canonicalName(header->first);
        if (name == "via") {
            vias += line.toByteArray() + "\r\n";
        } else if (name == "to" && !to) {
            to = true;
            copied += line.toByteArray();
            if (!hasTagParameter(readNameAddr(header->second).after))
                copied += ";tag=" + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
            copied += "\r\n";
        } else if ((name == "from" && !std::exchange(from, true)) ||
                   (name == "call-id" && !std::exchange(callId, true)) ||
                   (name == "cseq" && !std::exchange(cseq, true))) {
            copied += line.toByteArray() + "\r\n";
        }
    }
    if (vias.isEmpty() || !to || !from || !callId || !cseq || vias.size() + copied.size() > kMaxResponseBytes)
        return {};
    return "SIP/2.0 " + QByteArray::number(code) + ' ' + phrase + "\r\n" + vias + copied + "Content-Length: 0\r\n\r\n";
}

QByteArray Origin::paceKey() const {
    if (relayUser) return source;
    const qsizetype colon = source.lastIndexOf(':');
    return colon < 0 ? source : source.first(colon);
}

Origin originOf(const Request& request, const QByteArray& from, const QList<QByteArray>& relays) {
    if (request.asserted.isEmpty() || !relays.contains(from)) return {from, request.contact, false};
    const auto hostOf = [](const QByteArray& hostPort) { return hostPort.left(hostPort.lastIndexOf(':')); };
    if (hostOf(request.asserted) == hostOf(from)) return {request.asserted, request.asserted, true};
    return {request.asserted, request.contact, false};
}

bool CallPace::admit(const QString& source, qint64 nowMs) {
    auto found = m_buckets.find(source);
    if (found == m_buckets.end()) {
        if (m_order.size() >= kMaxSources) {
            m_buckets.remove(m_order.front());
            m_order.pop_front();
        }
        m_order.push_back(source);
        found = m_buckets.insert(source, Bucket{double(kBurst), nowMs});
    }
    Bucket& bucket = *found;
    bucket.tokens = qMin(double(kBurst), bucket.tokens + double(qMax<qint64>(0, nowMs - bucket.atMs)) / kRefillMs);
    bucket.atMs = nowMs;
    if (bucket.tokens < 1.0) return false;
    bucket.tokens -= 1.0;
    return true;
}

} // namespace rtc::sip
