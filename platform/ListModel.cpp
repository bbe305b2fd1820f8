#include "platform/ListModel.h"

#include "platform/vb.h"

#include <QBrush>
#include <QColor>

#include <algorithm>
#include <utility>

namespace vb {

namespace {

QColor colorOf(int bgr) {
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

constexpr int kErrIndexOutOfBounds = 35600;
constexpr int kErrInvalidPropertyValue = 380;

} // namespace

// ---- ListItem -------------------------------------------------------------------------------

QString ListItem::SubItem(int index) const {
    const int columns = m_model ? m_model->columnCount() : static_cast<int>(m_texts.size());
    if (index < 1 || index >= columns) vb::raise(kErrInvalidPropertyValue);
    return text(index);
}

void ListItem::setSubItem(int index, const QString& value) {
    const int columns = m_model ? m_model->columnCount() : static_cast<int>(m_texts.size());
    if (index < 1 || index >= columns) vb::raise(kErrInvalidPropertyValue);
    setColumnText(index, value);
}

void ListItem::setColumnText(int column, const QString& value) {
    while (m_texts.size() <= column)
        m_texts.append(QString());
    m_texts[column] = value;
    if (m_model) {
        m_model->rowChanged(*this);
        m_model->applySort();
    }
}

void ListItem::setForeColor(int bgr) {
    m_foreColor = bgr;
    if (m_model) m_model->rowChanged(*this);
}

void ListItem::setSelected(bool selected) {
    if (m_model) emit m_model->selectionAsked(m_row, selected);
}

// ---- ListModel ------------------------------------------------------------------------------

ListModel::ListModel(QObject* parent) : QAbstractTableModel(parent) {}

ListModel::~ListModel() = default;

ListModel::SortPause::SortPause(ListModel& rows) : m_rows(rows) {
    ++m_rows.m_sortPauses;
}

ListModel::SortPause::~SortPause() {
    if (--m_rows.m_sortPauses == 0 && std::exchange(m_rows.m_sortPending, false)) m_rows.applySort();
}

void ListModel::addColumn(const QString& caption) {
    const int column = m_columnHeaders++;
    if (column >= m_captions.size()) {
        beginInsertColumns({}, column, column);
        m_captions.append(caption);
        endInsertColumns();
    } else {
        m_captions[column] = caption;
    }
    emit headerDataChanged(Qt::Horizontal, column, column);
}

ListItem* ListModel::add(const QString& text) {
    auto row = std::make_unique<ListItem>();
    row->m_texts.append(text);
    row->m_model = this;
    row->m_row = count();
    ListItem* added = row.get();
    beginInsertRows({}, count(), count());
    m_rows.push_back(std::move(row)); // the list owns its rows
    endInsertRows();
    applySort();
    return added;
}

ListItem* ListModel::find(const QString& key) const {
    if (key.isEmpty()) return nullptr;
    return m_keys.value(key.toCaseFolded());
}

void ListModel::setKey(ListItem* row, const QString& key) {
    if (!row) vb::raise(kErrObjectNotSet);
    const ListItem* holder = find(key);
    if (holder && holder != row) vb::raise(kErrKeyNotUnique);
    const auto old = m_keys.constFind(row->m_key.toCaseFolded());
    if (old != m_keys.cend() && old.value() == row) m_keys.erase(old);
    row->m_key = key;
    m_keys.insert(key.toCaseFolded(), row);
}

ListItem* ListModel::item(const QString& key) const {
    ListItem* row = find(key);
    if (!row) vb::raise(kErrElementNotFound);
    return row;
}

ListItem* ListModel::itemAt(int index) const {
    if (index < 0 || index >= count()) vb::raise(kErrIndexOutOfBounds);
    return m_rows[static_cast<size_t>(index)].get();
}

void ListModel::remove(const QString& key) {
    ListItem* row = item(key);
    const int at = row->m_row;
    beginRemoveRows({}, at, at);
    m_keys.remove(key.toCaseFolded());
    m_rows.erase(m_rows.begin() + at);
    for (int index = at; index < count(); ++index)
        m_rows[static_cast<size_t>(index)]->m_row = index;
    endRemoveRows();
}

void ListModel::clearItems() {
    beginResetModel();
    m_keys.clear();
    m_rows.clear();
    endResetModel();
}

void ListModel::setSortOrder(SortOrder order) {
    m_sortOrder = order == Descending ? Descending : Ascending;
    applySort();
}

void ListModel::setSortKey(int column) {
    if (column < 0) vb::raise(kErrInvalidPropertyValue);
    m_sortKey = column;
    applySort();
}

void ListModel::setSorted(bool sorted) {
    m_sorted = sorted;
    applySort();
}

void ListModel::rowChanged(const ListItem& row) {
    emit dataChanged(index(row.m_row, 0), index(row.m_row, columnCount() - 1));
}

void ListModel::applySort() {
    if (!m_sorted) return;
    if (m_sortPauses > 0) {
        m_sortPending = true;
        return;
    }
    if (m_sortKey >= columnCount()) return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Text order without regard to case, on the sort column; rows that compare equal keep
    // their order, whichever way the list sorts.
    const int column = m_sortKey;
    const auto before = [column](const std::unique_ptr<ListItem>& a, const std::unique_ptr<ListItem>& b) {
        return QString::compare(a->text(column), b->text(column), Qt::CaseInsensitive) < 0;
    };
    if (m_sortOrder == Descending)
        std::stable_sort(m_rows.begin(), m_rows.end(), [&](const auto& a, const auto& b) { return before(b, a); });
    else
        std::stable_sort(m_rows.begin(), m_rows.end(), before);
    // Selections and current rows follow their rows to where they now stand.
    std::vector<int> movedTo(m_rows.size());
    for (int index = 0; index < count(); ++index) {
        ListItem& row = *m_rows[static_cast<size_t>(index)];
        movedTo[static_cast<size_t>(row.m_row)] = index;
        row.m_row = index;
    }
    const QModelIndexList kept = persistentIndexList();
    QModelIndexList moved;
    moved.reserve(kept.size());
    for (const QModelIndex& old : kept)
        moved.append(index(movedTo[static_cast<size_t>(old.row())], old.column()));
    changePersistentIndexList(kept, moved);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int ListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

int ListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_captions.size());
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count()) return {};
    const ListItem& row = *m_rows[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole || role == Qt::EditRole) return row.text(index.column());
    if (role == Qt::ForegroundRole) return QBrush(colorOf(row.m_foreColor));
    return {};
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= m_captions.size())
        return {};
    return m_captions.at(section);
}

Qt::ItemFlags ListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

} // namespace vb
