#pragma once
// Key arithmetic shared by the client's scrambling and the server's unscrambling. Pure
// functions without pauses or event processing; the client adds those around them.
#include <QString>
#include <string_view>

namespace wire {

inline constexpr std::string_view kScrambleKey = "Qx#rT7&kp%Lm2$vN9^wZ4!e";

// Key code for 1-based text position `position`: key character (position mod 23) + 1.
unsigned char keyCodeAt(qsizetype position);
unsigned char scrambleCode(unsigned char code, qsizetype position);
unsigned char unscrambleCode(unsigned char code, qsizetype position);
// unscrambleCode() over `count` bytes in place, the first at 1-based position `firstPosition`.
void unscrambleBytes(char* bytes, qsizetype count, qsizetype firstPosition);

// Whole-text forms, without any pause: code page conversion per character, then the arithmetic.
QString scrambled(const QString& plain);
QString unscrambled(const QString& scrambledText);

} // namespace wire
