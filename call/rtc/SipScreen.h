#pragma once
// What may reach the call engine from the network: every SIP datagram is read here first, by
// plain code of ours with fixed bounds, before the engine parses it. A datagram that could harm
// the engine or start something the user did not ask for is answered here (or dropped) and never
// reaches it. See SipGuard (call/linphone/) for the socket it is read from.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <deque>
#include <optional>

namespace rtc::sip {

// Bounds on what the engine is given.
inline constexpr qsizetype kMaxDatagramBytes = qsizetype{16} * 1024;
inline constexpr int kMaxHeaderLines = 100;
inline constexpr qsizetype kMaxHeaderLineBytes = qsizetype{4} * 1024;
// The value of a From or To header (the display name, the address and the parameters, as sent).
// The engine turns the caller's address back into text in a buffer of 1,024 bytes and reads that
// text again; a longer one is cut, and a cut that falls in the wrong place leaves the new call
// with no address at all, which the engine follows into a crash (display names of 1,016 bytes
// always do). Its own spelling of a value of 1,000 bytes adds at most quotes and a space.
inline constexpr qsizetype kMaxAddressBytes = 1000;

// What one request says about itself, read within the bounds above.
struct Request {
    QByteArray method; // "INVITE", "REFER", ...
    QByteArray callId;
    QByteArray cseq;     // "1 INVITE"
    QByteArray fromName; // the From display name as sent, without its quotes, cut to the bound
    QByteArray fromUri;  // the From address, "sip:user@host"
    QByteArray contact;  // "host:port" of the Contact address, port 5060 when none is given
    // "host:port" of the one P-Asserted-Identity a relay puts in: who sent the request, in the
    // relay's word. Empty when there is none, or more than one.
    QByteArray asserted;
    bool toTag = false;        // inside a dialog (a re-INVITE, a BYE, a REFER in a call)
    bool replacesCall = false; // asks to take the place of a call in progress (Replaces, Join)
};

enum class Action {
    Pass,   // the engine reads it
    Refuse, // answered here with `code` and `phrase`; the engine never sees it
    Drop,   // not answered: garbage, a response the engine could not take, a flood
};

enum class Reason {
    None,
    Malformed,  // not a SIP message we can read
    TooLarge,   // over one of the bounds
    Transfer,   // REFER: a call placed by the peer through us
    Takeover,   // INVITE with Replaces or Join
    NotOffered, // a method no call of ours uses (MESSAGE, SUBSCRIBE, PUBLISH)
    MediaMoved, // a request inside a call that points its media at an address the call never named
};

struct Verdict {
    Action action = Action::Drop;
    Reason reason = Reason::Malformed;
    int code = 0;
    QByteArray phrase;
    bool response = false;          // a response rather than a request
    std::optional<Request> request; // what could be read of a request, even a refused one
    QByteArray callId;              // of a request or a response
    // Where the message's session description sends media: the connection and RTCP addresses
    // (`media`), and the addresses of its ICE candidates, which the peer may later switch to.
    QList<QByteArray> media;
    QList<QByteArray> candidates;
    // A request that would start a call: an INVITE outside a dialog.
    bool newCall() const { return request && request->method == "INVITE" && !request->toTag; }
};

// Reads one datagram (`size` is its full length, which may exceed what `datagram` holds).
Verdict screen(const QByteArray& datagram, qsizetype size);
inline Verdict screen(const QByteArray& datagram) {
    return screen(datagram, datagram.size());
}

// Whether a request inside a call may point the call's media where `verdict` says: only at
// addresses the peer's first session description of the call named (`named`, its connection
// addresses and candidates), or nowhere (0.0.0.0, a call put on hold). Another address would turn
// the user's microphone and camera on a third party.
bool mediaStaysPut(const Verdict& verdict, const QList<QByteArray>& named);

// Where a new call came from. Only the address a datagram comes from is a fact; what a request
// says of its sender is anyone's to write. A relay of the user's own chat server (named over
// the signed-in chat link, never by a SIP message) forwards calls from elsewhere, so for a
// datagram that comes from one of them the relay's P-Asserted-Identity takes the source's place:
// the relay strips any the caller wrote and names either the caller's call address on that relay
// (only for a request from where that user is registered) or the address it received the call
// from. A call address on the sending relay also stands for the Contact, since everything within
// the call goes through the relay to where that user is registered.
struct Origin {
    QByteArray source;      // "host:port"
    QByteArray contact;     // "host:port"
    bool relayUser = false; // the sending relay vouches that `source` is one of its call addresses
    // What one caller's allowance of new calls is counted by: its network address, which it
    // cannot vary as it can its port, or the whole call address of a relay's user.
    QByteArray paceKey() const;
};
// `from`: the datagram's "host:port"; `relays`: the "host:port" the relays send from.
Origin originOf(const Request& request, const QByteArray& from, const QList<QByteArray>& relays);

// The response to `request` with `code` and `phrase`: its Via, From, To (given a tag when it has
// none), Call-ID and CSeq headers, and no body. Empty when the request lacks one of them.
QByteArray response(const QByteArray& request, int code, const QByteArray& phrase);

// How many new calls one network address may start: a few at once, then one every so often.
// Calls of a flood beyond that are dropped without an answer and cost nothing but reading them.
class CallPace {
public:
    static constexpr int kBurst = 10;
    static constexpr qint64 kRefillMs = 6000;
    static constexpr int kMaxSources = 256;

    // Whether a new call from `source` (an Origin's paceKey) may go on at `nowMs`.
    bool admit(const QString& source, qint64 nowMs);

private:
    struct Bucket {
        double tokens = kBurst;
        qint64 atMs = 0;
    };
    QHash<QString, Bucket> m_buckets;
    std::deque<QString> m_order; // oldest first, to forget sources beyond kMaxSources
};

} // namespace rtc::sip
