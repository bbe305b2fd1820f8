// The alternate server's answers as fnUseAlternateSRV reads them: the default web server's
// reply first, then up to seven sites' replies (cut at NUL bytes), merged into one user table.
// A failure to read a date is a VB error the routine traps; anything else must not escape.
#include "FuzzSupport.h"
#include "platform/vb.h"
#include "web/AltServer.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startCoreApp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    web::AltServerAnswers answers;
    const QList<QByteArray> replies = fuzz::pieces(data, size, 8);
    try {
        for (qsizetype i = 0; i < replies.size(); ++i) {
            const QString reply = wire::fromCp1252(replies[i]);
            QString received = QStringLiteral("left over");
            const web::AltServerAnswers::Outcome outcome =
                i == 0 ? answers.readDefaultServer(reply, received) : answers.readSite(reply, received);
            if (outcome == web::AltServerAnswers::Outcome::Malformed) break;
            if (i == 0) fuzz::check(received.startsWith(answers.code()), "the default reply's code is not first");
            fuzz::check(!received.contains(QStringLiteral("left over")), "the received text was not cleared");
        }
    } catch (const vb::VbError&) {
        // 13 for a date that is no date, 9 for a record cut short: fnUseAlternateSRV logs them.
    }
    fuzz::check(!answers.table().isEmpty(), "the user table lost its first row");
    const QString message = answers.message();
    fuzz::check(message.startsWith(answers.code()), "the message does not start with the code");
    return 0;
}
