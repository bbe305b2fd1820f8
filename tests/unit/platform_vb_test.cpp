// The VB runtime pieces: conversions with their error numbers and rounding, Val, dates and their
// formats, real message boxes and modal dialogs, the colour and check-box properties; and the
// keyed list view: keys and their two errors, sub-item indexes, colours across all columns,
// VB-like sorting, and the column-click and item-click events of real mouse clicks.
#include "platform/Controls.h"
#include "platform/ListView.h"
#include "platform/MsgBox.h"
#include "platform/vb.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <ostream>

[[maybe_unused]] static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

// The error number a call raises, or nothing when it returns.
template <class F> std::optional<int> raisedBy(F&& call) {
    try {
        call();
    } catch (const vb::VbError& e) {
        return e.number();
    }
    return std::nullopt;
}

TEST(VbConversions, CIntAndCLngRoundToEvenAndRaiseTheVbNumbers) {
    struct Case {
        const char* text;
        std::optional<int> cint; // nullopt: raises `error`
        int error;
    } cases[] = {
        {" 12 ", 12, 0},    {"2.5", 2, 0},          {"3.5", 4, 0},   {"-2.5", -2, 0},     {"1e3", 1000, 0},
        {"4D2", 400, 0},    {"&HFFFF", -1, 0},      {"&o17", 15, 0}, {"32767", 32767, 0}, {"-32768.5", -32768, 0},
        {"32767.5", {}, 6}, {"-32769", {}, 6},      {"", {}, 13},    {"12abc", {}, 13},   {"1.2.3", {}, 13},
        {"&H", {}, 13},     {"12/05/2026", {}, 13}, {"- 1", {}, 13},
    };
    for (const Case& c : cases) {
        const QString text = QString::fromLatin1(c.text);
        if (c.cint) {
            EXPECT_EQ(vb::CInt(text), *c.cint) << c.text;
            EXPECT_EQ(vb::CLng(text), *c.cint) << c.text;
        } else {
            EXPECT_EQ(raisedBy([&] { vb::CInt(text); }), c.error) << c.text;
        }
    }
    EXPECT_EQ(vb::CLng(QStringLiteral("2147483647")), 2147483647);
    EXPECT_EQ(vb::CLng(QStringLiteral("-2147483648")), -2147483647 - 1);
    EXPECT_EQ(raisedBy([] { vb::CLng(QStringLiteral("2147483648")); }), vb::kErrOverflow);
    EXPECT_EQ(raisedBy([] { vb::CLng(QStringLiteral("x19991")); }), vb::kErrTypeMismatch);

    EXPECT_EQ(vb::CInt(1.5), 2);
    EXPECT_EQ(vb::CInt(-1.5), -2);
    EXPECT_EQ(vb::CLng(4.5), 4);
    EXPECT_EQ(raisedBy([] { vb::CInt(40000.0); }), vb::kErrOverflow);
    EXPECT_EQ(raisedBy([] { vb::CLng(std::nan("")); }), vb::kErrOverflow);
}

TEST(VbConversions, IsNumericAgreesWithTheConversions) {
    for (const char* yes : {"0", "12", " 7 ", "-1.5", ".5", "5.", "1e5", "1E-2", "&H1F", "99999999999", "7\r\n"})
        EXPECT_TRUE(vb::IsNumeric(QString::fromLatin1(yes))) << yes;
    for (const char* no : {"", " ", "abc", "1.2.3", "12a", "e5", "+", "&HG", "1 2", "10.0.0.1"})
        EXPECT_FALSE(vb::IsNumeric(QString::fromLatin1(no))) << no;
}

TEST(VbConversions, ValReadsTheLeadingNumberAndNeverFails) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"12abc", 12},      {"  -3.5e2x", -350},   {"1 2 3", 123},          {"abc", 0},  {"", 0},   {"&HFFFF", -1},
        {"&H10000", 65536}, {"1.2.3", 1.2},        {"12/05/2026", 12},      {".5", 0.5}, {"1e", 1}, {"4d2", 400},
        {"-", 0},           {"06122026", 6122026}, {"\t 42 StartLook", 42},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(vb::Val(QString::fromLatin1(c.text)), c.value) << c.text;
}

