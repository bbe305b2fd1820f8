// The chat server's reply framing as the client's socket delivers it: the bytes cut into chunks
// anywhere, the length prefix included. Whatever the cut, the framer must come to the same
// verdict and the same payload as when the reply arrives in one piece, and a second reply after
// reset() must be read as if the framer were new. A reply announcing more than the bound is
// refused, and no payload is ever longer than it.
#include "FuzzSupport.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

namespace {

wire::ReplyFramer::Result feedAll(wire::ReplyFramer& framer, const QList<QByteArray>& chunks) {
    wire::ReplyFramer::Result final;
    bool decided = false;
    for (const QByteArray& chunk : chunks) {
        const bool before = framer.inProgress();
        wire::ReplyFramer::Result result = framer.feed(wire::fromCp1252(chunk));
        if (decided) {
            // Once decided, everything else is dropped.
            fuzz::check(result.status == wire::ReplyFramer::Status::Incomplete && result.payload.isEmpty(),
                        "a finished framer answered again");
            continue;
        }
        if (result.status != wire::ReplyFramer::Status::Incomplete) {
            decided = true;
            final = std::move(result);
        } else {
            fuzz::check(result.payload.isEmpty(), "an incomplete reply carried a payload");
            fuzz::check(!before || framer.inProgress(), "a reply in progress stopped without a verdict");
        }
    }
    return final;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QList<QByteArray> chunks = fuzz::chunks(data, size);
    QByteArray whole;
    for (const QByteArray& chunk : chunks)
        whole += chunk;

    wire::ReplyFramer framer;
    const wire::ReplyFramer::Result cut = feedAll(framer, chunks);
    fuzz::check(!framer.inProgress() || cut.status == wire::ReplyFramer::Status::Incomplete,
                "in progress after a verdict");

    framer.reset();
    const wire::ReplyFramer::Result once = feedAll(framer, {whole});
    fuzz::check(cut.status == once.status, "the verdict depends on how the reply was cut");
    fuzz::check(cut.payload == once.payload, "the payload depends on how the reply was cut");

    fuzz::check(once.payload.size() <= wire::ReplyFramer::kMaxReplyChars, "a payload beyond the bound");
    if (once.status == wire::ReplyFramer::Status::TooLong) {
        const QString text = wire::fromCp1252(whole);
        fuzz::check(text.left(text.indexOf(wire::kSep)).toLongLong() > wire::ReplyFramer::kMaxReplyChars,
                    "refused a reply within the bound");
    }
    if (once.status == wire::ReplyFramer::Status::Complete) {
        // The payload is what the prefix announced, right after the first separator.
        const QString text = wire::fromCp1252(whole);
        const qsizetype sep = text.indexOf(wire::kSep);
        fuzz::check(sep > 0, "complete without a prefix");
        fuzz::check(text.left(sep).toLongLong() == once.payload.size(), "payload length differs from its prefix");
        fuzz::check(text.mid(sep + 1, once.payload.size()) == once.payload, "payload is not the text after the prefix");
        // Framing the payload again reads back the same.
        wire::ReplyFramer again;
        const wire::ReplyFramer::Result round = again.feed(wire::frameReply(once.payload));
        fuzz::check(round.status == wire::ReplyFramer::Status::Complete && round.payload == once.payload,
                    "a framed payload does not read back");
    }
    return 0;
}
