#pragma once
// Who is calling, decided from facts rather than from what the caller says about itself. A SIP
// caller writes its own name and address; only the network address its request came from is not
// its free choice (it must receive our answers there). So a caller is named as a contact only when
// its request came from that contact's call address and its Contact header names the same, or
// when the call's secure channel vouches for that contact; anyone else is an unknown caller,
// shown with the address it came from.
#include <QList>
#include <QString>

namespace basMain {

// What is known of an incoming call.
struct CallerFacts {
    QString name;    // the display name the caller gave (any text)
    QString uri;     // the SIP address the caller gave (any text)
    QString source;  // "host:port" the request came from
    QString contact; // "host:port" its Contact header names
    // The e-mail address of the contact whose key the call's secure channel has verified; empty
    // while no secure channel vouches for anybody.
    QString verifiedEmail;
};

// A row of the contact list.
struct ContactEntry {
    QString name;
    QString email;
    QString callAddress; // "host:port"
};

struct CallerIdentity {
    bool contact = false;
    QString name;        // the contact's name, or "Unknown caller" with the name the caller gave
    QString email;       // the contact's e-mail address, or "sip:" and the address it came from
    QString callAddress; // where a call back goes: the contact's call address, or the source
};

// The caller of an incoming call, each text cleaned for the screen.
CallerIdentity identifyCaller(const CallerFacts& facts, const QList<ContactEntry>& contacts);

// Whether two "host:port" texts name the same address (host names in any case).
bool sameCallAddress(const QString& a, const QString& b);

} // namespace basMain
