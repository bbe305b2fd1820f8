#include "chatlink/ContactsModel.h"

#include "platform/vb.h"

namespace chatlink {

namespace {

// The status column's two texts, and the two statuses a record reports.
constexpr QLatin1String kOn("On"), kOff("Off"), kOnLine("1"), kOffLine("0");
// While nobody can tell: neither the chat server nor its pages answer.
constexpr QLatin1String kUnknown("unknown");
constexpr int kGrey = 0x808080;

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

void ContactsModel::flipOnOff(vb::ListItem& row, const QString& status) {
    if (row.Text() == kUnknown) {
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
