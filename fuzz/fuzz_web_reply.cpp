// A web site's reply as fnGetHomeIP and fnGetClientWANIP take it: collected chunk by chunk until
// the HTTP framing says it is whole or its cap is reached, then searched for the address markers
// and the date stamp. The three marker readers agree with each other, values come trimmed and
// never reach into their end marker, and comparing two stamps never says each is later than the
// other.
#include "FuzzClient.h"
#include "web/HttpGet.h"
#include "web/WebLookup.h"
#include "web/WebText.h"
#include "wire/Codepage.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startCoreApp();
    fuzz::enterProgramFolder();
    return 0;
}

namespace {

void checkValue(const std::optional<QString>& value, const QString& reply, const QString& start, const QString& end) {
    if (!value) return;
    fuzz::check(reply.contains(start) && reply.contains(end), "a value without its markers");
    fuzz::check(!value->startsWith(QLatin1Char(' ')) && !value->endsWith(QLatin1Char(' ')), "a value not trimmed");
    fuzz::check(!value->contains(end), "a value reaches into its end marker");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QString reply;
    for (const QByteArray& chunk : fuzz::chunks(data, size))
        if (web::appendWebChunk(reply, wire::fromCp1252(chunk))) break; // the handler stops collecting here
    fuzz::check(reply.size() <= web::kMaxReplyChars, "a reply beyond its cap");

    const std::optional<QString> look = web::lookWanValue(reply);
    const std::optional<QString> chat = web::clientChatValue(reply);
    const std::optional<web::RedirectAnswer> redirect = web::redirectAnswer(reply);
    checkValue(look, reply, web::kLookStart, web::kLookEnd);
    checkValue(chat, reply, web::kChatStart, web::kChatEnd);
    fuzz::check(redirect.has_value() == look.has_value(), "redirect and WAN readers disagree on the markers");
    if (redirect) {
        fuzz::check(redirect->address == *look, "redirect and WAN readers disagree on the address");
        const qint32 other = web::dateStampValue(reply);
        const bool later = basMain::fnCompareDates(redirect->stamp, other);
        const bool earlier = basMain::fnCompareDates(other, redirect->stamp);
        fuzz::check(!(later && earlier), "each stamp is later than the other");
        fuzz::check(!basMain::fnCompareDates(redirect->stamp, redirect->stamp), "a stamp is later than itself");
        fuzz::check(!web::yearFirstStamp(redirect->stamp).isEmpty(), "a stamp with no year-first form");
    }
    fuzz::trimLogs();
    return 0;
}
