// The VB runtime pieces: conversions with their error numbers and rounding, Val, dates and their
// formats, real message boxes and modal dialogs, and the colour and check-box properties.
#include "platform/Controls.h"
#include "platform/MsgBox.h"
#include "platform/vb.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
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
    QMessageBox::StandardButtons buttons;
    void arm() {
        QTimer::singleShot(10, qApp, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return arm();
            icon = box->icon();
            title = box->windowTitle();
            text = box->text();
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

} // namespace
