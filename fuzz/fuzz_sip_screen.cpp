// A SIP datagram from anyone, as the engine's guard reads it before the engine may: the verdict
// is reached within the bounds whatever the bytes, a request it lets through keeps every bound,
// an answer it writes repeats the request's Call-ID and is one SIP response, and the caller's
// name it keeps becomes one clean, bounded line on the screen.
#include "FuzzSupport.h"
#include "call/rtc/SipScreen.h"
#include "wire/PeerText.h"

namespace sip = rtc::sip;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray datagram(reinterpret_cast<const char*>(data), qsizetype(size));
    const sip::Verdict verdict = sip::screen(datagram);
    if (verdict.action == sip::Action::Pass && verdict.request) {
        fuzz::check(datagram.size() <= sip::kMaxDatagramBytes, "a datagram past the bound let through");
        fuzz::check(verdict.request->method != "REFER", "a transfer let through");
        fuzz::check(!(verdict.request->method == "INVITE" && verdict.request->replacesCall), "a takeover let through");
    }
    if (verdict.request)
        fuzz::check(verdict.request->fromName.size() <= sip::kMaxAddressBytes, "a caller's name kept past the bound");
    if (verdict.action == sip::Action::Refuse) {
        fuzz::check(verdict.code >= 400 && verdict.code < 700, "a refusal that is no error");
        const QByteArray answer = sip::response(datagram, verdict.code, verdict.phrase);
        if (!answer.isEmpty()) {
            fuzz::check(answer.startsWith("SIP/2.0 ") && answer.endsWith("\r\n\r\n"), "an answer that is no response");
            const sip::Verdict read = sip::screen(answer);
            fuzz::check(read.action != sip::Action::Refuse, "our own answer refused as a request");
        }
    }
    const QString name = wire::cleanPeerText(QString::fromUtf8(verdict.request ? verdict.request->fromName : datagram));
    fuzz::check(name.size() <= wire::kMaxPeerTextChars, "a name longer than the screen takes");
    for (const QChar c : name)
        fuzz::check(c.category() != QChar::Other_Control && c.category() != QChar::Other_Format &&
                        c != QChar::LineSeparator && c != QChar::ParagraphSeparator,
                    "a control or direction mark left in a name");
    return 0;
}
