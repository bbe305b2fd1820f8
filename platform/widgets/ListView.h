#pragma once
// A report-view list of keyed rows (vb::ListModel): by default rows of its own, or those of a
// model kept elsewhere (the user list shows the chat link's contacts). Header clicks and row
// clicks come as the program's own events.
#include "platform/ListModel.h"

#include <QPointer>
#include <QTreeView>

namespace vb {

class ListView : public QTreeView {
    Q_OBJECT
public:
    using SortOrder = ListModel::SortOrder;
    static constexpr SortOrder Ascending = ListModel::Ascending;
    static constexpr SortOrder Descending = ListModel::Descending;

    explicit ListView(QWidget* parent = nullptr);
    ~ListView() override;
    ListView(const ListView&) = delete;
    ListView& operator=(const ListView&) = delete;

    // The rows shown: the view's own until others are given, which must outlive the view.
    ListModel& rows() const { return *m_rows; }
    void setRows(ListModel& rows);

    // Names the next column and makes it `width` pixels wide.
    void addColumn(const QString& caption, int width);
    // Names the next columns, each `width` pixels wide.
    void addColumns(const QStringList& captions, int width);
    int columnCountHeaders() const { return m_rows->columnCountHeaders(); }

    // The rows' own calls, on the rows shown.
    ListItem* add(const QString& text = {}) { return m_rows->add(text); }
    void setKey(ListItem* row, const QString& key) { m_rows->setKey(row, key); }
    ListItem* item(const QString& key) const { return m_rows->item(key); }
    ListItem* find(const QString& key) const { return m_rows->find(key); }
    ListItem* itemAt(int index) const { return m_rows->itemAt(index); }
    void remove(const QString& key) { m_rows->remove(key); }
    int count() const { return m_rows->count(); }
    void clearItems() { m_rows->clearItems(); }
    void clear() { m_rows->clearItems(); }
    SortOrder sortOrder() const { return m_rows->sortOrder(); }
    void setSortOrder(SortOrder order) { m_rows->setSortOrder(order); }
    int sortKey() const { return m_rows->sortKey(); }
    void setSortKey(int column) { m_rows->setSortKey(column); }
    bool sorted() const { return m_rows->sorted(); }
    void setSorted(bool sorted) { m_rows->setSorted(sorted); }

    ListItem* selectedItem() const;
    // Makes the row the current one, selected alone.
    void setCurrentItem(ListItem* row);

signals:
    // The 1-based index of the clicked column header.
    void ColumnClick(int columnIndex);
    void ItemClick(vb::ListItem* item);
    // Enter or a double-click on a row.
    void ItemActivated(vb::ListItem* item);
    void itemSelectionChanged();

protected:
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

private:
    QModelIndex indexOf(const ListItem* row) const;
    void showRows(ListModel& rows);
    ListModel* m_own = nullptr;
    ListModel* m_rows = nullptr;
};

} // namespace vb
