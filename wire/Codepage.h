#pragma once
// The single-byte code page used wherever text becomes bytes: files, the chat wire, scrambling,
// digests. Windows-1252, so that files written by older clients read back unchanged.
#include <QByteArray>
#include <QString>

namespace wire {

// One byte per character; a character the code page cannot hold becomes '?' (63).
QByteArray toCp1252(const QString& text);
// One character per byte. The five bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) map to the C1 control of the same value, so every byte survives a round trip.
QString fromCp1252(QByteArrayView bytes);
// The code page writes the character as the byte Latin-1 gives it: everything up to 0xFF but
// 0x80-0x9F, where it keeps other characters.
constexpr bool sameInLatin1(char16_t u) {
    return u < 0x80 || (u >= 0xA0 && u <= 0xFF);
}
// The code of one character (63 for one outside the code page), and the character of a code.
unsigned char cp1252Code(QChar c);
QChar cp1252Char(unsigned char code);
// The characters of `text` the code page cannot carry (each once, in the order they first come),
// which toCp1252 would turn into '?': empty when the whole text goes through unchanged.
QString cp1252Missing(const QString& text);

} // namespace wire
