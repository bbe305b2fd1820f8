#pragma once
// What the server answers to each request, over a Storage. No sockets here: the listeners hand
// in parsed requests and the caller's network address, and write back what comes out.
#include "chatserver/CallPaths.h"
#include "chatserver/Confirmations.h"
#include "chatserver/ContactLists.h"
#include "chatserver/Identifiers.h"
#include "chatserver/LogInGuard.h"
#include "chatserver/net/RateLimits.h"
#include "chatserver/net/RequestParser.h"
#include "chatserver/store/Storage.h"
#include "wire/MessageCodes.h"
#include "wire/SettingsLines.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace chatserver {

struct ChatSettings {
    QString publicAddress = QStringLiteral("127.0.0.1");
    QString publicPort = QStringLiteral("19991");
    qint64 presenceTimeoutMs = 340'000; // two poll periods of about 155 s and a margin
    QList<wire::SiteRecord> sites;      // sent with the sign-off reply
    int maxContacts = 500;
    // Registrations: at most so many in any such time from one caller's address, from one
    // network and in all. They are counted in the store, so every server of a store counts them
    // together.
    RateLimit registrations{20, 3'600'000};
    RateLimit networkRegistrations{60, 3'600'000};
    RateLimit registrationCeiling{1000, 3'600'000};
    // Failed log-ins and refused ID-only requests, per caller, per network and per account.
    LogInLimits logIns;
    // E-mail addresses looked up (contacts added) by one caller.
    RateLimit lookups{30, 600'000};
    // Whether a new account has its address only once the owner confirms it from the mailbox.
    ConfirmationSettings confirmation;
    CallPathSettings callPaths; // what request 40 hands out; nothing offered by default
};

// What the service counts of each caller in memory: refused requests and failed log-ins, and
// e-mail addresses looked up. The serving loops of one server share one, so that a caller has the
// same room whichever loop answers it. They are the first gate: the store counts the same for
// every server of the store together, and a caller over its room here never reaches the store.
struct CallerLimits {
    LogInGuard guard;
    SharedBuckets lookups;
};

// Epoch milliseconds; tests move it by hand.
using Clock = std::function<qint64()>;
Clock systemClock();

// Reply codes the server uses.
class ChatService {
public:
    // `callers` is shared with the services of the other serving loops; a new one when null.
    ChatService(Storage& storage, ChatSettings settings, Clock clock = systemClock(),
                std::shared_ptr<CallerLimits> callers = nullptr);

    struct Outcome {
        std::optional<QString> reply; // unframed payload; nullopt = close without answering
        QString note;                 // a few words for the exchange's log line
        // Set by a log-in proper (not a poll of a user already on line there): the call address
        // worth checking before the answer goes out, and whose it is.
        QString callAddressToCheck = {};
        qint64 accountToCheck = 0;
        // The code the reply opens with; nothing without a reply. Read up to the first
        // separator: a poll's reply is long, and splitting it into fields costs the hot path.
        std::optional<wire::Code> replyCode() const;
    };

    // `plain`: the request came over the plain port of a server that serves TLS too, and a poll
    // naming an account that signs in over TLS only is refused here, from the poll's own read of
    // the user's row (SecureAccounts.h checks every other request before it comes in).
    Outcome handle(const ChatRequest& request, const QString& peer, bool plain = false);
    // Whether `user` (the account the request's ID names, if any) is proven by the e-mail
    // address `email`, as a log-in proves it. On failure the failure is counted against the
    // accounts named and the caller, and the refusal to send is returned.
    std::optional<Outcome> refuseUnproven(const UserRecord* user, const QString& email, const QString& peer,
                                          qint64 nowMs);
    // The answer to a request that was recognised but could not be read (code known).
    Outcome refuseMalformed(const QString& code) const;
    // The answer to a request the store could not serve just now.
    Outcome refuseUnavailable(const QString& code, const QString& note) const;

    // The alternate server's poll: the caller's contacts as dated records, and the caller marked
    // on line at `callAddress`. nullopt when the request is refused.
    struct DatedRecords {
        QList<QStringList> records; // six fields each
    };
    std::optional<DatedRecords> alternatePoll(const QString& idText, const QString& callAddress, const QString& peer,
                                              QString* note);
    // The alternate server's sign-off; false when refused.
    bool alternateSignOff(const QString& idText, const QString& peer, QString* note);

    // The sign-off reply: code 2005 and one settings line per site.
    QString signOffReply() const;
    // Forgets what it knows about pending notices and moves, so the next poll looks again.
    void refreshOperatorState();
    // Clears out of the store what no limit or account needs any more (the server runs it every
    // minute; several servers on one store may all run it).
    void sweep();
    // Where the mails asking owners to confirm their address go (none: no mail is sent).
    void setMailer(std::function<void(const Mail&)> mailer) { m_mailer = std::move(mailer); }
    // Confirms the address of the account whose code is in `text` (the code, or the link).
    Confirmation confirmAddress(const QString& text);

    const ChatSettings& settings() const { return m_settings; }
    const std::shared_ptr<CallerLimits>& callerLimits() const { return m_callers; }
    void setSettings(ChatSettings settings);
    // The store can no longer be trusted (see Storage::lostReason): nothing is acknowledged
    // from now on.
    void setStoreLost(bool lost) { m_storeLost = lost; }

    // What `viewerId` is shown in place of `subjectId`'s user ID: a number derived from both
    // with the store's key, the same on every server of the store and after restarts, and of
    // no use to anyone else.
    QString handleFor(qint64 viewerId, qint64 subjectId) const;

