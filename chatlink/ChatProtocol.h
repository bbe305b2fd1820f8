#pragma once
// Handling of the chat server's replies: the user list, the status box, the registration state
// and the two settings files.
#include "core/Identity.h"
#include "wire/ContactRequests.h"

#include <QString>
#include <QStringList>
#include <functional>

class QTimer;
namespace chatlink {
class ContactsModel;
}

namespace basMain {

// What the replies change: the contacts, the user's identity, the status box and the two timers
// a reply stops or restarts. The main window provides its own; none of them may be null.
struct ReplyTarget {
    chatlink::ContactsModel* contacts = nullptr;
    Identity* identity = nullptr;
    // Shows a text in the status box, in a colour (0xBBGGRR).
    std::function<void(const QString& text, int colour)> showText = {};
    QTimer* tmrRegistration = nullptr;
    QTimer* tmrServerCall = nullptr;
    // Takes the fields (code first) of reply 40, the servers and credentials for calls; without
    // it the reply changes nothing, as for any code the client does not know.
    std::function<void(const QStringList& fields)> onCallPaths = {};
    // Told once a reply has changed the identity.
    std::function<void()> onIdentity = {};
    // Shows the server's notice (reply 11) in a box with its title; without it the notice is
    // not shown.
    std::function<void(const QString& prompt, const QString& title)> showNotice = {};
    // Takes the users who list this one and are not listed back (reply 80's "A" entries: handle,
    // name and e-mail, made fit to be shown); without it they are not shown.
    std::function<void(const QList<wire::ContactRequestEntry>& asking)> onAsking = {};
};

// The target fnUseMSGReceived() works on; the main window installs its own and removes it (with
// nullptr) when it goes. Without one, a reply is logged as error 91 and changes nothing.
void setReplyTarget(const ReplyTarget* target);

// True while a registration request waits for the server's answer: the only time a reply may
// set the user's identity and server address.
inline bool g_blnRegistrationWaiting = false;

// What a reply answers, as the chat link knows it of its current connection.
struct Answered {
    // The code of the request the connection carried ("" for none). A reply changes a settings
    // file only in answer to the request that asks for it.
    QString request;
    // The connection is a TLS session with a trusted key: only then may a reply send the client
    // elsewhere (111) or change its site lists (2005).
    bool securely = false;
};

// Handles the complete reply in g_strMsgReceived ("code" Ô field Ô field ...) and leaves it
// empty. Never raises: a failure is logged as "fnUseMSGReceived[mark]" and what the reply had
// already changed stays changed. Afterwards non-empty contacts are sorted descending by its
// "Status" column. Replies that would rewrite a settings file unasked are logged and left
// unapplied: reply 3 outside a registration's wait, reply 2005 to anything but request 2005,
// reply 111 whose address is not a dotted IPv4 address with a port of 1 to 65534, and replies
// 111, 2005, 40 and 50 that did not come over an authenticated connection. Reply 80 is taken only
// in answer to request 80.
// Without `answered` the reply answers no request, over no authenticated connection.
void fnUseMSGReceived(const Answered& answered = {});
// The same on a target given here rather than the installed one.
void fnUseMSGReceived(const ReplyTarget& target, const Answered& answered = {});

} // namespace basMain
