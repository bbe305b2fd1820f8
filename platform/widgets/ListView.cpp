#include "platform/widgets/ListView.h"

#include "platform/vb.h"

#include <QHeaderView>

#include <memory>
#include <utility>

namespace vb {

namespace {

QColor colorOf(int bgr) {
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

ListView* listOf(const QTreeWidgetItem& item) {
    return qobject_cast<ListView*>(item.treeWidget());
}

} // namespace

// ---- ListItem -------------------------------------------------------------------------------

ListItem::~ListItem() {
    if (m_keyedIn) m_keyedIn->forgetKey(*this);
}

void ListItem::setText(const QString& value) {
    QTreeWidgetItem::setText(0, value);
    if (ListView* list = listOf(*this)) list->applySort();
}

QString ListItem::SubItem(int index) const {
    const int columns = treeWidget() ? treeWidget()->columnCount() : columnCount();
    if (index < 1 || index >= columns) vb::raise(380);
    return text(index);
}

void ListItem::setSubItem(int index, const QString& value) {
    const int columns = treeWidget() ? treeWidget()->columnCount() : columnCount();
    if (index < 1 || index >= columns) vb::raise(380);
    QTreeWidgetItem::setText(index, value);
    if (ListView* list = listOf(*this)) list->applySort();
}

void ListItem::setForeColor(int bgr) {
    m_foreColor = bgr;
    const QBrush brush(colorOf(bgr));
    const int columns = std::max(columnCount(), treeWidget() ? treeWidget()->columnCount() : 1);
    for (int column = 0; column < columns; ++column)
        setForeground(column, brush);
}

bool ListItem::operator<(const QTreeWidgetItem& other) const {
    // Text order without regard to case, on the column the list sorts by.
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    const int byCase = QString::compare(text(column), other.text(column), Qt::CaseInsensitive);
    return byCase < 0;
}

// ---- ListView -------------------------------------------------------------------------------

ListView::ListView(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    headerItem()->setText(0, QString());
    // The program decides the sort itself on a header click, so the view never sorts on its own.
    setSortingEnabled(false);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int section) { emit ColumnClick(section + 1); });
    connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* clicked, int) {
        if (auto* row = dynamic_cast<ListItem*>(clicked)) emit ItemClick(row);
    });
}

void ListView::addColumn(const QString& caption, int width) {
    // The view starts with one unnamed column; the first header names it.
    const int column = m_columnHeaders++;
    if (column >= columnCount()) setColumnCount(column + 1);
    headerItem()->setText(column, caption);
    setColumnWidth(column, width);
    // Rows that already carry a colour keep it in the new column too.
    for (int i = 0; i < topLevelItemCount(); ++i)
        if (auto* row = dynamic_cast<ListItem*>(topLevelItem(i))) row->setForeColor(row->ForeColor());
}

ListItem* ListView::add(const QString& text) {
    auto row = std::make_unique<ListItem>();
    row->QTreeWidgetItem::setText(0, text);
    ListItem* added = row.get();
    addTopLevelItem(row.release()); // the list owns its rows
    added->setForeColor(added->m_foreColor);
    applySort();
    return added;
}

ListView::~ListView() {
    // The rows go with the base class, after this index: they must not reach back into it.
    for (ListItem* row : std::as_const(m_keys))
        row->m_keyedIn = nullptr;
    m_keys.clear();
}

ListView::SortPause::SortPause(ListView& list) : m_list(list) {
    ++m_list.m_sortPauses;
}

ListView::SortPause::~SortPause() {
    if (--m_list.m_sortPauses == 0 && std::exchange(m_list.m_sortPending, false)) m_list.applySort();
}

ListItem* ListView::find(const QString& key) const {
    if (key.isEmpty()) return nullptr;
    ListItem* row = m_keys.value(key.toCaseFolded());
    // A row taken out of the list keeps its key but is no longer found.
    return row && row->treeWidget() == this ? row : nullptr;
}

void ListView::forgetKey(const ListItem& row) {
    const auto it = m_keys.constFind(row.m_key.toCaseFolded());
    if (it != m_keys.cend() && it.value() == &row) m_keys.erase(it);
}

void ListView::setKey(ListItem* row, const QString& key) {
    if (!row) vb::raise(kErrObjectNotSet);
    const ListItem* holder = find(key);
    if (holder && holder != row) vb::raise(kErrKeyNotUnique);
    if (row->m_keyedIn) row->m_keyedIn->forgetKey(*row);
    row->m_key = key;
    row->m_keyedIn = this;
    m_keys.insert(key.toCaseFolded(), row);
}

ListItem* ListView::item(const QString& key) const {
    ListItem* row = find(key);
    if (!row) vb::raise(kErrElementNotFound);
    return row;
}

ListItem* ListView::itemAt(int index) const {
    if (index < 0 || index >= topLevelItemCount()) vb::raise(35600);
    auto* row = dynamic_cast<ListItem*>(topLevelItem(index));
    if (!row) vb::raise(35600);
    return row;
}

void ListView::remove(const QString& key) {
    ListItem* row = item(key);
    const std::unique_ptr<QTreeWidgetItem> taken(takeTopLevelItem(indexOfTopLevelItem(row)));
}

void ListView::clearItems() {
    clear();
}

ListItem* ListView::selectedItem() const {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    for (QTreeWidgetItem* candidate : selected)
        if (auto* row = dynamic_cast<ListItem*>(candidate)) return row;
    return nullptr;
}

void ListView::setSortOrder(SortOrder order) {
    m_sortOrder = order == Descending ? Descending : Ascending;
    applySort();
}

void ListView::setSortKey(int column) {
    if (column < 0) vb::raise(380);
    m_sortKey = column;
    applySort();
}

void ListView::setSorted(bool sorted) {
    m_sorted = sorted;
    applySort();
}

void ListView::applySort() {
    if (!m_sorted) return;
    if (m_sortPauses > 0) {
        m_sortPending = true;
        return;
    }
    sortItems(m_sortKey, m_sortOrder == Descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

} // namespace vb
