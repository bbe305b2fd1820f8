#pragma once
// The answer to request 80: the one-sided entries between the caller and others. Shared by
// client and server.
//
// Request 80: "80", ID, e-mail (the log-in's proof). Answer: "80", then four fields per entry:
//   kind   "W": the caller lists this address and it does not list the caller back (yet), or
//               nobody has it: the two look the same, by design;
//          "A": this user lists the caller and the caller does not list them; it asks to be
//               added back (ignored ones are left out);
//   handle the number the caller's list shows (W: the row of the poll's records; A: the one the
//          row will have once the caller adds this user back);
//   name   A: the display name; W: always empty;
//   e-mail W: the address the caller typed; A: the user's address.
// Request 81: "81", ID, e-mail, the handle of an "A" entry: that request is not shown again. Answer: "81", handle,
// whether the handle named a request or not; the one asking is not told. Either is refused as other requests are
// ("1957", text). A server from before either closes the connection without an answer.
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace wire {

struct ContactRequestEntry {
    enum class Kind { Waiting, Asking };
    Kind kind = Kind::Waiting;
    QString handle;
    QString name; // Asking only
    QString email;
};

// The answer's payload, code first.
QString composeContactRequests(const QList<ContactRequestEntry>& entries);
// The answer read from its fields (code first); nothing when it is no such answer. Entries of a
// kind this side does not know are skipped.
std::optional<QList<ContactRequestEntry>> parseContactRequests(const QStringList& fields);

} // namespace wire
