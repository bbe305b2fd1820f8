#pragma once
// What the user's calls do, told by the main window to whoever shows or keeps them (desktop
// notifications, the tray icon, the call history). Each call the window takes on is reported from
// its first ring or its placing to its end, under one serial number.
#include <QMetaType>
#include <QString>

struct CallActivity {
    enum class Phase { Ringing, Placing, Connected, Ended };
    // How a call ended; only meaningful for Phase::Ended.
    enum class Outcome {
        Answered,  // connected, then ended by either side
        Missed,    // rang here and nobody answered: the caller gave up, the ring timed out, or we were busy
        Declined,  // rang here and the user refused it, or placed here and the other party refused it
        Cancelled, // placed here and cancelled before it was answered
        Failed,    // placed here and lost before it connected, for no reason given
        Refused,   // turned away without a ring: do not disturb, a stranger while only contacts may
                   // ring, a stranger who kept calling, or a call the engine could not take
        // Placed here and ended by the other side or the way there before it was answered:
        Busy,         // the other party is in another call, or does not want to be disturbed
        Unanswered,   // it rang there and nobody answered
        Unreachable,  // nothing answers at the address (the other party quit, or is gone)
        NetworkError, // anything else on the way
    };

    quint64 call = 0;
    Phase phase = Phase::Ringing;
    Outcome outcome = Outcome::Answered;
    bool incoming = false;
    QString name;         // the listed contact's display name, else the caller's SIP display name
    QString email;        // the listed contact's e-mail address, else the caller's SIP address
    QString address;      // the call address "host:port", which calls the other party back
    bool contact = false; // the other party is a listed contact (a caller only when proven so)
    // How the call's media were protected ("ZRTP", "ZRTP, verified", "not encrypted", ...);
    // empty until the call has connected and its key exchange has ended.
    QString security;
};
Q_DECLARE_METATYPE(CallActivity)
