#pragma once
// What callers name things by, each in the one form the server compares, keeps and counts:
// user IDs, call addresses and e-mail addresses. Anything else is refused rather than guessed at,
// so that two spellings can never stand for one thing (two throttle keys for one ID, two accounts
// for one mailbox) nor one spelling for something unusable (a port no one can call).
#include <QString>
#include <optional>

namespace chatserver {

// A user ID (or a handle a list shows in its place): 1 to 18 decimal digits, no leading zero.
std::optional<qint64> parseUserId(const QString& text);

// `id` (a user ID or a handle, not negative) in decimal at `out`, as parseUserId() reads it;
// gives the end. `out` has room for 19 characters.
char16_t* writeUserId(char16_t* out, qint64 id);

// A call address as clients report theirs: empty (none yet), "A.B.C.D" or an IPv6 address in its
// shortest form, each with or without ":PORT" (IPv6 then in brackets), every number in plain
// decimal and the port from 1 to 65534 (what clients take as a port).
bool isAcceptableAddress(const QString& address);

// An e-mail address in the form accounts are kept under, or why it cannot be one. Folded:
// blanks around it, letter case, and a dot at the end of the domain (which names the same
// domain); a domain in other scripts is written in its ASCII form. Refused: blanks, control and
// invisible characters anywhere (a soft hyphen or a zero-width space would make a second account
// look like the first), a quoted or commented part before the "@", domain literals and numeric
// domains, empty labels. Everything else names its own mailbox (ann+x@ is not ann@), which only
// confirmation from that mailbox can claim.
struct EmailForm {
    QString address; // the kept form; empty when refused
    QString problem; // why it was refused, to finish "... cannot be used: "
    bool usable() const { return problem.isEmpty(); }
};
EmailForm normaliseEmail(const QString& text);

inline constexpr int kMaxEmailChars = 254;

} // namespace chatserver