TEST(VbDates, CDateReadsTheProgramsDateTexts) {
    const QDateTime base(QDate(2026, 12, 5), QTime(6, 30, 9));
    struct Case {
        const char* text;
        QDateTime expected;
    } cases[] = {
        {"12/05/2026 06:30:09", base},
        {"12/5/2026 6:30:09 AM", base},
        {"12/05/2026 06:30:09 pm", base.addSecs(12 * 3600LL)},
        {"12/05/2026 12:30 AM", QDateTime(QDate(2026, 12, 5), QTime(0, 30))},
        {"12/05/2026 12:30 PM", QDateTime(QDate(2026, 12, 5), QTime(12, 30))},
        {"2026-12-05T06:30:09", base},
        {"  12/05/2026  ", QDateTime(QDate(2026, 12, 5), QTime(0, 0))},
        {"01/01/1998 11:11:11", QDateTime(QDate(1998, 1, 1), QTime(11, 11, 11))},
        {"1/1/29", QDateTime(QDate(2029, 1, 1), QTime(0, 0))},
        {"Dec/05/2026 06:30", QDateTime(QDate(2026, 12, 5), QTime(6, 30))},
        {"11:11:11", QDateTime(QDate(1899, 12, 30), QTime(11, 11, 11))},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vb::CDate(QString::fromLatin1(c.text)), c.expected) << c.text;

    for (const char* bad : {"", "abc", "13/01/2026", "02/30/2026", "12/05/2026 24:00", "12/05/2026 12:60",
                            "12/05/2026 13:00 PM", "12/05/2026 0:10 AM", "12/05", "Foo/05/2026", "06122026"})
        EXPECT_EQ(raisedBy([&] { vb::CDate(QString::fromLatin1(bad)); }), vb::kErrTypeMismatch) << bad;

    // Later-than comparisons work on the values, not the texts.
    EXPECT_GT(vb::CDate(QStringLiteral("1/2/2026 0:00")), vb::CDate(QStringLiteral("12/31/2025 23:59:59")));
}

TEST(VbDates, FormatTokens) {
    const QDateTime when(QDate(2026, 12, 5), QTime(6, 30, 9));
    struct Case {
        const char* format;
        const char* expected;
    } cases[] = {
        {"mmm/dd/yyyy hh:mm", "Dec/05/2026 06:30"},
        {"mm_dd_yyyy", "12_05_2026"},
        {"mm/dd/yyyy hh:mm:ss", "12/05/2026 06:30:09"},
        {"m/d/yy h:nn:s", "12/5/26 6:30:9"},
        {"hh:nn", "06:30"},
        {"mm:ss", "30:09"}, // mm before seconds reads as minutes
        {"mmmm d, yyyy", "December 5, 2026"},
        {"h:nn AM/PM", "6:30 AM"},
        {"\\h\\h \"mm\" mm", "hh mm 12"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vb::Format(when, QString::fromLatin1(c.format)), QString::fromLatin1(c.expected)) << c.format;

    EXPECT_EQ(vb::Format(when.addSecs(12 * 3600LL), QStringLiteral("hh:mm am/pm")), QStringLiteral("06:30 PM"));
    EXPECT_EQ(vb::Format(QDateTime(QDate(2026, 1, 1), QTime(0, 5)), QStringLiteral("h:nn AM/PM")),
              QStringLiteral("12:05 AM"));
    EXPECT_EQ(vb::Format(QDateTime(), QStringLiteral("mmm")), QString()); // no date, no name

    const QString text = QStringLiteral("03/07/2026 17:04:59");
    EXPECT_EQ(vb::Format(vb::CDate(text), QStringLiteral("mm/dd/yyyy hh:mm:ss")), text);
}

// The other kinds (VbError with its source, any other exception as 5) reach Err through
// logCaught in errorlog_test.
TEST(VbRuntime, ErrTakesAnOutOfMemoryFailureAsSeven) {
    vb::Err().set(std::bad_alloc());
    EXPECT_EQ(vb::Err().Number, vb::kErrOutOfMemory);
    EXPECT_EQ(vb::Err().Description, QStringLiteral("Out of memory"));
    vb::Err().Clear();
}

// ---- Message boxes and modal dialogs --------------------------------------------------------

// Presses `button` on the next modal message box and records what it showed.
struct BoxPresser {
    explicit BoxPresser(QMessageBox::StandardButton pressed) : button(pressed) {}
    QMessageBox::StandardButton button;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, text;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::StandardButtons buttons;
    void arm() {
        QTimer::singleShot(10, qApp, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return arm();
            icon = box->icon();
            title = box->windowTitle();
            text = box->text();
            format = box->textFormat();
            buttons = box->standardButtons();
            box->button(button)->click();
        });
    }
};

