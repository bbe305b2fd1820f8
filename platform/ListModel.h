#pragma once
// Keyed rows of text with a tag and a text colour each, sorted on demand: the rows a list view
// shows, kept apart from the view so that what fills them needs no widgets.
#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace vb {

class ListModel;

// One row. Sub-item 1 is the second column, as in the program's own numbering.
class ListItem {
public:
    ListItem() = default;
    ListItem(const ListItem&) = delete;
    ListItem& operator=(const ListItem&) = delete;

    const QString& Key() const { return m_key; }
    QString Text() const { return text(0); }
    void setText(const QString& value) { setColumnText(0, value); }
    // The text of any column; empty past the last one set.
    QString text(int column) const { return m_texts.value(column); }
    QString SubItem(int index) const; // raises 380 for an index outside 1 .. columns-1
    void setSubItem(int index, const QString& value);
    const QString& Tag() const { return m_tag; }
    void setTag(const QString& value) { m_tag = value; }
    // 0xBBGGRR, applied to every column of the row.
    int ForeColor() const { return m_foreColor; }
    void setForeColor(int bgr);
    // Selects the row, or takes it out of the selection, in every view that shows it.
    void setSelected(bool selected);

private:
    friend class ListModel;
    void setColumnText(int column, const QString& value);
    ListModel* m_model = nullptr;
    int m_row = 0; // where the row stands in its model, kept as rows come, go and sort
    QStringList m_texts;
    QString m_key;
    QString m_tag;
    int m_foreColor = 0;
};

class ListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum SortOrder { Ascending = 0, Descending = 1 };

    explicit ListModel(QObject* parent = nullptr);
    ~ListModel() override;

    // While one lives, changes to rows do not re-sort the list; the sort they would have caused
    // happens once when the last one goes. For filling a sorted list with many rows.
    class SortPause {
    public:
        explicit SortPause(ListModel& rows);
        ~SortPause();
        SortPause(const SortPause&) = delete;
        SortPause& operator=(const SortPause&) = delete;

    private:
        ListModel& m_rows;
    };

    // Names the next column. The rows start with one unnamed column, which the first name takes.
    void addColumn(const QString& caption);
    // How many columns have been named.
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
    int count() const { return static_cast<int>(m_rows.size()); }
    void clearItems();

    SortOrder sortOrder() const { return m_sortOrder; }
    void setSortOrder(SortOrder order);
    int sortKey() const { return m_sortKey; }
    void setSortKey(int column);
    bool sorted() const { return m_sorted; }
    // Sorting applies the current order and key at once and keeps the rows sorted.
    void setSorted(bool sorted);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    // A row asks to be selected or taken out of the selection (ListItem::setSelected).
    void selectionAsked(int row, bool selected);

private:
    friend class ListItem;
    void rowChanged(const ListItem& row);
    void applySort();
    std::vector<std::unique_ptr<ListItem>> m_rows;
    QStringList m_captions{QString()};
    QHash<QString, ListItem*> m_keys; // case-folded key -> row
    int m_sortPauses = 0;
    bool m_sortPending = false;
    int m_columnHeaders = 0;
    SortOrder m_sortOrder = Ascending;
    int m_sortKey = 0;
    bool m_sorted = false;
};

} // namespace vb
