// A chat request cut into chunks anywhere, plain or scrambled, from a user's address or a
// stranger's, parsed after every chunk as the connection does, then answered by the service over
// a real store. In chunks it must come to what it comes to in one piece; taken as whole it has
// the fields its code needs; every answer starts with a numeric reply code.
//   byte 0: bits 0-1 choose the peer; bit 2 set scrambles the request as the client does
//   byte 1 on: the chunking byte, then the request (see fuzz::chunks)
#include "FuzzServer.h"
#include "chatserver/net/RequestParser.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

namespace {

constexpr qsizetype kMaxRequestBytes = 8192; // the listeners' default

void checkAnswer(const std::optional<QString>& reply) {
    bool numeric = !reply;
    if (reply) reply->section(wire::kSep, 0, 0).toInt(&numeric);
    fuzz::check(numeric, "an answer without a numeric reply code");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startCoreApp();
    fuzz::chatService();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const QString peer = fuzz::peerFor(data[0] & 3u);
    QList<QByteArray> chunks = fuzz::chunks(data + 1, size - 1);
    if (data[0] & 4u) { // scrambled as a whole, cut where the plain text was cut
        qsizetype at = 0;
        for (QByteArray& chunk : chunks)
            for (char& byte : chunk)
                byte = static_cast<char>(wire::scrambleCode(static_cast<unsigned char>(byte), ++at));
    }

    chatserver::ChatService& service = fuzz::chatService();
    fuzz::tick();
    QByteArray received;
    chatserver::ChatRequestReader reader(kMaxRequestBytes);
    chatserver::ChatParse parse;
    for (const QByteArray& chunk : chunks) {
        received += chunk;
        parse = reader.feed(chunk);
        if (parse.status == chatserver::ChatParse::Status::Malformed) break;
        // Whole in its first chunk and settled: answered at once, the rest never read.
        if (parse.status == chatserver::ChatParse::Status::Complete && parse.settled && received == chunk) break;
    }
    const chatserver::ChatParse whole = chatserver::parseChatRequest(received, kMaxRequestBytes);
    fuzz::check(parse.status == whole.status && parse.settled == whole.settled && parse.knownCode == whole.knownCode &&
                    parse.request.code == whole.request.code && parse.request.args == whole.request.args &&
                    parse.request.callAddress == whole.request.callAddress &&
                    parse.request.scrambled == whole.request.scrambled,
                "the verdict or the fields depend on how the request was cut");
    if (parse.status == chatserver::ChatParse::Status::Malformed) {
        checkAnswer(service.refuseMalformed(parse.knownCode).reply);
        return 0;
    }
    if (parse.status != chatserver::ChatParse::Status::Complete) return 0;

    const chatserver::ChatRequest& request = parse.request;
    fuzz::check(request.args.size() == chatserver::chatFieldCount(request.code) - 2,
                "a request taken as whole without the fields its code needs");
    fuzz::check(request.hasAddress == request.scrambled, "a plain request with an address, or the reverse");
    checkAnswer(service.handle(request, peer).reply);
    return 0;
}
