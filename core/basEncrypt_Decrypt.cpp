#include "core/basEncrypt_Decrypt.h"

#include "core/ErrorLog.h"
#include "platform/vb.h"
#include "platform/win32.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

namespace basEncrypt_Decrypt {

namespace {

unsigned s_characterPause = 1;

using CodeStep = unsigned char (*)(unsigned char code, qsizetype position);

// One pass over the text, one character at a time, letting pending events run after each one.
// The work is done on a copy: handlers that run in between see the text as it was until the
// whole pass is done. Positions count in qsizetype, so texts of any length are handled.
void transform(QString& strText, CodeStep codeStep, const char* procName) {
    int step = 1;
    QString work;
    qsizetype done = 0;
    try {
        const qsizetype length = strText.size();
        if (length == 0) return;
        work = strText;
        step = 2;
        for (qsizetype position = 1; position <= length; ++position) {
            step = 3;
            const unsigned char code = wire::cp1252Code(work[position - 1]);
            step = 4;
            const unsigned char result = codeStep(code, position);
            step = 5;
            work[position - 1] = wire::cp1252Char(result);
            done = position;
            // Pending events run between characters, as scrambling has always let them: a long
            // text (the site list) would otherwise hold the window still while it is scrambled.
            vb::DoEvents();
            if (s_characterPause > 0) win32::Sleep(s_characterPause);
        }
        strText = work;
    } catch (const std::exception& error) {
        // The characters already handled stay changed, the rest as they were.
        if (done > 0) {
            try {
                strText = work.left(done) + strText.mid(done);
            } catch (...) {
            }
        }
        basMain::logCaught(QLatin1String(procName) + QLatin1Char('[') + QString::number(step) + QLatin1Char(']'),
                           error);
    }
}

} // namespace

void EncryptText(QString& strText) {
    transform(strText, &wire::scrambleCode, "EncryptText");
}

void DecryptText(QString& strText) {
    transform(strText, &wire::unscrambleCode, "DecryptText");
}

void setCharacterPauseForTesting(unsigned milliseconds) {
    s_characterPause = milliseconds;
}

unsigned characterPause() {
    return s_characterPause;
}

} // namespace basEncrypt_Decrypt
