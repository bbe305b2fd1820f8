#include "chatlink/ContactsModel.h"

#include "platform/vb.h"

namespace chatlink {

namespace {

// The status column's two texts, and the two statuses a record reports.
constexpr QLatin1String kOn("On"), kOff("Off"), kOnLine("1"), kOffLine("0");
// While nobody can tell: neither the chat server nor its pages answer.
constexpr QLatin1String kUnknown("unknown");
constexpr int kGrey = 0x808080;
// Not listed back (yet): nobody can tell whether they are on line.
constexpr QLatin1String kWaiting("Waiting");
constexpr int kDarkBlue = 0x8B0000;

QString statusText(const UserRecord& record) {
    return record.status == kOnLine ? QString(kOn) : QString(kOff);
}

int statusColour(const UserRecord& record) {
    return record.status == kOnLine ? vb::vbBlack : vb::vbRed;
}

} // namespace

QStringList ContactsModel::columnCaptions() {
    return {QStringLiteral("Status"), QStringLiteral("Display Name"), QStringLiteral("Email"), QStringLiteral("IP"),
            QStringLiteral("OnLine Date")};
}

void ContactsModel::addUserColumns() {
    if (columnCountHeaders() > 0) return;
    for (const QString& caption : columnCaptions())
        addColumn(caption);
}

void ContactsModel::addContact(const UserRecord& record, Fill fill) {
    const QString key = record.key();
    if (find(key)) vb::raise(vb::kErrKeyNotUnique);
    vb::ListItem* row = add(statusText(record));
    row->setSubItem(1, record.name);
    row->setSubItem(2, record.email);
    if (fill != Fill::NameAndEmail) row->setSubItem(3, record.address);
    if (fill == Fill::WithAddressAndDate) row->setSubItem(4, record.date);
    row->setTag(record.address);
    setKey(row, key);
    item(key)->setForeColor(statusColour(record));
}

void ContactsModel::refresh(vb::ListItem& row, const UserRecord& record) {
    row.setText(statusText(record));
    row.setSubItem(1, record.name);
    row.setSubItem(2, record.email);
    row.setTag(record.address);
    row.setForeColor(statusColour(record));
}

void ContactsModel::showWaiting(const QString& handle, const QString& email) {
    const QString key = QStringLiteral("A") + handle;
    vb::ListItem* row = find(key);
    if (!row) {
        row = add(QString(kWaiting));
        row->setSubItem(2, email);
        setKey(row, key);
    }
    markWaiting(*row);
}

void ContactsModel::markWaiting(vb::ListItem& row) {
    row.setText(QString(kWaiting));
    row.setSubItem(1, QStringLiteral("waiting for them to add you"));
    row.setForeColor(kDarkBlue);
}

bool ContactsModel::isWaiting(const vb::ListItem& row) {
    return row.Text() == kWaiting;
}

QString ContactsModel::waitingText(const vb::ListItem& row) {
    return row.SubItem(2) + QStringLiteral(" has not added you to their contacts yet, so they cannot be called. Once "
                                           "they do, their row shows On or Off.");
}

void ContactsModel::flipOnOff(vb::ListItem& row, const QString& status) {
    if (row.Text() == kUnknown || row.Text() == kWaiting) {
        // Any word on the contact beats none: it is taken as it comes.
        row.setText(QString(status == kOnLine ? kOn : kOff));
        row.setForeColor(status == kOnLine ? vb::vbBlack : vb::vbRed);
        return;
    }
    if (row.Text() == kOn && status == kOffLine) {
        row.setText(QString(kOff));
        row.setForeColor(vb::vbRed);
    }
    if (row.Text() == kOff && status == kOnLine) {
        row.setText(QString(kOn));
        row.setForeColor(vb::vbBlack);
    }
}

void ContactsModel::markAllUnknown() {
    const SortPause pause(*this); // rows that re-sorted as they changed would be missed or met twice
    for (int index = 0; index < count(); ++index) {
        vb::ListItem* row = itemAt(index);
        row->setText(QString(kUnknown));
        row->setForeColor(kGrey);
    }
}

void ContactsModel::sortByStatus() {
    if (count() < 1) return;
    setSortOrder(Descending);
    setSortKey(0);
    setSorted(true);
}

} // namespace chatlink
