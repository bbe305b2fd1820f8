// An HTTP request to the server's web pages, cut into chunks anywhere, read by the request
// reader and answered by the pages over a real store.
//   byte 0: bits 0-1 choose the peer; bit 2 set takes the rest as a page target only and wraps
//           it in the request line and headers the client sends
//   byte 1 on: the chunking byte, then the request or the target (see fuzz::chunks)
// Every answer has a status the pages use, and announces the length of the body it carries.
#include "FuzzServer.h"
#include "chatserver/WebPages.h"
#include "chatserver/net/HttpRequest.h"

namespace {

chatserver::WebPages& pages() {
    // Kept to the end of the process, as the service is.
    static chatserver::WebPages* pages =
        std::make_unique<chatserver::WebPages>(fuzz::chatService(), chatserver::WebSettings{}).release();
    return *pages;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startCoreApp();
    pages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const QString peer = fuzz::peerFor(data[0] & 3u);
    QList<QByteArray> chunks = fuzz::chunks(data + 1, size - 1);
    if (data[0] & 4u) {
        chunks.prepend("GET //");
        chunks.append(" HTTP/1.1\r\nHost: localhost:80\r\nConnection: Close\r\n\r\n");
    }

    fuzz::tick();
    chatserver::HttpRequestReader reader;
    for (const QByteArray& chunk : chunks)
        if (reader.feed(chunk) != chatserver::HttpRequestReader::Status::Incomplete) break;
    if (reader.status() != chatserver::HttpRequestReader::Status::Complete) return 0;

    const chatserver::WebResponse response = pages().answer(reader.method(), reader.target(), peer);
    fuzz::check(response.status == 200 || response.status == 400 || response.status == 404 || response.status == 405,
                "an answer with a status the pages never use");
    const QByteArray raw = chatserver::WebPages::serialise(response);
    fuzz::check(raw.endsWith("\r\n\r\n" + response.body) &&
                    raw.contains("Content-Length: " + QByteArray::number(response.body.size()) + "\r\n"),
                "the body sent or its announced length differs from the answer");
    return 0;
}
