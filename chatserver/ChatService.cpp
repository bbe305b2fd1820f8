#include "chatserver/ChatService.h"

#include "chatserver/Confirmations.h"
#include "chatserver/SecureAccounts.h"
#include "chatserver/ServiceReplies.h"
#include "chatserver/store/PendingPresence.h"
#include "wire/Protocol.h"
#include "wire/SettingsLines.h"

#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

namespace chatserver {

using namespace answers;

namespace {

constexpr qint64 kGenerationMaxAgeMs = 1000;

// Every ID-only request that cannot be served gets this one answer, whether the ID is unknown or
// only logged in from elsewhere: telling the two apart would let anyone test guessed IDs.
const char kNotYours[] = "Please wait for the next log-in before changing your contacts.";
const char kTooManyFailures[] =
    "Too many refused requests came from your network address. Please try again in a few minutes.";
const char kTooManyFailuresInNetwork[] =
    "Too many refused requests came from the network your address is in. Please try again in a few minutes.";
const char kStoreLost[] = "The server cannot save anything at the moment. Please try again later.";

// Whether the user last logged in from `peer`: only that address may act for an account by its ID.
bool loggedInFrom(const UserRecord& user, const QString& peer) {
    return !user.loginPeer.isEmpty() && user.loginPeer == peer;
}

// "20 contacts", the note of nearly every exchange's log line: the usual ones made once.
QString contactsNote(qsizetype count) {
    const auto made = [](qsizetype n) { return QString::number(n) + QLatin1StringView(" contacts"); };
    static const std::array<QString, 64> kNotes = [&made] {
        std::array<QString, 64> notes;
        for (std::size_t i = 0; i < notes.size(); ++i)
            notes[i] = made(qsizetype(i));
        return notes;
    }();
    return count < qsizetype(kNotes.size()) ? kNotes[std::size_t(count)] : made(count);
}

} // namespace

QString printable(const QString& text) {
    if (!wire::hasControlCharacter(text)) return text;
    QString clean;
    for (QChar c : text)
        if (c.category() != QChar::Other_Control) clean += c;
    return clean;
}

Clock systemClock() {
    return [] { return QDateTime::currentMSecsSinceEpoch(); };
}

ChatService::ChatService(Storage& storage, ChatSettings settings, Clock clock, std::shared_ptr<CallerLimits> callers)
    : m_storage(storage), m_clock(std::move(clock)),
      m_callers(callers ? std::move(callers) : std::make_shared<CallerLimits>()), m_guard(m_callers->guard) {
    QByteArray candidate(32, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(candidate.data()),
                                         reinterpret_cast<quint32*>(candidate.data() + candidate.size()));
    m_secret = m_storage.sharedSecret(candidate);
    setSettings(std::move(settings));
}

void ChatService::setSettings(ChatSettings settings) {
    m_settings = std::move(settings);
    m_guard.setLimits(m_settings.logIns);
    m_callers->lookups.setLimit(m_settings.lookups);
}

qint64 derivedHandle(const QByteArray& secret, qint64 viewerId, qint64 subjectId) {
    const QByteArray mac = QMessageAuthenticationCode::hash(
        QByteArray::number(viewerId) + ':' + QByteArray::number(subjectId), secret, QCryptographicHash::Sha256);
    quint64 bits = 0;
    std::memcpy(&bits, mac.constData(), sizeof bits);
    // Sixteen digits: never mistaken for a user ID of fifteen or fewer.
    return qint64(1'000'000'000'000'000ULL + bits % 9'000'000'000'000'000ULL);
}

QString ChatService::handleFor(qint64 viewerId, qint64 subjectId) const {
    return QString::number(derivedHandle(m_secret, viewerId, subjectId));
}

qint64 ChatService::handleOf(qint64 viewerId, const UserRecord& contact) const {
    return contact.handle != 0 ? contact.handle : derivedHandle(m_secret, viewerId, contact.id);
}

std::optional<wire::Code> ChatService::Outcome::replyCode() const {
    return reply ? wire::codeOf(QStringView(*reply).left(reply->indexOf(wire::kSep))) : std::nullopt;
}

ChatService::Outcome ChatService::handle(const ChatRequest& request, const QString& peer, bool plain) {
    if (m_storeLost) return refuseUnavailable(request.code, QStringLiteral("store lost"));
    // Polls, nearly all of the traffic, read in one statement and take a transaction only when
    // they have something to write; every other exchange reads and writes as one transaction.
    const std::optional<wire::Code> code = wire::codeOf(request.code);
    if (code == wire::Code::LogIn) return logIn(request, peer, plain);
    if (code == wire::Code::DatedRecords) return pollById(request, peer);
    Storage::Transaction transaction(m_storage);
    Outcome outcome = dispatch(request, peer);
    transaction.commit();
    return outcome;
}

ChatService::Outcome ChatService::dispatch(const ChatRequest& request, const QString& peer) {
    const std::optional<wire::Code> code = wire::codeOf(request.code);
    const Outcome unknown{std::nullopt, QStringLiteral("unknown code")};
    if (!code) return unknown;
    switch (*code) {
    case wire::Code::Register:
        return registerUser(request, peer);
    case wire::Code::AddContact:
        return addContact(request, peer);
    case wire::Code::RemoveContact:
        return removeContact(request, peer);
    case wire::Code::SignOffWithSettings:
    case wire::Code::SignOff:
        return signOff(request, peer, *code);
    case wire::Code::CallPaths:
        return callPaths(request, peer);
    case wire::Code::ContactRequests:
    case wire::Code::IgnoreRequest:
        return contactRequests(request, peer);
    default: // log-ins and polls, which handle() takes before this, and codes only replies carry
        return unknown;
    }
}

ChatService::Outcome ChatService::refuseUnavailable(const QString& requestCode, const QString& note) const {
    // The sign-off reply holds only the site lines, which the client needs to close quickly.
    const std::optional<wire::Code> code = wire::codeOf(requestCode);
    if (code == wire::Code::SignOffWithSettings) return reply(signOffReply(), note);
    return refused(code == wire::Code::Register ? wire::Code::RegistrationRefused : wire::Code::Refused,
                   QLatin1String(kStoreLost), note);
}

ChatService::Outcome ChatService::refuseMalformed(const QString& requestCode) const {
    // The fields could not be told apart, mostly because one holds the separator character.
    const QString note = QStringLiteral("malformed");
    if (requestCode.isEmpty()) return {std::nullopt, note}; // not a request of ours at all
    const std::optional<wire::Code> code = wire::codeOf(requestCode);
    if (code == wire::Code::Register)
        return refused(wire::Code::RegistrationRefused,
                       QStringLiteral("Registration refused: the name or e-mail address contains a character "
                                      "that cannot be used."),
                       note);
    if (code == wire::Code::SignOffWithSettings) return reply(signOffReply(), note);
    if (code == wire::Code::AddContact)
        return refused(wire::Code::Refused,
                       QStringLiteral("The e-mail address to add contains a character that cannot be used."), note);
    if (code == wire::Code::LogIn || code == wire::Code::DatedRecords)
        return refused(wire::Code::Refused,
                       QStringLiteral("Your user ID or e-mail address contains a character that cannot be used. "
                                      "Please register again."),
                       note);
    return refused(wire::Code::Refused,
                   QStringLiteral("The server could not read this request. Please restart ColloqChat and try again."),
                   note);
}

bool ChatService::isOnLine(const UserRecord& user, qint64 nowMs) const {
    return user.online && user.lastSeenMs > 0 && nowMs - user.lastSeenMs <= m_settings.presenceTimeoutMs;
}

template <typename Field>
void ChatService::recordFields(qint64 handle, bool mutual, const UserRecord& contact, qint64 nowMs, Field field) const {
    // Whoever lists you sees the e-mail address they knew; your name, where and whether you are
    // on line only if you list them too, so that an address nobody has (or nobody confirmed)
    // looks the same as yours. An off-line contact keeps its last address, so that the client
    // lists it again after a restart.
    field(handle);
    field(mutual ? QStringView(contact.displayName) : QStringView());
    field(QStringView(contact.email));
    field(mutual ? QStringView(contact.address) : QStringView());
    field(QLatin1StringView(mutual && isOnLine(contact, nowMs) ? "1" : "0"));
}

QStringList ChatService::record(qint64 viewerId, const UserRecord& contact, qint64 nowMs) const {
    QStringList fields;
    recordFields(handleOf(viewerId, contact), contact.mutual, contact, nowMs, [&](auto text) {
        if constexpr (std::is_same_v<decltype(text), qint64>)
            fields.append(QString::number(text));
        else
            fields.append(text.toString());
    });
    return fields;
}

qsizetype ChatService::recordRoom(const ContactLists::Entry& entry) {
    constexpr qsizetype kFrame = 5 + 20 + 1; // separators, the longest handle, the on-line flag
    const UserRecord& contact = *entry.contact;
    return kFrame + contact.email.size() + (entry.mutual ? contact.displayName.size() + contact.address.size() : 0);
}

char16_t* ChatService::writeRecord(char16_t* out, const ContactLists::Entry& entry, qint64 nowMs) const {
    // A poll's reply holds twenty records or so: written in place, each field is one copy, where
    // appending to a string checked its room and moved its end for every field.
    recordFields(entry.handle, entry.mutual, *entry.contact, nowMs, [&out](auto text) {
        *out++ = wire::kSep.unicode();
        if constexpr (std::is_same_v<decltype(text), qint64>)
            out = writeUserId(out, text);
        else if constexpr (std::is_same_v<decltype(text), QStringView>)
            out = std::copy(text.utf16(), text.utf16() + text.size(), out);
        else
            out = std::copy(text.begin(), text.end(), out); // the on-line flag: ASCII
    });
    return out;
}

ChatService::Outcome ChatService::throttled(NetworkLimit::Level level) {
    return level == NetworkLimit::Level::Address
               ? refused(wire::Code::Refused, QLatin1String(kTooManyFailures), QStringLiteral("throttled"))
               : refused(wire::Code::Refused, QLatin1String(kTooManyFailuresInNetwork),
                         QStringLiteral("network throttled"));
}

bool ChatService::mayTry(const QString& peer, Outcome* refusal) {
    const NetworkLimit::Level level = m_guard.sourceRefused(peer, m_clock());
    if (level == NetworkLimit::Level::None) return true;
    *refusal = throttled(level);
    return false;
}

bool ChatService::mayHavePending(qint64 userId) {
    if (m_generation < 0 || !m_generationAge.isValid() || m_generationAge.elapsed() > kGenerationMaxAgeMs) {
        const qint64 generation = m_storage.operatorGeneration();
        if (generation != m_generation) m_quietUsers.clear();
        m_generation = generation;
        m_generationAge.start();
    }
    return m_generation > 0 && !m_quietUsers.contains(userId);
}

void ChatService::refreshOperatorState() {
    m_generation = -1;
    m_quietUsers.clear();
}

std::optional<ChatService::Outcome> ChatService::refuseUnproven(const UserRecord* user, const QString& email,
                                                                const QString& peer, qint64 nowMs) {
    // A caller who has failed at this account lately hears the same as any failure, whatever it
    // sends now: it learns nothing, not even that the ID is one.
    const auto failed = [](const char* note) {
        return refused(wire::Code::Refused,
                       QStringLiteral("The server does not know this user ID with this e-mail address. "
                                      "Please register again."),
                       QLatin1String(note));
    };
    if (user && !m_guard.accountMayTry(user->id, peer, nowMs)) return failed("account throttled");
    const bool pending = user && user->state == AccountState::Pending;
    // Invitations stand for addresses in lists; nobody is one.
    const bool proven = user && user->state != AccountState::Invitation &&
                        (pending ? m_storage.pendingEmail(user->id) : user->email) == email;
    // The owner's polls from the address that last logged in ask the store nothing more; any
    // other try is weighed against what every server of the store counted.
    if (proven && user->loginPeer == peer) return std::nullopt;
    bool accountClosed = false;
    if (std::optional<Outcome> refusal = sharedRefusal(peer, user ? user->id : 0, nowMs, &accountClosed))
        return refusal;
    if (accountClosed) return failed("account throttled");
    if (proven) return std::nullopt;
    // Counted against the account the ID names, and the one the e-mail address names.
    QList<qint64> named;
    if (user) named.append(user->id);
    if (!email.isEmpty())
        if (const std::optional<UserRecord> owner = m_storage.findUserByEmail(email);
            owner && !named.contains(owner->id))
            named.append(owner->id);
    countRefusal(peer, named, nowMs, true);
    return failed("log-in refused");
}

ChatService::Outcome ChatService::logIn(const ChatRequest& request, const QString& peer, bool plain) {
    Outcome refusal;
    if (!mayTry(peer, &refusal)) return refusal;
    const std::optional<qint64> id = parseUserId(request.args.value(0));
    const QString email = normaliseEmail(request.args.value(1)).address; // empty: matches no one
    const qint64 now = m_clock();
    const std::optional<ListRead> view = id ? currentList(*id, now) : std::nullopt;
    if (plain && view && view->signsInSecurely)
        return {wire::request(wire::Code::Refused, {SecureAccounts::refusalText()}),
                QStringLiteral("signs in over TLS only")};
    if (std::optional<Outcome> unproven = refuseUnproven(view ? &view->user : nullptr, email, peer, now))
        return *unproven;
    if (request.hasAddress && !isAcceptableAddress(request.callAddress))
        return refused(wire::Code::Refused, QStringLiteral("Your internet address could not be read."),
                       QStringLiteral("bad address"));

    const QString address = request.hasAddress ? request.callAddress : view->user.address;
    Outcome outcome = pollReply(*view, address, peer);
    // A log-in proper: the user was off line, moves to another address, or polls for the first
    // time since registering. The periodic polls of a user on line there are not checked.
    const UserRecord& before = view->user;
    // An account whose address was confirmed since it last asked is told so, once: the reminder
    // to confirm may still stand in its status box.
    if (before.state == AccountState::JustConfirmed) {
        if (const std::optional<QString> told =
                withLogInNotice(*outcome.reply, confirmedNoticeText(email), QLatin1String(kConfirmedNoticeTitle))) {
            m_storage.markToldConfirmed(before.id);
            outcome.reply = told;
            outcome.note += QStringLiteral(", told it is confirmed");
            return outcome;
        }
    }
    if (!isOnLine(before, now) || before.address != address || before.loginPeer != peer ||
        before.lastSeenMs == before.createdMs) {
        // An account waiting for its address is reminded first; its call address waits.
        if (const std::optional<QString> reminded =
                before.state == AccountState::Pending
                    ? withLogInNotice(*outcome.reply, pendingNoticeText(email), QLatin1String(kPendingNoticeTitle))
                    : std::nullopt) {
            outcome.reply = reminded;
            outcome.note += QStringLiteral(", told to confirm");
            return outcome;
        }
        outcome.callAddressToCheck = address;
        outcome.accountToCheck = view->user.id;
    }
    return outcome;
}

ChatService::Outcome ChatService::pollById(const ChatRequest& request, const QString& peer) {
    // The client's first request of a start: its log-in rewritten for the alternate server,
    // which leaves out the e-mail. Without it only the address that last logged in as this ID
    // may mark the user on line; anyone else gets an empty poll answer and changes nothing, and
    // the client's next poll, which carries the e-mail, logs in properly.
    const QString nothing = wire::codeText(wire::Code::LogIn);
    Outcome refusal;
    if (!mayTry(peer, &refusal)) return reply(nothing, refusal.note);
    const std::optional<qint64> id = parseUserId(request.args.value(0));
    const std::optional<ListRead> view = id ? currentList(*id, m_clock()) : std::nullopt;
    if (!view || !loggedInFrom(view->user, peer)) {
        if (const std::optional<Outcome> shared = sharedRefusal(peer, 0, m_clock()))
            return reply(nothing, shared->note);
        countRefusal(peer, {}, m_clock(), false);
        return reply(nothing, QStringLiteral("poll by ID not from the log-in address"));
    }
    if (!request.hasAddress || !isAcceptableAddress(request.callAddress))
        return reply(nothing, QStringLiteral("poll by ID without a usable address"));
    return pollReply(*view, request.callAddress, peer);
}

std::optional<ChatService::ListRead> ChatService::currentList(qint64 id, qint64 nowMs) {
    std::optional<PollView> head = m_storage.pollHead(id);
    if (!head) return std::nullopt;
    if (const ContactLists::Kept* kept = m_lists.find(id, head->listVersion, nowMs)) {
        const PendingPresence& seen = *m_storage.pendingPresence();
        bool quietened = false;
        for (const ContactLists::Entry& entry : kept->entries) {
            // Only the state of a contact shown on line by a time that has run out hangs on a
            // later one: looking up the others' cost more than all the rest of the list.
            UserRecord& contact = *entry.contact;
            if (!entry.mutual || !contact.online || isOnLine(contact, nowMs)) continue;
            contact.lastSeenMs = std::max(contact.lastSeenMs, seen.latest(contact.id));
            quietened = quietened || (isOnLine(contact, kept->readAtMs) && !isOnLine(contact, nowMs));
        }
        if (!quietened) return ListRead{std::move(head->user), kept, {}, head->signsInSecurely};
    }
    std::optional<PollView> view = m_storage.pollView(id);
    if (!view) return std::nullopt;
    ListRead read{view->user, nullptr, {}, head->signsInSecurely};
    read.list = &m_lists.keep(*view, nowMs, [&](const UserRecord& contact) {
        // An entry from before handles were kept gets its own now, written by this poll.
        if (contact.handle == 0) read.newHandles.append({contact.id, handleOf(id, contact)});
        return handleOf(id, contact);
    });
    return read;
}

ChatService::Outcome ChatService::pollReply(const ListRead& read, const QString& address, const QString& peer) {
    const UserRecord& user = read.user;
    const QList<ContactLists::Entry>& contacts = read.list->entries;
    const qint64 now = m_clock();
    // Writes, when there are any, go in one transaction, opened at the first of them.
    std::optional<Storage::Transaction> transaction;
    auto writing = [&] {
        if (!transaction) transaction.emplace(m_storage);
    };
    // Back after going quiet counts as a log-in: the users who list this one keep its state in
    // memory and learn of a change only through the store.
    if (isOnLine(user, now) && user.address == address && (peer.isEmpty() || user.loginPeer == peer)) {
        m_storage.touch(user.id, now);
    } else {
        writing();
        m_storage.markOnline(user.id, address, peer, now);
    }
    for (const auto& [contactId, handle] : read.newHandles) {
        writing();
        m_storage.setContactHandle(user.id, contactId, handle);
    }

    // With tens of thousands of users the contacts' records and their text are in no processor
    // cache. Asked for all at once, the fetches overlap; copied field after field, each waited
    // for the one before. Their lengths, read meanwhile, give the reply's, written in one piece.
    qsizetype room = 0;
    for (const ContactLists::Entry& entry : contacts) {
        const UserRecord& contact = *entry.contact;
        __builtin_prefetch(contact.email.constData());
        room += recordRoom(entry);
        if (!entry.mutual) continue;
        __builtin_prefetch(contact.displayName.constData());
        __builtin_prefetch(contact.address.constData());
    }
    // The records go straight into the reply, whose code comes first and is settled below.
    const QString plainCode = wire::codeText(wire::Code::LogIn);
    QString payload(plainCode.size() + room, Qt::Uninitialized);
    char16_t* const begin = reinterpret_cast<char16_t*>(payload.data());
    char16_t* end = std::copy(plainCode.utf16(), plainCode.utf16() + plainCode.size(), begin);
    for (const ContactLists::Entry& entry : contacts)
        end = writeRecord(end, entry, now);
    payload.truncate(end - begin);

    // A notice or a move needs at least one record before its trailing fields: the client reads
    // a record first and stops with an error otherwise. Users without contacts get theirs later.
    const auto withTrailing = [&](wire::Code code, const QString& first, const QString& second) {
        payload.replace(0, plainCode.size(), wire::codeText(code));
        for (const QString* field : {&first, &second}) {
            payload += wire::kSep;
            payload += *field;
        }
        return std::move(payload);
    };
    Outcome outcome;
    if (!contacts.isEmpty() && mayHavePending(user.id)) {
        writing();
        if (const std::optional<Move> move = m_storage.pendingMove(user)) {
            m_storage.markMoveDelivered(move->id, user.id, now);
            outcome = reply(withTrailing(wire::Code::ServerMoved, move->address, move->port),
                            QStringLiteral("move %1 told").arg(move->id));
        } else if (const std::optional<Notice> notice = m_storage.pendingNotice(user)) {
            m_storage.markNoticeDelivered(notice->id, user.id, now);
            outcome = reply(withTrailing(wire::Code::Notice, notice->text, notice->title),
                            QStringLiteral("notice %1 told").arg(notice->id));
        } else {
            m_quietUsers.insert(user.id, true);
        }
    }
    if (!outcome.reply) outcome = reply(std::move(payload), contactsNote(contacts.size()));
    if (transaction) transaction->commit();
    return outcome;
}

std::optional<UserRecord> ChatService::ownerFromPeer(const QString& idText, const QString& peer, Outcome* refusal) {
    if (!mayTry(peer, refusal)) return std::nullopt;
    const std::optional<qint64> id = parseUserId(idText);
    std::optional<UserRecord> user = id ? m_storage.findUser(*id) : std::nullopt;
    if (!user || !loggedInFrom(*user, peer)) {
        if (std::optional<Outcome> shared = sharedRefusal(peer, 0, m_clock())) {
            *refusal = *shared;
            return std::nullopt;
        }
        countRefusal(peer, {}, m_clock(), false);
        *refusal = refused(wire::Code::Refused, QLatin1String(kNotYours),
                           user ? QStringLiteral("not from the log-in address") : QStringLiteral("unknown ID"));
        return std::nullopt;
    }
    return user;
}

ChatService::Outcome ChatService::addContact(const ChatRequest& request, const QString& peer) {
    Outcome refusal;
    const std::optional<UserRecord> owner = ownerFromPeer(request.args.value(0), peer, &refusal);
    if (!owner) return refusal;
    const EmailForm emailForm = normaliseEmail(request.args.value(1));
    const QString& email = emailForm.address;
    if (!mayLookUp(peer))
        return refused(wire::Code::Refused,
                       QStringLiteral("You have added many contacts in a short time. Please try again in a few "
                                      "minutes."),
                       QStringLiteral("look-ups throttled"));
    if (!emailForm.usable())
        return refused(wire::Code::Refused,
                       QStringLiteral("\"%1\" is not an e-mail address that can be used: %2.")
                           .arg(printable(request.args.value(1).left(kMaxEmailChars)), emailForm.problem),
                       QStringLiteral("bad e-mail"));
    if (email == owner->email || (owner->state == AccountState::Pending && email == m_storage.pendingEmail(owner->id)))
        return refused(wire::Code::Refused, QStringLiteral("You cannot add your own e-mail address."),
                       QStringLiteral("own address"));
    if (m_storage.contactCount(owner->id) >= m_settings.maxContacts)
        return refused(wire::Code::Refused, QStringLiteral("Your contact list is full."), QStringLiteral("list full"));
    // Any address can be listed, whether an account has it or not (yet): the answer must not
    // tell. An address nobody has confirmed is listed through its invitation, whose entries its
    // owner's account takes over once it confirms the address.
    const qint64 now = m_clock();
    const qint64 contactId = m_storage.listableFor(email, now);
    if (!m_storage.addContact(owner->id, contactId, now, derivedHandle(m_secret, owner->id, contactId)))
        return refused(wire::Code::Refused, QStringLiteral("%1 is already in your contact list.").arg(email),
                       QStringLiteral("already listed"));
    // Read back as a list entry: whether the contact lists the owner too decides what is shown.
    for (const UserRecord& listed : m_storage.contactsOf(owner->id))
        if (listed.id == contactId)
            return reply(joined(wire::Code::AddContact, {record(owner->id, listed, now)}), QStringLiteral("added"));
    throw StorageError("a contact just added is not listed");
}

ChatService::Outcome ChatService::removeContact(const ChatRequest& request, const QString& peer) {
    Outcome refusal;
    const std::optional<UserRecord> owner = ownerFromPeer(request.args.value(0), peer, &refusal);
    if (!owner) return refusal;
    const QString shown = request.args.value(1);
    if (!parseUserId(shown))
        return refused(wire::Code::Refused, QStringLiteral("This contact is not known."),
                       QStringLiteral("bad contact ID"));
    // The client names the contact as its list shows it: by the handle it was given (or, for a
    // row from before handles, by the contact's ID).
    for (const UserRecord& contact : m_storage.contactsOf(owner->id))
        if (QString::number(handleOf(owner->id, contact)) == shown || QString::number(contact.id) == shown)
            m_storage.removeContact(owner->id, contact.id);
    // Removing a contact that is not listed is answered the same way: the client's list then
    // drops the row it still shows.
    return reply(joined(wire::Code::RemoveContact, {}, {shown}), QStringLiteral("removed"));
}

ChatService::Outcome ChatService::signOff(const ChatRequest& request, const QString& peer, wire::Code replyCode) {
    Outcome refusal;
    const std::optional<UserRecord> owner = ownerFromPeer(request.args.value(0), peer, &refusal);
    // The client waits for the site lines before it closes: it gets them in any case, and only
    // the marking off line is for the address that logged in.
    if (!owner && replyCode == wire::Code::SignOffWithSettings) return reply(signOffReply(), refusal.note);
    if (!owner) return refusal;
    m_storage.markOffline(owner->id);
    if (replyCode == wire::Code::SignOffWithSettings) return reply(signOffReply(), QStringLiteral("signed off"));
    return reply(wire::codeText(replyCode), QStringLiteral("signed off"));
}

QString ChatService::signOffReply() const {
    // The client keeps the reply from its first separator on; a reply without one would leave
    // it a settings file it cannot read. A line of a type nobody reads stands for "no sites".
    static const QList<wire::SiteRecord> kNoSites = {{QStringLiteral("9"), {}}};
    return wire::codeText(wire::Code::SignOffWithSettings) +
           wire::composeSettingsText(m_settings.sites.isEmpty() ? kNoSites : m_settings.sites);
}

std::optional<ChatService::DatedRecords> ChatService::alternatePoll(const QString& idText, const QString& callAddress,
                                                                    const QString& peer, QString* note) {
    if (m_storeLost) {
        *note = QStringLiteral("store lost");
        return std::nullopt;
    }
    Storage::Transaction transaction(m_storage);
    std::optional<DatedRecords> dated = datedContacts(idText, callAddress, peer, note);
    transaction.commit();
    return dated;
}

std::optional<ChatService::DatedRecords> ChatService::datedContacts(const QString& idText, const QString& callAddress,
                                                                    const QString& peer, QString* note) {
    Outcome refusal;
    const std::optional<UserRecord> user = ownerFromPeer(idText, peer, &refusal);
    if (!user) {
        *note = refusal.note;
        return std::nullopt;
    }
    if (!isAcceptableAddress(callAddress)) {
        *note = QStringLiteral("bad address");
        return std::nullopt;
    }
    const qint64 now = m_clock();
    m_storage.markOnline(user->id, callAddress.isEmpty() ? user->address : callAddress, QString(), now);
    DatedRecords dated;
    for (const UserRecord& contact : m_storage.contactsOf(user->id)) {
        QStringList fields = record(user->id, contact, now);
        fields.append(
            contact.mutual && contact.lastSeenMs > 0
                ? QDateTime::fromMSecsSinceEpoch(contact.lastSeenMs).toString(QStringLiteral("MM/dd/yyyy hh:mm:ss"))
                : QString());
        dated.records.append(fields);
    }
    *note = QStringLiteral("%1 contacts").arg(dated.records.size());
    return dated;
}

bool ChatService::alternateSignOff(const QString& idText, const QString& peer, QString* note) {
    if (m_storeLost) {
        *note = QStringLiteral("store lost");
        return false;
    }
    Storage::Transaction transaction(m_storage);
    Outcome refusal;
    const std::optional<UserRecord> user = ownerFromPeer(idText, peer, &refusal);
    if (!user) {
        *note = refusal.note;
        return false;
    }
    m_storage.markOffline(user->id);
    transaction.commit();
    *note = QStringLiteral("signed off");
    return true;
}

} // namespace chatserver
