#include "wire/Scramble.h"

#include "wire/Codepage.h"

namespace wire {

namespace {

constexpr auto kKeyLength = static_cast<qsizetype>(kScrambleKey.size());

// Position p takes key character (p mod 23) + 1, i.e. the 0-based index p mod 23; the modulo is
// kept non-negative so a stray position 0 or below cannot index outside the key.
qsizetype keyIndexAt(qsizetype position) {
    return ((position % kKeyLength) + kKeyLength) % kKeyLength;
}

} // namespace

unsigned char keyCodeAt(qsizetype position) {
    return static_cast<unsigned char>(kScrambleKey[static_cast<std::size_t>(keyIndexAt(position))]);
}

unsigned char scrambleCode(unsigned char code, qsizetype position) {
    return static_cast<unsigned char>((code + keyCodeAt(position)) & 0xFF);
}

unsigned char unscrambleCode(unsigned char code, qsizetype position) {
    return static_cast<unsigned char>((code - keyCodeAt(position) + 256) & 0xFF);
}

void unscrambleBytes(char* bytes, qsizetype count, qsizetype firstPosition) {
    // Every request the server reads comes this way: the key's place moves on with the text
    // rather than being found again from the position for every byte.
    qsizetype keyIndex = keyIndexAt(firstPosition);
    for (qsizetype i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) -
                                     static_cast<unsigned char>(kScrambleKey[std::size_t(keyIndex)]));
        if (++keyIndex == kKeyLength) keyIndex = 0;
    }
}

QString scrambled(const QString& plain) {
    QString result(plain.size(), QChar());
    for (qsizetype i = 0; i < plain.size(); ++i)
        result[i] = cp1252Char(scrambleCode(cp1252Code(plain[i]), i + 1));
    return result;
}

QString unscrambled(const QString& scrambledText) {
    QString result(scrambledText.size(), QChar());
    for (qsizetype i = 0; i < scrambledText.size(); ++i)
        result[i] = cp1252Char(unscrambleCode(cp1252Code(scrambledText[i]), i + 1));
    return result;
}

} // namespace wire
