// The header a load balancer puts before a connection's bytes, as the connection reads it: the
// verdict after each byte. Until a header is whole the verdict may only be "not yet", a header
// once whole or refused stays so whatever follows, a whole one is never longer than the cap nor
// than what arrived, and the caller it names is an address.
#include "FuzzSupport.h"
#include "chatserver/net/ProxyHeader.h"

using chatserver::ProxyHeader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView bytes(data, qsizetype(size));
    const ProxyHeader whole = chatserver::parseProxyHeader(bytes);
    if (whole.status == ProxyHeader::Status::Complete) {
        fuzz::check(whole.length > 0 && whole.length <= bytes.size() && whole.length <= chatserver::kMaxProxyHeader,
                    "a header longer than what arrived or than the cap");
        fuzz::check(whole.address.isEmpty() || !QHostAddress(whole.address).isNull(), "a caller that is no address");
    }
    const qsizetype decided = whole.status == ProxyHeader::Status::Complete ? whole.length : bytes.size() + 1;
    for (qsizetype n = 1; n <= bytes.size(); ++n) {
        const ProxyHeader part = chatserver::parseProxyHeader(bytes.first(n));
        if (n < decided && whole.status == ProxyHeader::Status::Complete)
            fuzz::check(part.status == ProxyHeader::Status::Incomplete, "a verdict before the header was whole");
        if (part.status == ProxyHeader::Status::Invalid)
            fuzz::check(whole.status == ProxyHeader::Status::Invalid, "a refused header accepted once longer");
        if (part.status == ProxyHeader::Status::Complete)
            fuzz::check(whole.status == ProxyHeader::Status::Complete && part.length == whole.length &&
                            part.address == whole.address,
                        "a whole header read otherwise once more arrived");
    }
    return 0;
}