TEST(VbMsgBox, RealBoxesShowTheStyleAndReturnTheButton) {
    struct Case {
        int style;
        QMessageBox::StandardButton press;
        int expected;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    } cases[] = {
        {vb::vbOKOnly | vb::vbCritical, QMessageBox::Ok, vb::vbOK, QMessageBox::Critical, QMessageBox::Ok},
        {vb::vbYesNo | vb::vbQuestion, QMessageBox::No, vb::vbNo, QMessageBox::Question,
         QMessageBox::Yes | QMessageBox::No},
        {vb::vbOKCancel | vb::vbExclamation, QMessageBox::Cancel, vb::vbCancel, QMessageBox::Warning,
         QMessageBox::Ok | QMessageBox::Cancel},
    };
    for (const Case& c : cases) {
        BoxPresser presser(c.press);
        presser.arm();
        EXPECT_EQ(vb::MsgBox(QStringLiteral("Sorry"), c.style, QStringLiteral("Title")), c.expected);
        EXPECT_EQ(presser.icon, c.icon);
        EXPECT_EQ(presser.buttons, c.buttons);
        EXPECT_EQ(presser.title, QStringLiteral("Title"));
        EXPECT_EQ(presser.text, QStringLiteral("Sorry"));
    }

    // Markup from a peer stays text: no heading, no link, no image fetched from a file.
    const QString markup = QStringLiteral("<h1>Hi</h1><a href=\"http://x\">x</a><img src=\"file:///etc/passwd\">");
    BoxPresser presser(QMessageBox::Ok);
    presser.arm();
    vb::MsgBox(markup, vb::vbInformation, QStringLiteral("<b>T</b>"));
    EXPECT_EQ(presser.format, Qt::PlainText);
    EXPECT_EQ(presser.text, markup);
}

TEST(VbMsgBox, TextsLongerThanAScreenfulAreCut) {
    const QString line = QStringLiteral("line\n");
    EXPECT_EQ(vb::screenful(line.repeated(3)), line.repeated(3));
    EXPECT_EQ(vb::screenful(line.repeated(vb::kScreenfulLines + 1)),
              line.repeated(vb::kScreenfulLines - 1) + QStringLiteral("line..."));
    EXPECT_EQ(vb::screenful(QString(3000, QLatin1Char('x'))),
              QString(vb::kScreenfulChars, QLatin1Char('x')) + QStringLiteral("..."));
}

// The test handlers of boxes and dialogs are exercised by every test that scripts a dialog.
TEST(VbMsgBox, WithoutATestHandlerADialogRunsItsOwnModalLoop) {
    QDialog dialog;
    QTimer::singleShot(10, &dialog, &QDialog::accept);
    EXPECT_EQ(vb::ShowModal(dialog), QDialog::Accepted);
}

// ---- Control properties ---------------------------------------------------------------------

TEST(VbControls, ColourAndCheckBoxValue) {
    // Colours are 0xBBGGRR values: red is the low byte.
    QLabel label;
    vb::setForeColor(label, vb::vbRed);
    EXPECT_EQ(vb::ForeColor(label), vb::vbRed);
    EXPECT_EQ(label.palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(label.palette().color(QPalette::Text), QColor(255, 0, 0));

    QCheckBox box;
    int clicks = 0;
    QObject::connect(&box, &QCheckBox::stateChanged, [&] { ++clicks; });
    EXPECT_EQ(vb::Value(box), vb::vbUnchecked);
    vb::setValue(box, vb::vbChecked);
    EXPECT_EQ(vb::Value(box), vb::vbChecked);
    vb::setValue(box, vb::vbGrayed);
    EXPECT_EQ(vb::Value(box), vb::vbGrayed);
    vb::setValue(box, vb::vbGrayed); // no change, no click
    vb::setValue(box, vb::vbUnchecked);
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(raisedBy([&] { vb::setValue(box, 3); }), 380);
}

// ---- The keyed list view --------------------------------------------------------------------

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
    // Keys compare without case; a row taken out of the list or deleted is no longer found.
    vb::ListItem* bob = users.list.item(QStringLiteral("a2"));
    std::unique_ptr<QTreeWidgetItem> taken(users.list.takeTopLevelItem(users.list.indexOfTopLevelItem(bob)));
    EXPECT_EQ(users.list.find(QStringLiteral("A2")), nullptr);
    users.list.setKey(dup, QStringLiteral("A2"));
    taken.reset();
    EXPECT_EQ(users.list.find(QStringLiteral("A2")), dup);
    users.list.clearItems();
    EXPECT_EQ(users.list.count(), 0);
    EXPECT_EQ(users.list.find(QStringLiteral("A2")), nullptr);
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
