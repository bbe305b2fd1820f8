// Unscrambling of settings files and chat requests: any text, of any length. The program's
// routine (one character at a time, events run in between) must agree with the plain key
// arithmetic, and scrambling its result must give back the bytes that were read.
//   first byte even: the rest is file bytes, one character per byte, as the program reads them
//   first byte odd:  the rest is UTF-16 text, characters the code page lacks included
#include "FuzzClient.h"
#include "app/basEncrypt_Decrypt.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startCoreApp();
    fuzz::enterProgramFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool fromFile = data[0] % 2 == 0;
    QString input;
    if (fromFile) {
        input = fuzz::text(data + 1, size - 1);
    } else {
        for (std::size_t i = 1; i + 1 < size; i += 2)
            input.append(QChar(static_cast<char16_t>(data[i] | (data[i + 1] << 8))));
    }

    QString text = input;
    basEncrypt_Decrypt::DecryptText(text);
    fuzz::check(text.size() == input.size(), "unscrambling changed the length");
    fuzz::check(text == wire::unscrambled(input), "the routine and the key arithmetic disagree");

    QString back = text;
    basEncrypt_Decrypt::EncryptText(back);
    if (fromFile) {
        fuzz::check(back == input, "scrambling does not undo unscrambling");
        fuzz::check(wire::toCp1252(back) == fuzz::bytes(data + 1, size - 1), "the bytes did not survive");
    } else {
        // Each character outside the code page reads as "?" and stays so (one per UTF-16 unit:
        // the routine works a character at a time).
        QString expected = input;
        for (QChar& c : expected)
            c = wire::cp1252Char(wire::cp1252Code(c));
        fuzz::check(back == expected, "scrambling does not undo unscrambling");
    }
    fuzz::trimLogs();
    return 0;
}
