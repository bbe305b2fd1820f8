#include "chatlink/ChatProtocol.h"

#include "chatlink/ContactsModel.h"
#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "core/Validators.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "wire/MessageCodes.h"
#include "wire/PeerText.h"
#include "wire/Protocol.h"

#include <QTimer>

#include <algorithm>
#include <exception>

namespace basMain {

using chatlink::ContactsModel;
using chatlink::UserRecord;

namespace {

// Progress marks written into the log when a reply cannot be handled.
enum Mark : int {
    kMarkSplit = 1,
    kMarkCode = 2,
    kMarkAddContact = 40,
    kMarkDatedRecords = 770,
    kMarkRecords = 10,
    kMarkRecordsWithTrailer = 110,
    kMarkNoticeBox = 115,
    kMarkServerMoved = 1110,
    kMarkRegistered = 30,
    kMarkRegisteredIdentity = 35,
    kMarkRemove = 50,
    kMarkStatusText = 1900,
    kMarkSettings = 2005,
    kMarkNewId = 50,
    kMarkCallPaths = 40,
    kMarkContactRequests = 80,
    kMarkCommonEnd = 9999,
};

// The fields of one reply. Asking for a field the reply does not have raises 9 "Subscript out
// of range", which is how a record cut short shows up.
class Fields {
public:
    explicit Fields(const QString& text) : m_fields(text.split(wire::kSep)) {}
    // Index of the last field.
    qsizetype last() const { return m_fields.size() - 1; }
    const QString& at(qsizetype index) const {
        if (index < 0 || index > last()) vb::raise(vb::kErrSubscript);
        return m_fields.at(index);
    }

private:
    QStringList m_fields;
};

// Reads the whole record before anything is changed, so a record cut short changes nothing.
UserRecord readRecord(const Fields& fields, qsizetype first, bool dated) {
    UserRecord record;
    record.id = fields.at(first);
    record.name = fields.at(first + 1);
    record.email = fields.at(first + 2);
    record.address = fields.at(first + 3);
    record.status = fields.at(first + 4);
    if (dated) record.date = fields.at(first + 5);
    return record;
}

// How much of a refused value is quoted in the log.
constexpr qsizetype kQuoteChars = 40;

// A reply that would change a settings file without having been asked to: logged, not applied.
[[noreturn]] void refuse(const QString& why) {
    vb::raise(vb::kErrPermissionDenied, why);
}

const ReplyTarget* s_target = nullptr;

Identity& identityOf(const ReplyTarget& target) {
    if (!target.identity) vb::raise(vb::kErrObjectNotSet);
    return *target.identity;
}

void showText(const ReplyTarget& target, const QString& text, int colour) {
    if (!target.showText) vb::raise(vb::kErrObjectNotSet);
    target.showText(text, colour);
}

void changeIdentity(const ReplyTarget& target, const Identity& changed) {
    identityOf(target) = changed;
    if (target.onIdentity) target.onIdentity();
}

// Whether a record's on-line date is strictly later than the date shown in the row. A row that
// shows no date yet (one that came from an undated reply) is older than any record.
bool isLaterThanRow(const QString& recordDate, const QString& rowDate) {
    const QDateTime record = vb::CDate(recordDate);
    if (rowDate.trimmed().isEmpty()) return true;
    return record > vb::CDate(rowDate);
}

// Reply 4: the contact just added. A user who already has a row gets it refreshed the way a new
// row would have been filled; the address column is left as it is.
void handleAddContact(ContactsModel& list, const Fields& fields, int& mark) {
    mark = kMarkAddContact;
    const UserRecord record = readRecord(fields, 1, false);
    vb::ListItem* row = list.find(record.key());
    if (!row) {
        list.addContact(record, ContactsModel::Fill::NameAndEmail);
        row = list.item(record.key());
    } else {
        ContactsModel::refresh(*row, record);
    }
    // The server names a contact only once they list the user back.
    if (record.name.isEmpty() && record.status != QLatin1String("1")) ContactsModel::markWaiting(*row);
}

// A row's state by a record of a poll: a row waiting for the contact to list the user back stays
// so while the record has no name, which the server tells once they do.
void settle(vb::ListItem& row, const UserRecord& record) {
    if (ContactsModel::isWaiting(row) && record.name.isEmpty()) return;
    ContactsModel::flipOnOff(row, record.status);
}

// Reply 77: dated records, six fields each, as the alternate server merges them.
void handleDatedRecords(ContactsModel& list, const Fields& fields, int& mark) {
    const vb::ListModel::SortPause pause(list); // one sort at the end, not one per row
    for (qsizetype first = 1; first <= fields.last(); first += 6) {
        mark = kMarkDatedRecords;
        const UserRecord record = readRecord(fields, first, true);
        vb::ListItem* row = list.find(record.key());
        if (!row) {
            if (!record.email.isEmpty() && !record.address.isEmpty())
                list.addContact(record, ContactsModel::Fill::WithAddressAndDate);
            continue;
        }
        // The row's own date is never moved forward: only newer reports change the row.
        if (!isLaterThanRow(record.date, row->SubItem(4))) continue;
        row->setTag(record.address);
        row->setSubItem(3, record.address);
        ContactsModel::flipOnOff(*row, record.status);
    }
}

// Replies 1 and 7: records of five fields each.
void handleRecords(ContactsModel& list, const Fields& fields, int& mark) {
    const vb::ListModel::SortPause pause(list); // one sort at the end, not one per row
    for (qsizetype first = 1; first <= fields.last(); first += 5) {
        mark = kMarkRecords;
        const UserRecord record = readRecord(fields, first, false);
        vb::ListItem* row = list.find(record.key());
        if (!row) {
            if (!record.email.isEmpty() && !record.address.isEmpty())
                list.addContact(record, ContactsModel::Fill::WithAddress);
            continue;
        }
        if (row->Tag() != record.address) {
            row->setTag(record.address);
            row->setSubItem(3, record.address);
        }
        // A server tells a contact's name only once the two list each other: a row added before
        // that has none yet.
        if (!record.name.isEmpty() && row->SubItem(1) != record.name) row->setSubItem(1, record.name);
        settle(*row, record);
    }
}

// Replies 11 and 111: records of five fields each followed by two trailing fields. Returns
// false when the reply holds no field after its code, and then nothing is done at all.
bool handleRecordsWithTrailer(ContactsModel& list, const Fields& fields, int& mark) {
    if (fields.last() <= 0) return false;
    const vb::ListModel::SortPause pause(list);
    for (qsizetype first = 1;; first += 5) {
        mark = kMarkRecordsWithTrailer;
        const UserRecord record = readRecord(fields, first, false);
        vb::ListItem* row = list.find(record.key());
        if (!row) {
            list.addContact(record, ContactsModel::Fill::NameAndEmail);
        } else {
            if (row->Tag() != record.address) row->setTag(record.address);
            settle(*row, record);
        }
        // Fewer than five fields after this record: the rest is the trailer.
        if (fields.last() < first + 9) break;
    }
    return true;
}

// Reply 11: the records, then the server's notice in a box (text, title).
void handleNotice(const ReplyTarget& target, const Fields& fields, int& mark) {
    if (!handleRecordsWithTrailer(*target.contacts, fields, mark)) return;
    mark = kMarkNoticeBox;
    const QString prompt = fields.at(fields.last() - 1);
    const QString title = fields.at(fields.last());
    if (target.showNotice) target.showNotice(prompt, title);
}

// Reply 111: the records, then the chat server's new address and port for the next start.
void handleServerMoved(const ReplyTarget& target, const Fields& fields, const Answered& answered, int& mark) {
    if (!handleRecordsWithTrailer(*target.contacts, fields, mark)) return;
    mark = kMarkServerMoved;
    // Anyone on the path of a plain connection could send the client to a server of theirs.
    if (!answered.securely) refuse(QStringLiteral("Server move over an unauthenticated connection"));
    const QString serverIp = fields.at(fields.last() - 1);
    const QString serverPort = fields.at(fields.last());
    QString unused;
    if (!fnCheckIpOrEmailFormat({serverIp, serverPort}, true, unused))
        refuse(QStringLiteral("Server address refused: ") + serverIp.left(kQuoteChars) + QLatin1Char(':') +
               serverPort.left(kQuoteChars));
    // The move takes effect at the next start, which reads the file.
    Identity moved = identityOf(target);
    moved.serverIp = serverIp;
    moved.serverPort = serverPort;
    writeServerAddressFile(moved);
    changeIdentity(target, moved);
}

// Reply 3: the registration was accepted; store the server address and the new identity.
void handleRegistered(const ReplyTarget& target, const Fields& fields, int& mark) {
    mark = kMarkRegistered;
    if (!g_blnRegistrationWaiting) refuse(QStringLiteral("Registration reply without a registration"));
    Identity registered = identityOf(target);
    registered.serverIp = fields.at(1);
    registered.serverPort = fields.at(2);
    registered.userId = fields.at(3);
    registered.email = fields.at(4);
    writeServerAddressFile(registered);
    mark = kMarkRegisteredIdentity;
    changeIdentity(target, registered);
    target.tmrRegistration->stop();
    g_blnRegistrationDone = true;
}

// Reply 50: the account moved to a new ID, in answer to the user's request, over a connection whose
// server proved its key; the old ID works no more.
void handleNewId(const ReplyTarget& target, const Fields& fields, const Answered& answered, int& mark) {
    mark = kMarkNewId;
    if (wire::codeOf(answered.request) != wire::Code::NewId)
        refuse(QStringLiteral("New ID reply to request ") + answered.request.left(kQuoteChars));
    if (!answered.securely) refuse(QStringLiteral("New ID over an unauthenticated connection"));
    Identity moved = identityOf(target);
    moved.userId = fields.at(1);
    moved.serverIp = g_strServerIP;
    moved.serverPort = g_strServerPort;
    QString unused;
    if (!fnCheckIpOrEmailFormat({moved.serverIp, moved.serverPort, moved.userId, moved.email}, false, unused))
        refuse(QStringLiteral("New ID refused: ") + moved.userId.left(kQuoteChars));
    writeServerAddressFile(moved);
    changeIdentity(target, moved);
    showText(target,
             QStringLiteral("Your account has a new ID now: the old one works no more, whoever may have read it."),
             vb::vbBlack);
}

// Reply 40: the relay that hears the user's calls and the servers their media go through, with
// credentials. Whoever could send it could have the user's calls, so it is taken only in answer to
// request 40 over a connection whose server proved its key.
void handleCallPaths(const ReplyTarget& target, const QString& reply, const Answered& answered, int& mark) {
    mark = kMarkCallPaths;
    if (wire::codeOf(answered.request) != wire::Code::CallPaths)
        refuse(QStringLiteral("Call paths reply to request ") + answered.request.left(kQuoteChars));
    if (!answered.securely) refuse(QStringLiteral("Call paths over an unauthenticated connection"));
    if (target.onCallPaths) target.onCallPaths(reply.split(wire::kSep));
}

// Reply 80: the contacts who do not list the user back are shown waiting; those who list the user
// unanswered go to the window. All of it is someone else's text: cut to one plain line each, and
// no more entries than a full list holds.
void handleContactRequests(const ReplyTarget& target, const QString& reply, const Answered& answered, int& mark) {
    mark = kMarkContactRequests;
    if (wire::codeOf(answered.request) != wire::Code::ContactRequests)
        refuse(QStringLiteral("Contact requests reply to request ") + answered.request.left(kQuoteChars));
    const std::optional<QList<wire::ContactRequestEntry>> entries = wire::parseContactRequests(reply.split(wire::kSep));
    if (!entries) vb::raise(vb::kErrTypeMismatch);
    constexpr qsizetype kMaxEmailChars = 254;
    QList<wire::ContactRequestEntry> asking;
    const vb::ListModel::SortPause pause(*target.contacts);
    for (wire::ContactRequestEntry entry : *entries) {
        // A handle is a number: anything else could not be removed or answered.
        if (entry.handle.isEmpty() || entry.handle.size() > 20 ||
            !std::all_of(entry.handle.begin(), entry.handle.end(), [](QChar c) { return c.isDigit(); }))
            continue;
        entry.email = wire::cleanPeerText(entry.email, kMaxEmailChars);
        if (entry.kind == wire::ContactRequestEntry::Kind::Waiting) {
            target.contacts->showWaiting(entry.handle, entry.email);
        } else if (!target.contacts->find(QStringLiteral("A") + entry.handle)) {
            entry.name = wire::cleanPeerText(entry.name);
            asking.append(entry);
        }
    }
    if (target.onAsking) target.onAsking(asking);
}

// Replies 1985 (registration refused) and 1957 (server notice): the text in red, cut to a screenful.
void showServerText(const ReplyTarget& target, const Fields& fields, bool endsRegistration, int& mark) {
    mark = kMarkStatusText;
    const QString text = wire::screenful(fields.at(1));
    if (endsRegistration) g_blnRegistrationDone = true;
    showText(target, text, vb::vbRed);
}

// Reply 2005: the site lists for the settings file. The exchange goes on to its close even when
// the file cannot be written, so a sign-off never waits for the time-out because of it.
void handleSettings(const ReplyTarget& target, const QString& reply, const Answered& answered, int& mark) {
    mark = kMarkSettings;
    std::exception_ptr failure;
    try {
        if (wire::codeOf(answered.request) != wire::Code::SignOffWithSettings)
            refuse(QStringLiteral("Settings reply to request ") + answered.request.left(kQuoteChars));
        // The site lists say where the client looks for its server: not from whoever is on the path.
        if (!answered.securely) refuse(QStringLiteral("Settings reply over an unauthenticated connection"));
        writeUserSettingsFile(reply);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!target.tmrServerCall->isActive()) target.tmrServerCall->start();
    if (failure) std::rethrow_exception(failure);
}

void dispatch(const ReplyTarget* given, const QString& reply, const Answered& answered, int& mark) {
    mark = kMarkSplit;
    const Fields fields(reply);
    mark = kMarkCode;
    const auto code = static_cast<wire::Code>(vb::CInt(fields.at(0)));
    if (!given || !given->contacts) vb::raise(vb::kErrObjectNotSet);
    const ReplyTarget& target = *given;
    ContactsModel& list = *target.contacts;
    switch (code) {
    case wire::Code::AddContact:
        handleAddContact(list, fields, mark);
        break;
    case wire::Code::DatedRecords:
        handleDatedRecords(list, fields, mark);
        break;
    case wire::Code::LogIn:
    case wire::Code::Records:
        handleRecords(list, fields, mark);
        break;
    case wire::Code::Notice:
        handleNotice(target, fields, mark);
        break;
    case wire::Code::ServerMoved:
        handleServerMoved(target, fields, answered, mark);
        break;
    case wire::Code::Register:
        handleRegistered(target, fields, mark);
        break;
    case wire::Code::RemoveContact:
        mark = kMarkRemove;
        list.remove(QStringLiteral("A") + fields.at(1));
        break;
    case wire::Code::RegistrationRefused:
        showServerText(target, fields, true, mark);
        break;
    case wire::Code::Refused:
        // Asked in the background: a refusal (too many look-ups lately) is for the next time.
        if (wire::codeOf(answered.request) == wire::Code::ContactRequests) break;
        showServerText(target, fields, false, mark);
        break;
    case wire::Code::SignOffWithSettings:
        handleSettings(target, reply, answered, mark);
        break;
    case wire::Code::CallPaths:
        handleCallPaths(target, reply, answered, mark);
        break;
    case wire::Code::NewId:
        handleNewId(target, fields, answered, mark);
        break;
    case wire::Code::ContactRequests:
        handleContactRequests(target, reply, answered, mark);
        break;
    default: // sign-off (2) and codes the client does not know: nothing to do
        break;
    }
}

void useReply(const ReplyTarget* target, const Answered& answered) {
    int mark = 0;
    // The reply is taken out first: handlers that run during a message box may deliver the next.
    const QString reply = g_strMsgReceived;
    try {
        dispatch(target, reply, answered, mark);
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnUseMSGReceived[") + QString::number(mark) + QLatin1Char(']'), error);
    }
    g_strMsgReceived.clear();
    try {
        if (target && target->contacts) target->contacts->sortByStatus();
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnUseMSGReceived[") + QString::number(kMarkCommonEnd) + QLatin1Char(']'), error);
    }
}

} // namespace

void setReplyTarget(const ReplyTarget* target) {
    s_target = target;
}

void fnUseMSGReceived(const Answered& answered) {
    useReply(s_target, answered);
}

void fnUseMSGReceived(const ReplyTarget& target, const Answered& answered) {
    useReply(&target, answered);
}

} // namespace basMain
