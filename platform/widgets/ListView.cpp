#include "platform/widgets/ListView.h"

#include <QHeaderView>

namespace vb {

ListView::ListView(QWidget* parent) : QTreeView(parent), m_own(new ListModel(this)) {
    showRows(*m_own);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // The program decides the sort itself on a header click, so the view never sorts on its own.
    setSortingEnabled(false);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int section) { emit ColumnClick(section + 1); });
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& clicked) {
        if (clicked.isValid() && clicked.row() < m_rows->count()) emit ItemClick(m_rows->itemAt(clicked.row()));
    });
    connect(this, &QAbstractItemView::activated, this, [this](const QModelIndex& activated) {
        if (activated.isValid() && activated.row() < m_rows->count())
            emit ItemActivated(m_rows->itemAt(activated.row()));
    });
}

ListView::~ListView() = default;

void ListView::setRows(ListModel& rows) {
    if (m_rows) disconnect(m_rows, &ListModel::selectionAsked, this, nullptr);
    showRows(rows);
}

void ListView::showRows(ListModel& rows) {
    m_rows = &rows;
    setModel(m_rows);
    connect(m_rows, &ListModel::selectionAsked, this, [this](int row, bool selected) {
        const auto command = selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect;
        selectionModel()->select(m_rows->index(row, 0), command | QItemSelectionModel::Rows);
    });
}

void ListView::addColumn(const QString& caption, int width) {
    const int column = m_rows->columnCountHeaders();
    m_rows->addColumn(caption);
    setColumnWidth(column, width);
}

void ListView::addColumns(const QStringList& captions, int width) {
    for (const QString& caption : captions)
        addColumn(caption, width);
}

QModelIndex ListView::indexOf(const ListItem* row) const {
    if (!row) return {};
    for (int index = 0; index < m_rows->count(); ++index)
        if (m_rows->itemAt(index) == row) return m_rows->index(index, 0);
    return {};
}

ListItem* ListView::selectedItem() const {
    const QModelIndexList selected = selectionModel()->selectedRows();
    for (const QModelIndex& index : selected)
        if (index.row() < m_rows->count()) return m_rows->itemAt(index.row());
    return nullptr;
}

void ListView::setCurrentItem(ListItem* row) {
    setCurrentIndex(indexOf(row));
}

void ListView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QTreeView::selectionChanged(selected, deselected);
    emit itemSelectionChanged();
}

} // namespace vb
