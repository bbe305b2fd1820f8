#pragma once
// Text that someone else chose (a caller's display name, a SIP address) made fit to be shown:
// one line of printable characters, bounded, that reads the same in every place it appears.
#include <QString>

namespace wire {

// The longest peer text shown anywhere, in characters, unless a place asks for less.
inline constexpr qsizetype kMaxPeerTextChars = 80;

// `text` as one plain line of at most `maxChars` characters (at least 1):
// - controls, line and paragraph separators and format characters (direction marks, embeddings,
//   overrides and isolates, zero-width joiners) become spaces, so the text can neither break the
//   line nor reorder what is shown after it;
// - unpaired surrogates, unassigned code points, private-use characters and non-characters
//   become U+FFFD, which every font draws;
// - more than two combining marks on one character are dropped, so a name cannot pile marks
//   over the lines around it;
// - runs of white space become one space, and none is left at either end;
// - a longer line is cut, on a character boundary, and ends in "…" (U+2026).
// Markup is left as the characters it is: each place that reads markup escapes it.
QString cleanPeerText(const QString& text, qsizetype maxChars = kMaxPeerTextChars);

// A longer text (a server's notice, a message box's) cut to at most kScreenfulLines lines and
// kScreenfulChars characters, with "..." after a cut.
inline constexpr int kScreenfulLines = 25;
inline constexpr int kScreenfulChars = 2000;
QString screenful(const QString& text);

} // namespace wire