    // Limits on what registration accepts.
    static constexpr int kMaxName = 256;

private:
    // Every request but log-ins and polls, inside the transaction handle() opened for it.
    Outcome dispatch(const ChatRequest& request, const QString& peer);
    std::optional<DatedRecords> datedContacts(const QString& idText, const QString& callAddress, const QString& peer,
                                              QString* note);
    Outcome registerUser(const ChatRequest& request, const QString& peer);
    Outcome logIn(const ChatRequest& request, const QString& peer, bool plain);
    Outcome pollById(const ChatRequest& request, const QString& peer);
    // Marks `user` on line at `address` and answers the poll with its contacts (and a pending
    // notice or move, if any).
    // A poll's read: the user, its list as kept, and the handles that entries from before
    // handles were kept have just been given (contact ID, handle), to write.
    struct ListRead {
        UserRecord user;
        const ContactLists::Kept* list = nullptr;
        QList<std::pair<qint64, qint64>> newHandles;
        bool signsInSecurely = false; // the user's TLS mark, read with its row
    };
    Outcome pollReply(const ListRead& read, const QString& address, const QString& peer);
    // The poll's read: the user's own row from the store, its list from memory while the list's
    // version there is the one kept and no contact shown on line has gone quiet since (its next
    // polls may have gone to another server of the store).
    std::optional<ListRead> currentList(qint64 id, qint64 nowMs);
    Outcome addContact(const ChatRequest& request, const QString& peer);
    Outcome removeContact(const ChatRequest& request, const QString& peer);
    Outcome signOff(const ChatRequest& request, const QString& peer, wire::Code replyCode);
    // Request 40: the servers and credentials for the caller's calls (CallPaths.cpp).
    Outcome callPaths(const ChatRequest& request, const QString& peer);
    // Requests 80 and 81: one-sided list entries both ways, and ignoring one of those that ask
    // to reach `user` (ContactRequests.cpp).
    Outcome contactRequests(const ChatRequest& request, const QString& peer);
    Outcome ignoreRequest(const UserRecord& user, const QString& handle);
    // The user the request's first two fields prove, as a log-in proves it (ID and e-mail);
    // otherwise the refusal to send.
    std::optional<UserRecord> provenUser(const ChatRequest& request, const QString& peer, Outcome* refusal);

    // The user named by an ID-only request, provided it comes from the address that last logged
    // in as that user; otherwise the refusal to send.
    std::optional<UserRecord> ownerFromPeer(const QString& idText, const QString& peer, Outcome* refusal);
    bool isOnLine(const UserRecord& user, qint64 nowMs) const;
    // The handle of a list entry: the one kept with it, or derived now for an entry from before.
    qint64 handleOf(qint64 viewerId, const UserRecord& contact) const;
    // A contact as `viewerId` sees it: its handle, and its address and state only when the
    // contact lists the viewer too.
    QStringList record(qint64 viewerId, const UserRecord& contact, qint64 nowMs) const;
    // The most characters the record of a kept list's entry can take, separators included.
    static qsizetype recordRoom(const ContactLists::Entry& entry);
    // The fields of a kept list's entry, each after a separator, written at `out` (with room for
    // recordRoom() characters); returns where the record ends.
    char16_t* writeRecord(char16_t* out, const ContactLists::Entry& entry, qint64 nowMs) const;
    // Hands each field of the record to `field` in order: the handle as a number, the rest as text.
    template <typename Field>
    void recordFields(qint64 handle, bool mutual, const UserRecord& contact, qint64 nowMs, Field field) const;
    // False when `peer` has had too many refusals lately; nothing is looked up for it then.
    bool mayTry(const QString& peer, Outcome* refusal);
    static Outcome throttled(NetworkLimit::Level level);
    // The same by what every server of the store counted (StoreLimits.cpp): the refusal when
    // `peer`'s address or network has no room left; `*accountClosed` when `accountId` (not 0) has
    // seen many failed log-ins lately, one of them from `peer`.
    std::optional<Outcome> sharedRefusal(const QString& peer, qint64 accountId, qint64 nowMs,
                                         bool* accountClosed = nullptr);
    // A refused request from `peer`, or a failed log-in naming `accounts`: in memory and in the store.
    void countRefusal(const QString& peer, const QList<qint64>& accounts, qint64 nowMs, bool logIn);
    // Takes one of `peer`'s e-mail look-ups, first from this server's buckets, then from the store.
    bool mayLookUp(const QString& peer);
    // Forgets what the store counted of callers that no window reaches back to any more.
    void forgetCallerEvents(qint64 nowMs);
    bool mayHavePending(qint64 userId);
    // Counts a registration from `peer` against the windows of the settings, in the store.
    RegistrationQuota::Level takeRegistration(const QString& peer, qint64 nowMs);

    Storage& m_storage;
    ChatSettings m_settings;
    Clock m_clock;
    // Users known to have nothing pending at operator generation m_generation.
    qint64 m_generation = -1;
    QElapsedTimer m_generationAge;
    QHash<qint64, bool> m_quietUsers;
    ContactLists m_lists{600'000};
    QByteArray m_secret;
    std::shared_ptr<CallerLimits> m_callers;
    LogInGuard& m_guard;
    std::function<void(const Mail&)> m_mailer;
    bool m_storeLost = false;
};

// The handle ChatService::handleFor() gives, as a number, from the store's key.
qint64 derivedHandle(const QByteArray& secret, qint64 viewerId, qint64 subjectId);

// Text from a caller made safe to echo: control characters dropped.
QString printable(const QString& text);

} // namespace chatserver
