// The keyed list view: keys and their two errors, sub-item indexes, colours across all columns,
// VB-like sorting (text, case-insensitive, by the sort-key column, kept while sorted), and the
// column-click and item-click events of real mouse clicks.
#include "platform/Controls.h"
#include "platform/ListView.h"
#include "platform/vb.h"

#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>

[[maybe_unused]] static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

template <class F> std::optional<int> raisedBy(F&& call) {
    try {
        call();
    } catch (const vb::VbError& e) {
        return e.number();
    }
    return std::nullopt;
}

// A user list as the main window builds it: five columns.
struct UserList {
    vb::ListView list;
    UserList() {
        for (const char* caption : {"Status", "Display Name", "Email", "IP", "OnLine Date"})
            list.addColumn(QString::fromLatin1(caption), 80);
    }
    vb::ListItem* addUser(const QString& id, const QString& state, const QString& name) {
        vb::ListItem* row = list.add(state);
        row->setSubItem(1, name);
        list.setKey(row, QStringLiteral("A") + id);
        return row;
    }
    QStringList column(int index) const {
        QStringList values;
        for (int i = 0; i < list.count(); ++i)
            values.append(list.itemAt(i)->text(index));
        return values;
    }
};

TEST(ListView, KeysFindRowsAndRaiseTheCollectionErrors) {
    UserList users;
    vb::ListItem* ann = users.addUser(QStringLiteral("1"), QStringLiteral("On"), QStringLiteral("Ann"));
    users.addUser(QStringLiteral("2"), QStringLiteral("Off"), QStringLiteral("Bob"));

    EXPECT_EQ(users.list.item(QStringLiteral("A1")), ann);
    EXPECT_EQ(ann->Key(), QStringLiteral("A1"));
    EXPECT_EQ(users.list.find(QStringLiteral("A3")), nullptr);
    EXPECT_EQ(users.list.find(QString()), nullptr);
    EXPECT_EQ(raisedBy([&] { users.list.item(QStringLiteral("A3")); }), vb::kErrElementNotFound);

    // A second row with a key in use stays without a key.
    vb::ListItem* dup = users.list.add(QStringLiteral("On"));
    EXPECT_EQ(raisedBy([&] { users.list.setKey(dup, QStringLiteral("A1")); }), vb::kErrKeyNotUnique);
    EXPECT_TRUE(dup->Key().isEmpty());
    EXPECT_EQ(users.list.item(QStringLiteral("A1")), ann);
    users.list.setKey(ann, QStringLiteral("A1")); // its own key again is fine

    EXPECT_EQ(raisedBy([&] { users.list.itemAt(3); }), 35600);
    EXPECT_EQ(raisedBy([&] { users.list.itemAt(-1); }), 35600);
    users.list.remove(QStringLiteral("A1"));
    EXPECT_EQ(users.list.count(), 2);
    EXPECT_EQ(users.list.find(QStringLiteral("A1")), nullptr);
    EXPECT_EQ(raisedBy([&] { users.list.remove(QStringLiteral("A1")); }), vb::kErrElementNotFound);
    users.list.clearItems();
    EXPECT_EQ(users.list.count(), 0);
}

TEST(ListView, SubItemIndexesAndColourOfEveryColumn) {
    UserList users;
    vb::ListItem* row = users.addUser(QStringLiteral("7"), QStringLiteral("Off"), QStringLiteral("Eve"));
    row->setSubItem(4, QStringLiteral("12/05/2026 06:30:00"));
    EXPECT_EQ(row->SubItem(4), QStringLiteral("12/05/2026 06:30:00")); // the last column
    for (int bad : {0, 5, -1}) {
        EXPECT_EQ(raisedBy([&] { row->SubItem(bad); }), 380) << bad;
        EXPECT_EQ(raisedBy([&] { row->setSubItem(bad, QStringLiteral("x")); }), 380) << bad;
    }

    struct Case {
        int bgr;
        QColor color;
    } cases[] = {{vb::vbRed, QColor(255, 0, 0)}, {vb::vbBlack, QColor(0, 0, 0)}, {vb::vbBlue, QColor(0, 0, 255)}};
    for (const Case& c : cases) {
        row->setForeColor(c.bgr);
        EXPECT_EQ(row->ForeColor(), c.bgr);
        for (int column = 0; column < 5; ++column)
            EXPECT_EQ(row->foreground(column).color(), c.color) << column;
    }
}

