#pragma once
// The user's contacts as the chat server reports them: one row per contact, keyed "A" + ID, in
// the columns "Status", "Display Name", "Email", "IP" and "OnLine Date". The chat link's replies
// fill it; the window's user list shows it.
#include "platform/ListModel.h"

#include <QStringList>

namespace chatlink {

// A user record as it stands in a reply: ID, display name, e-mail, internet address, status and,
// in the dated layout only, the on-line date.
struct UserRecord {
    QString id;
    QString name;
    QString email;
    QString address;
    QString status;
    QString date;

    QString key() const { return QStringLiteral("A") + id; }
};

class ContactsModel : public vb::ListModel {
    Q_OBJECT
public:
    using vb::ListModel::ListModel;

    // The captions of the five columns, in order.
    static QStringList columnCaptions();
    // Names the five columns (on rows that have none yet).
    void addUserColumns();

    // Which sub-items a new row gets besides name and e-mail.
    enum class Fill { NameAndEmail, WithAddress, WithAddressAndDate };
    // A new row: "On" in black or "Off" in red by the record's status, its sub-items, the address
    // as tag, then the key, checked first so that a failure never leaves a row without one
    // (35602 when a row has it already).
    void addContact(const UserRecord& record, Fill fill);
    // A row taken as the contact just added: refreshed the way a new row would have been filled,
    // the address column left as it is.
    static void refresh(vb::ListItem& row, const UserRecord& record);
    // "On" with status "0" turns "Off" in red; then "Off" with status "1" turns "On" in black;
    // "unknown" and "Waiting" turn either by the status.
    static void flipOnOff(vb::ListItem& row, const QString& status);
    // A contact the user lists who does not list the user back (yet): "Waiting", with "waiting
    // for them to add you" where the name goes, which the server tells only once they do. The
    // row of key "A" + `handle` is added when missing.
    void showWaiting(const QString& handle, const QString& email);
    static void markWaiting(vb::ListItem& row);
    static bool isWaiting(const vb::ListItem& row);
    // Why a waiting row cannot be called, for the status box.
    static QString waitingText(const vb::ListItem& row);
    // Every row "unknown" in grey: what they last said is stale, and nobody answers to say more.
    void markAllUnknown();
    // "On" rows before "Off" rows, as after every reply.
    void sortByStatus();
};

} // namespace chatlink
