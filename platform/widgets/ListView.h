#pragma once
// A report-view list with the keyed rows, sub-items, tags, text colours and sort settings the
// user list relies on, on top of QTreeWidget.
#include <QHash>
#include <QString>
#include <QTreeWidget>

namespace vb {

class ListView;

// One row. Sub-item 1 is the second column, as in the program's own numbering.
class ListItem : public QTreeWidgetItem {
public:
    ListItem() = default;
    ~ListItem() override;
    ListItem(const ListItem&) = delete;
    ListItem& operator=(const ListItem&) = delete;

    const QString& Key() const { return m_key; }
    QString Text() const { return text(0); }
    void setText(const QString& value);
    using QTreeWidgetItem::setText;
    QString SubItem(int index) const; // raises 380 for an index outside 1 .. columns-1
    void setSubItem(int index, const QString& value);
    const QString& Tag() const { return m_tag; }
    void setTag(const QString& value) { m_tag = value; }
    // 0xBBGGRR, applied to every column of the row.
    int ForeColor() const { return m_foreColor; }
    void setForeColor(int bgr);

    bool operator<(const QTreeWidgetItem& other) const override;

private:
    friend class ListView;
    QString m_key;
    QString m_tag;
    int m_foreColor = 0;
    ListView* m_keyedIn = nullptr; // the list whose key index holds this row
};

class ListView : public QTreeWidget {
    Q_OBJECT
public:
    enum SortOrder { Ascending = 0, Descending = 1 };

    explicit ListView(QWidget* parent = nullptr);
    ~ListView() override;
    ListView(const ListView&) = delete;
    ListView& operator=(const ListView&) = delete;

    // While one lives, changes to rows do not re-sort the list; the sort they would have caused
    // happens once when the last one goes. For filling a sorted list with many rows.
    class SortPause {
    public:
        explicit SortPause(ListView& list);
        ~SortPause();
        SortPause(const SortPause&) = delete;
        SortPause& operator=(const SortPause&) = delete;

    private:
        ListView& m_list;
    };

    // Column headers, caption and width in pixels.
    void addColumn(const QString& caption, int width);
    int columnCountHeaders() const { return m_columnHeaders; }

    // Adds a row at the end with its text and no key, and returns it.
    ListItem* add(const QString& text = {});
    // Gives a row its key; raises 35602 "Key is not unique in collection" when another row has
    // it (the row then stays without a key).
    void setKey(ListItem* row, const QString& key);
    // The row with that key; raises 35601 "Element not found" when there is none.
    ListItem* item(const QString& key) const;
    // The row with that key, or nullptr. Keys are compared without regard to case, through an
    // index, so a lookup costs the same in a list of ten rows or ten thousand.
    ListItem* find(const QString& key) const;
    ListItem* itemAt(int index) const; // 0-based; raises 35600 "Index out of bounds"
    // Removes the row with that key; raises 35601 when there is none.
    void remove(const QString& key);
    int count() const { return topLevelItemCount(); }
    void clearItems();
    ListItem* selectedItem() const;

    SortOrder sortOrder() const { return m_sortOrder; }
    void setSortOrder(SortOrder order);
    int sortKey() const { return m_sortKey; }
    void setSortKey(int column);
    bool sorted() const { return m_sorted; }
    // Sorting applies the current order and key at once and keeps the rows sorted.
    void setSorted(bool sorted);

signals:
    // The 1-based index of the clicked column header.
    void ColumnClick(int columnIndex);
    void ItemClick(vb::ListItem* item);

private:
    friend class ListItem;
    void applySort();
    void forgetKey(const ListItem& row);
    QHash<QString, ListItem*> m_keys; // case-folded key -> row
    int m_sortPauses = 0;
    bool m_sortPending = false;
    int m_columnHeaders = 0;
    SortOrder m_sortOrder = Ascending;
    int m_sortKey = 0;
    bool m_sorted = false;
};

} // namespace vb
