#include "core/basEncrypt_Decrypt.h"

#include "core/ErrorLog.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

namespace basEncrypt_Decrypt {

namespace {

using CodeStep = unsigned char (*)(unsigned char code, qsizetype position);

// One pass over the text, one character at a time, on a copy that is assigned back at the end.
// It runs straight through, without letting events run: the longest site list (3,072 characters)
// takes a few hundredths of a millisecond. Positions count in qsizetype, so texts of any length
// are handled.
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

} // namespace basEncrypt_Decrypt
