#include "chatserver/ChatService.h"

#include "wire/Protocol.h"
#include "wire/SettingsFile.h"

#include <QDateTime>

namespace chatserver {

namespace {

constexpr qint64 kGenerationMaxAgeMs = 1000;

QString joined(const QString& replyCode, const QList<QStringList>& records, const QStringList& trailing = {}) {
    qsizetype size = replyCode.size();
    for (const QStringList& fields : records)
        for (const QString& field : fields)
            size += field.size() + 1;
    for (const QString& field : trailing)
        size += field.size() + 1;
    QString payload;
    payload.reserve(size);
    payload += replyCode;
    for (const QStringList& fields : records)
        for (const QString& field : fields)
            payload += wire::kSep + field;
    for (const QString& field : trailing)
        payload += wire::kSep + field;
    return payload;
}

ChatService::Outcome reply(QString payload, QString note) {
    return {std::move(payload), std::move(note)};
}

ChatService::Outcome refused(const QString& replyCode, const QString& reason, QString note) {
    return {replyCode + wire::kSep + reason, std::move(note)};
}

// The alternate-server page carries records between these markers, which the client finds by a
// case-sensitive search; a display name holding one would cut its reading of the page short.
bool holdsPageMarker(const QString& text) {
    return text.contains(QLatin1String("LookWANIP"), Qt::CaseSensitive) ||
           text.contains(QLatin1String("ClientChatWANIP"), Qt::CaseSensitive);
}

bool hasControlCharacters(const QString& text) {
    for (QChar c : text)
        if (c.category() == QChar::Other_Control) return true;
    return false;
}

} // namespace

Clock systemClock() {
    return [] { return QDateTime::currentMSecsSinceEpoch(); };
}

std::optional<qint64> parseUserId(const QString& text) {
    if (text.isEmpty() || text.size() > 18) return std::nullopt;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
    const qint64 id = text.toLongLong();
    if (id <= 0) return std::nullopt;
    return id;
}

bool isAcceptableAddress(const QString& address) {
    if (address.size() > ChatService::kMaxAddress) return false;
    for (QChar c : address) {
        const bool ok =
            (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
            (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('.') || c == QLatin1Char(':') ||
            c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('[') || c == QLatin1Char(']');
        if (!ok) return false;
    }
    return true;
}

QString normalisedEmail(const QString& email) {
    return email.trimmed().toLower();
}

bool isAcceptableEmail(const QString& email) {
    if (email.size() < 3 || email.size() > ChatService::kMaxEmail) return false;
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    if (at <= 0 || at == email.size() - 1 || email.indexOf(QLatin1Char('@'), at + 1) >= 0) return false;
    for (QChar c : email)
        if (c.isSpace() || c.category() == QChar::Other_Control) return false;
    return true;
}

ChatService::ChatService(Storage& storage, ChatSettings settings, Clock clock)
    : m_storage(storage), m_settings(std::move(settings)), m_clock(std::move(clock)) {}

ChatService::Outcome ChatService::handle(const ChatRequest& request, const QString& peer) {
    // Polls, nearly all of the traffic, read in one statement and take a transaction only when
    // they have something to write; every other exchange reads and writes as one transaction.
    if (request.code == QLatin1String("1")) return logIn(request, peer);
    if (request.code == QLatin1String("77")) return pollById(request, peer);
    Storage::Transaction transaction(m_storage);
    Outcome outcome = dispatch(request, peer);
    transaction.commit();
    return outcome;
}

ChatService::Outcome ChatService::dispatch(const ChatRequest& request, const QString& peer) {
    if (request.code == QLatin1String("3")) return registerUser(request, peer);
    if (request.code == QLatin1String("1")) return logIn(request, peer);
    if (request.code == QLatin1String("77")) return pollById(request, peer);
    if (request.code == QLatin1String("4")) return addContact(request, peer);
    if (request.code == QLatin1String("5")) return removeContact(request, peer);
    if (request.code == QLatin1String("2005")) return signOff(request, peer, QStringLiteral("2005"));
    if (request.code == QLatin1String("2")) return signOff(request, peer, QStringLiteral("2"));
    return {std::nullopt, QStringLiteral("unknown code")};
}

ChatService::Outcome ChatService::refuseMalformed(const QString& requestCode) const {
    if (requestCode == QLatin1String("3"))
        return refused(code::kRegistrationRefused,
                       QStringLiteral("Registration refused: the name or e-mail address contains a character "
                                      "that cannot be used."),
                       QStringLiteral("malformed registration"));
    return {std::nullopt, QStringLiteral("malformed")};
}

bool ChatService::isOnLine(const UserRecord& user, qint64 nowMs) const {
    return user.online && user.lastSeenMs > 0 && nowMs - user.lastSeenMs <= m_settings.presenceTimeoutMs;
}

QStringList ChatService::record(const UserRecord& user, qint64 nowMs) const {
    return {QString::number(user.id), user.displayName, user.email, user.address,
            isOnLine(user, nowMs) ? QStringLiteral("1") : QStringLiteral("0")};
}

ChatService::Outcome ChatService::registerUser(const ChatRequest& request, const QString& peer) {
    // user name, computer name, e-mail, display name
    const QString email = normalisedEmail(request.args.value(2));
    const QString displayName = request.args.value(3).trimmed();
    const QString userName = request.args.value(0);
    const QString computerName = request.args.value(1);
    auto refuse = [](const QString& reason, const QString& note) {
        return refused(code::kRegistrationRefused, reason, note);
    };
    if (!isAcceptableEmail(email)) // lower case: it cannot hold a marker
        return refuse(QStringLiteral("Registration refused: \"%1\" is not an e-mail address that can be used.")
                          .arg(email.left(kMaxEmail)),
                      QStringLiteral("bad e-mail"));
    if (displayName.isEmpty() || displayName.size() > kMaxDisplayName || hasControlCharacters(displayName) ||
        holdsPageMarker(displayName))
        return refuse(
            QStringLiteral("Registration refused: the display name must have 1 to %1 characters.").arg(kMaxDisplayName),
            QStringLiteral("bad display name"));
    if (userName.size() > kMaxName || computerName.size() > kMaxName || hasControlCharacters(userName) ||
        hasControlCharacters(computerName))
        return refuse(QStringLiteral("Registration refused: the user or computer name is too long."),
                      QStringLiteral("bad names"));
    const QString address = request.callAddress;
    if (!isAcceptableAddress(address))
        return refuse(QStringLiteral("Registration refused: your internet address could not be read."),
                      QStringLiteral("bad address"));

    const qint64 now = m_clock();
    const std::optional<qint64> id =
        m_storage.registerUser({email, displayName, userName, computerName, address, peer, now});
    if (!id)
        return refuse(QStringLiteral("The e-mail address %1 is already registered.").arg(email),
                      QStringLiteral("e-mail taken"));

    // New users are sent straight to where the server is moving, if it is.
    QString serverAddress = m_settings.publicAddress;
    QString serverPort = m_settings.publicPort;
    if (const std::optional<Move> move = m_storage.latestMove()) {
        serverAddress = move->address;
        serverPort = move->port;
    }
    return reply(joined(code::kRegistered, {}, {serverAddress, serverPort, QString::number(*id), email}),
                 QStringLiteral("registered %1").arg(*id));
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

ChatService::Outcome ChatService::logIn(const ChatRequest& request, const QString& peer) {
    const std::optional<qint64> id = parseUserId(request.args.value(0));
    const QString email = normalisedEmail(request.args.value(1));
    const std::optional<PollView> view = id ? m_storage.pollView(*id) : std::nullopt;
    if (!view || view->user.email != email)
        return refused(code::kRefused,
                       QStringLiteral("The server does not know this user ID with this e-mail address. "
                                      "Please register again."),
                       QStringLiteral("log-in refused"));
    if (request.hasAddress && !isAcceptableAddress(request.callAddress))
        return refused(code::kRefused, QStringLiteral("Your internet address could not be read."),
                       QStringLiteral("bad address"));

    return pollReply(*view, request.hasAddress ? request.callAddress : view->user.address, peer);
}

ChatService::Outcome ChatService::pollById(const ChatRequest& request, const QString& peer) {
    // The client's first request of a start: its log-in rewritten for the alternate server,
    // which leaves out the e-mail. Without it only the address that last logged in as this ID
    // may mark the user on line; anyone else gets an empty poll answer and changes nothing, and
    // the client's next poll, which carries the e-mail, logs in properly.
    const QString nothing = QStringLiteral("1");
    const std::optional<qint64> id = parseUserId(request.args.value(0));
    const std::optional<PollView> view = id ? m_storage.pollView(*id) : std::nullopt;
    if (!view || view->user.loginPeer.isEmpty() || view->user.loginPeer != peer)
        return reply(nothing, QStringLiteral("poll by ID not from the log-in address"));
    if (!request.hasAddress || !isAcceptableAddress(request.callAddress))
        return reply(nothing, QStringLiteral("poll by ID without a usable address"));
    return pollReply(*view, request.callAddress, peer);
}

ChatService::Outcome ChatService::pollReply(const PollView& view, const QString& address, const QString& peer) {
    const UserRecord& user = view.user;
    const qint64 now = m_clock();
    // Writes, when there are any, go in one transaction, opened at the first of them.
    std::optional<Storage::Transaction> transaction;
    auto writing = [&] {
        if (!transaction) transaction.emplace(m_storage);
    };
    if (user.online && user.address == address && (peer.isEmpty() || user.loginPeer == peer)) {
        m_storage.touch(user.id, now);
    } else {
        writing();
        m_storage.markOnline(user.id, address, peer, now);
    }

    QList<QStringList> records;
    records.reserve(view.contacts.size());
    for (const UserRecord& contact : view.contacts)
        records.append(record(contact, now));

    // A notice or a move needs at least one record before its trailing fields: the client reads
    // a record first and stops with an error otherwise. Users without contacts get theirs later.
    Outcome outcome;
    if (!records.isEmpty() && mayHavePending(user.id)) {
        writing();
        if (const std::optional<Move> move = m_storage.pendingMove(user)) {
            m_storage.markMoveDelivered(move->id, user.id, now);
            outcome = reply(joined(QStringLiteral("111"), records, {move->address, move->port}),
                            QStringLiteral("move %1 told").arg(move->id));
        } else if (const std::optional<Notice> notice = m_storage.pendingNotice(user)) {
            m_storage.markNoticeDelivered(notice->id, user.id, now);
            outcome = reply(joined(QStringLiteral("11"), records, {notice->text, notice->title}),
                            QStringLiteral("notice %1 told").arg(notice->id));
        } else {
            m_quietUsers.insert(user.id, true);
        }
    }
    if (!outcome.reply)
        outcome = reply(joined(QStringLiteral("1"), records), QStringLiteral("%1 contacts").arg(records.size()));
    if (transaction) transaction->commit();
    return outcome;
}

std::optional<UserRecord> ChatService::ownerFromPeer(const QString& idText, const QString& peer, Outcome* refusal) {
    const std::optional<qint64> id = parseUserId(idText);
    std::optional<UserRecord> user = id ? m_storage.findUser(*id) : std::nullopt;
    if (!user) {
        *refusal = refused(code::kRefused, QStringLiteral("The server does not know this user ID."),
                           QStringLiteral("unknown ID"));
        return std::nullopt;
    }
    if (user->loginPeer.isEmpty() || user->loginPeer != peer) {
        *refusal =
            refused(code::kRefused, QStringLiteral("Please wait for the next log-in before changing your contacts."),
                    QStringLiteral("not from the log-in address"));
        return std::nullopt;
    }
    return user;
}

ChatService::Outcome ChatService::addContact(const ChatRequest& request, const QString& peer) {
    Outcome refusal;
    const std::optional<UserRecord> owner = ownerFromPeer(request.args.value(0), peer, &refusal);
    if (!owner) return refusal;
    const QString email = normalisedEmail(request.args.value(1));
    const std::optional<UserRecord> contact =
        isAcceptableEmail(email) ? m_storage.findUserByEmail(email) : std::nullopt;
    if (!contact)
        return refused(code::kRefused,
                       QStringLiteral("No user is registered with the e-mail address %1.").arg(email.left(kMaxEmail)),
                       QStringLiteral("no such contact"));
    if (contact->id == owner->id)
        return refused(code::kRefused, QStringLiteral("You cannot add your own e-mail address."),
                       QStringLiteral("own address"));
    if (m_storage.contactCount(owner->id) >= m_settings.maxContacts)
        return refused(code::kRefused, QStringLiteral("Your contact list is full."), QStringLiteral("list full"));
    const qint64 now = m_clock();
    if (!m_storage.addContact(owner->id, contact->id, now))
        return refused(code::kRefused, QStringLiteral("%1 is already in your contact list.").arg(email),
                       QStringLiteral("already listed"));
    return reply(joined(QStringLiteral("4"), {record(*contact, now)}), QStringLiteral("added %1").arg(contact->id));
}

ChatService::Outcome ChatService::removeContact(const ChatRequest& request, const QString& peer) {
    Outcome refusal;
    const std::optional<UserRecord> owner = ownerFromPeer(request.args.value(0), peer, &refusal);
    if (!owner) return refusal;
    const std::optional<qint64> contactId = parseUserId(request.args.value(1));
    if (!contactId)
        return refused(code::kRefused, QStringLiteral("This contact is not known."), QStringLiteral("bad contact ID"));
    m_storage.removeContact(owner->id, *contactId);
    // Removing a contact that is not listed is answered the same way: the client's list then
    // drops the row it still shows.
    return reply(QStringLiteral("5") + wire::kSep + QString::number(*contactId),
                 QStringLiteral("removed %1").arg(*contactId));
}

ChatService::Outcome ChatService::signOff(const ChatRequest& request, const QString& peer, const QString& replyCode) {
    Outcome refusal;
    const std::optional<UserRecord> owner = ownerFromPeer(request.args.value(0), peer, &refusal);
    if (!owner) return refusal;
    m_storage.markOffline(owner->id);
    if (replyCode == QLatin1String("2005")) return reply(signOffReply(), QStringLiteral("signed off"));
    return reply(replyCode, QStringLiteral("signed off"));
}

QString ChatService::signOffReply() const {
    // The client keeps the reply from its first separator on; a reply without one would leave
    // it a settings file it cannot read. A line of a type nobody reads stands for "no sites".
    static const QList<wire::SiteRecord> kNoSites = {{QStringLiteral("9"), {}}};
    return QStringLiteral("2005") + wire::composeSettingsText(m_settings.sites.isEmpty() ? kNoSites : m_settings.sites);
}

std::optional<ChatService::DatedRecords> ChatService::alternatePoll(const QString& idText, const QString& callAddress,
                                                                    const QString& peer, QString* note) {
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
        QStringList fields = record(contact, now);
        fields.append(
            contact.lastSeenMs > 0
                ? QDateTime::fromMSecsSinceEpoch(contact.lastSeenMs).toString(QStringLiteral("MM/dd/yyyy hh:mm:ss"))
                : QString());
        dated.records.append(fields);
    }
    *note = QStringLiteral("%1 contacts").arg(dated.records.size());
    return dated;
}

bool ChatService::alternateSignOff(const QString& idText, const QString& peer, QString* note) {
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