TEST(ListView, SortsLikeTheVbListView) {
    UserList users;
    users.addUser(QStringLiteral("1"), QStringLiteral("Off"), QStringLiteral("bob"));
    users.addUser(QStringLiteral("2"), QStringLiteral("On"), QStringLiteral("Carl"));
    users.addUser(QStringLiteral("3"), QStringLiteral("off"), QStringLiteral("alice"));
    users.addUser(QStringLiteral("4"), QStringLiteral("ON"), QStringLiteral("Dora"));
    // Not sorted: rows stay in the order they came.
    EXPECT_EQ(users.column(1), QStringList({"bob", "Carl", "alice", "Dora"}));

    struct Case {
        vb::ListView::SortOrder order;
        int key;
        QStringList names;
    } cases[] = {
        {vb::ListView::Ascending, 1, {"alice", "bob", "Carl", "Dora"}},
        {vb::ListView::Descending, 1, {"Dora", "Carl", "bob", "alice"}},
        // "On" before "Off" whatever the case: the order the user list shows after each message.
        {vb::ListView::Descending, 0, {"Carl", "Dora", "bob", "alice"}},
    };
    for (const Case& c : cases) {
        users.list.setSortOrder(c.order);
        users.list.setSortKey(c.key);
        users.list.setSorted(true);
        const QStringList first2 = users.column(1).mid(0, 2);
        const QStringList last2 = users.column(1).mid(2);
        if (c.key == 0) { // equal texts may come in either order
            EXPECT_EQ(QSet<QString>(first2.begin(), first2.end()), QSet<QString>({"Carl", "Dora"}));
            EXPECT_EQ(QSet<QString>(last2.begin(), last2.end()), QSet<QString>({"bob", "alice"}));
        } else {
            EXPECT_EQ(users.column(1), c.names);
        }
    }

    // While sorted, new rows and changed texts find their place.
    users.list.setSortOrder(vb::ListView::Ascending);
    users.list.setSortKey(1);
    users.addUser(QStringLiteral("5"), QStringLiteral("On"), QStringLiteral("Bea"));
    EXPECT_EQ(users.column(1), QStringList({"alice", "Bea", "bob", "Carl", "Dora"}));
    users.list.item(QStringLiteral("A1"))->setSubItem(1, QStringLiteral("Zed"));
    EXPECT_EQ(users.column(1), QStringList({"alice", "Bea", "Carl", "Dora", "Zed"}));

    users.list.setSorted(false);
    users.list.item(QStringLiteral("A3"))->setSubItem(1, QStringLiteral("Zoe"));
    EXPECT_EQ(users.column(1).first(), QStringLiteral("Zoe"));
}

TEST(ListView, HeaderAndItemClicksRaiseTheirEvents) {
    UserList users;
    users.list.resize(500, 200);
    users.addUser(QStringLiteral("1"), QStringLiteral("Off"), QStringLiteral("bob"));
    vb::ListItem* carl = users.addUser(QStringLiteral("2"), QStringLiteral("On"), QStringLiteral("Carl"));
    users.list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&users.list));

    QSignalSpy columns(&users.list, &vb::ListView::ColumnClick);
    QSignalSpy items(&users.list, &vb::ListView::ItemClick);
    QHeaderView* header = users.list.header();
    const int middleOfThird = header->sectionViewportPosition(2) + header->sectionSize(2) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(middleOfThird, header->height() / 2));
    ASSERT_EQ(columns.count(), 1);
    EXPECT_EQ(columns.at(0).at(0).toInt(), 3);
    // The view leaves sorting to the program.
    EXPECT_EQ(users.column(1), QStringList({"bob", "Carl"}));
    EXPECT_FALSE(users.list.sorted());

    const QRect rect = users.list.visualItemRect(carl);
    QTest::mouseClick(users.list.viewport(), Qt::LeftButton, {}, rect.center());
    ASSERT_EQ(items.count(), 1);
    EXPECT_EQ(items.at(0).at(0).value<vb::ListItem*>(), carl);
    EXPECT_EQ(users.list.selectedItem(), carl);
}

} // namespace
