// The reply handler on a real main window's user list (offscreen): the add and update branches
// of every code, the on/off flip, the date condition of 77, the record loops and their cut-short
// records, the notices, and both settings files with the replies that may not change them (the
// fuzz target fuzz_use_msg_received feeds it replies made of garbage).
#include "app/basMain.h"
#include "app/frmMain.h"
#include "platform/Controls.h"
#include "platform/ListView.h"
#include "platform/MsgBox.h"
#include "platform/vb.h"
#include "server/ChatProtocol.h"
#include "server/Registration.h"
#include "server/SettingsFile.h"
#include "support/FileSizeLimit.h"
#include "support/TestEnv.h"
#include "wire/Protocol.h"
#include "wire/SettingsFile.h"

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

using namespace basMain;

namespace {

QString msg(const QStringList& fields) {
    return fields.join(wire::kSep);
}

// What a row shows, in one comparable value.
struct Row {
    QString text, name, email, ip, date, tag;
    int colour = -1;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.text.toStdString() << "|" << row.name.toStdString() << "|" << row.email.toStdString() << "|"
               << row.ip.toStdString() << "|" << row.date.toStdString() << "|tag=" << row.tag.toStdString()
               << "|colour=" << row.colour;
}

class ChatProtocol : public ::testing::Test {
protected:
    testenv::TestEnv env;
    frmMain form;

    void SetUp() override {
        env.makeLogsFolder();
        for (const char* caption : {"Status", "Display Name", "Email", "IP", "OnLine Date"})
            form.LstUsers->addColumn(QString::fromLatin1(caption), 80);
        form.LstUsers->setSortOrder(vb::ListView::Descending);
        form.LstUsers->setSortKey(0);
        form.LstUsers->setSorted(true);
    }
    void TearDown() override {
        g_blnRegistrationWaiting = false;
        g_strAnsweredRequest.clear();
    }

    void receive(const QString& text) {
        g_strMsgReceived = text;
        fnUseMSGReceived();
        EXPECT_TRUE(g_strMsgReceived.isEmpty());
    }
    void receive(const QStringList& fields) { receive(msg(fields)); }

    std::optional<Row> row(const QString& id) const {
        const vb::ListItem* item = form.LstUsers->find(QStringLiteral("A") + id);
        if (!item) return std::nullopt;
        return Row{item->Text(),     item->SubItem(1), item->SubItem(2), item->SubItem(3),
                   item->SubItem(4), item->Tag(),      item->ForeColor()};
    }
    int rows() const { return form.LstUsers->count(); }
    QStringList texts() const {
        QStringList all;
        for (int i = 0; i < rows(); ++i)
            all.append(form.LstUsers->itemAt(i)->Text());
        return all;
    }
    bool logged(const QString& prefix, int number) const {
        for (const QString& line : env.logLines())
            if (line.startsWith(prefix) && line.contains(QStringLiteral("ErrNo: ") + QString::number(number) + " "))
                return true;
        return false;
    }
    bool loggedAnything() const { return !env.logLines().isEmpty(); }
};

const int kBlack = vb::vbBlack;
const int kRed = vb::vbRed;

TEST_F(ChatProtocol, Message4AddsARowAndRefreshesAListedUserInsteadOfAddingASecond) {
    receive({"4", "7", "Ann", "ann@x.org", "10.0.0.7:5060", "1"});
    EXPECT_EQ(row("7"), (Row{"On", "Ann", "ann@x.org", "", "", "10.0.0.7:5060", kBlack}));
    receive({"4", "8", "Bob", "bob@x.org", "10.0.0.8:5060", "0"});
    EXPECT_EQ(row("8"), (Row{"Off", "Bob", "bob@x.org", "", "", "10.0.0.8:5060", kRed}));

    // The same user again: one keyed row, refreshed as an add would have filled it; the address
    // column a later reply filled stays.
    form.LstUsers->find("A7")->setSubItem(3, "10.0.0.7:5060");
    receive({"4", "7", "Ann B", "annb@x.org", "10.0.0.70:5062", "0"});
    EXPECT_EQ(rows(), 2);
    EXPECT_EQ(row("7"), (Row{"Off", "Ann B", "annb@x.org", "10.0.0.7:5060", "", "10.0.0.70:5062", kRed}));
    EXPECT_FALSE(loggedAnything());
}

TEST_F(ChatProtocol, EmptyEMailOrAddressAddsNoRowFor1And7And77ButDoesFor4And11And111) {
    struct Case {
        QString code;
        QString email, address;
        bool added;
    };
    const QString date = "12/05/2026 06:30:00";
    const Case cases[] = {
        {"1", "", "10.0.0.1", false},  {"1", "a@x.org", "", false},  {"7", "", "", false},
        {"77", "", "10.0.0.1", false}, {"77", "a@x.org", "", false}, {"1", "a@x.org", "10.0.0.1", true},
        {"4", "", "", true},           {"11", "", "", true},         {"111", "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code.toStdString() + " e-mail '" + c.email.toStdString() + "' address '" +
                     c.address.toStdString() + "'");
        form.LstUsers->clearItems();
        QStringList fields{c.code, "5", "Eve", c.email, c.address, "1"};
        if (c.code == "77") fields.append(date);
        if (c.code == "11" || c.code == "111")
            fields << "t1"
                   << "t2";
        if (c.code == "111") fields = QStringList{"111", "5", "Eve", c.email, c.address, "1", "10.1.1.1", "19991"};
        receive(fields);
        EXPECT_EQ(row("5").has_value(), c.added);
    }
}

// Message 7 runs the same code; that it gets there is seen in the empty-field and cut-short tables.
TEST_F(ChatProtocol, Message1FillsTheAddressColumnOnlyWhenTheAddressChangesAndFlipsTheState) {
    receive({"1", "3", "Cy", "cy@x.org", "10.0.0.3:5060", "1", "4", "Di", "di@x.org", "10.0.0.4:5060", "0"});
    EXPECT_EQ(row("3"), (Row{"On", "Cy", "cy@x.org", "10.0.0.3:5060", "", "10.0.0.3:5060", kBlack}));
    EXPECT_EQ(row("4"), (Row{"Off", "Di", "di@x.org", "10.0.0.4:5060", "", "10.0.0.4:5060", kRed}));

    // A row added by message 4 has no address column; the same address keeps it empty.
    form.LstUsers->clearItems();
    receive({"4", "3", "Cy", "cy@x.org", "10.0.0.3:5060", "1"});
    receive({"1", "3", "Other name", "other@x.org", "10.0.0.3:5060", "0"});
    EXPECT_EQ(row("3"), (Row{"Off", "Cy", "cy@x.org", "", "", "10.0.0.3:5060", kRed}));
    receive({"1", "3", "Cy", "cy@x.org", "10.0.0.33:5060", "1"});
    EXPECT_EQ(row("3"), (Row{"On", "Cy", "cy@x.org", "10.0.0.33:5060", "", "10.0.0.33:5060", kBlack}));
}

TEST_F(ChatProtocol, FlipRuleOnlyTurnsOnWith1AndOffWith0) {
    struct Case {
        const char* before;
        const char* status;
        const char* after;
    };
    const Case cases[] = {
        {"1", "0", "Off"}, {"1", "1", "On"},  {"1", "2", "On"},  {"1", "", "On"},
        {"0", "1", "On"},  {"0", "0", "Off"}, {"0", "2", "Off"}, {"0", "x", "Off"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.before) + " then " + c.status);
        form.LstUsers->clearItems();
        receive({"4", "9", "Fay", "fay@x.org", "10.0.0.9", c.before});
        receive({"1", "9", "Fay", "fay@x.org", "10.0.0.9", c.status});
        ASSERT_TRUE(row("9"));
        EXPECT_EQ(row("9")->text, QString::fromLatin1(c.after));
        EXPECT_EQ(row("9")->colour, row("9")->text == "On" ? kBlack : kRed);
    }
}

TEST_F(ChatProtocol, Message77ChangesARowOnlyForALaterDateAndNeverMovesItsDate) {
    receive({"77", "6", "Gus", "gus@x.org", "10.0.0.6", "1", "12/05/2026 06:30:00"});
    const Row first{"On", "Gus", "gus@x.org", "10.0.0.6", "12/05/2026 06:30:00", "10.0.0.6", kBlack};
    EXPECT_EQ(row("6"), first);

    // Same date or earlier: nothing changes, whatever the status.
    receive({"77", "6", "Gus", "gus@x.org", "10.0.0.66", "0", "12/05/2026 06:30:00"});
    receive({"77", "6", "Gus", "gus@x.org", "10.0.0.66", "0", "12/04/2026 23:59:59"});
    EXPECT_EQ(row("6"), first);

    // One second later: address and state change, the date column does not.
    receive({"77", "6", "New name", "new@x.org", "10.0.0.66", "0", "12/05/2026 06:30:01"});
    EXPECT_EQ(row("6"), (Row{"Off", "Gus", "gus@x.org", "10.0.0.66", "12/05/2026 06:30:00", "10.0.0.66", kRed}));

    // A row from an undated reply is older than any dated report.
    receive({"1", "2", "Hal", "hal@x.org", "10.0.0.2", "0"});
    receive({"77", "2", "Hal", "hal@x.org", "10.0.0.22", "1", "01/01/1998 11:11:11"});
    EXPECT_EQ(row("2"), (Row{"On", "Hal", "hal@x.org", "10.0.0.22", "", "10.0.0.22", kBlack}));
    EXPECT_FALSE(loggedAnything());
}

TEST_F(ChatProtocol, RecordsCutShortStopTheReplyWithALoggedErrorAfterTheCompleteOnes) {
    struct Case {
        QStringList fields;
        QStringList addedIds;
    };
    const Case cases[] = {
        {{"1", "1", "A", "a@x", "10.0.0.1", "1", "2", "B", "b@x"}, {"1"}},
        {{"7", "1", "A", "a@x", "10.0.0.1", "1", "2"}, {"1"}},
        {{"77", "1", "A", "a@x", "10.0.0.1", "1", "12/05/2026 06:30:00", "2", "B", "b@x", "10.0.0.2", "1"}, {"1"}},
        {{"4", "1", "A", "a@x", "10.0.0.1"}, {}},
        {{"11", "1", "A", "a@x"}, {}},
        {{"111", "1", "A"}, {}},
        {{"3", "10.0.0.1", "19991", "5"}, {}},
        {{"5"}, {}},
        {{"1985"}, {}},
    };
    g_blnRegistrationWaiting = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(msg(c.fields).toStdString());
        form.LstUsers->clearItems();
        const qsizetype logged = env.logLines().size();
        receive(c.fields);
        QStringList ids;
        for (int i = 0; i < rows(); ++i)
            ids.append(form.LstUsers->itemAt(i)->Key().mid(1));
        EXPECT_EQ(ids, c.addedIds);
        ASSERT_EQ(env.logLines().size(), logged + 1);
        EXPECT_TRUE(env.logLines().back().startsWith("fnUseMSGReceived["));
        EXPECT_TRUE(env.logLines().back().contains("ErrNo: 9 "));
    }
    EXPECT_TRUE(env.boxes().isEmpty());
    EXPECT_FALSE(QFile::exists(serverAddressFilePath()));
    EXPECT_FALSE(g_blnRegistrationDone);
}

TEST_F(ChatProtocol, Message11UpdatesEveryRecordThenShowsOneBoxWithTheTrailingTextAndTitle) {
    receive({"1", "1", "A", "a@x", "10.0.0.1", "1"});
    receive(
        {"11", "1", "A2", "a2@x", "10.0.0.11", "0", "2", "B", "b@x", "10.0.0.2", "1", "Server will restart", "Notice"});
    // Listed row: only the tag follows the new address; unlisted row: no address column.
    EXPECT_EQ(row("1"), (Row{"Off", "A", "a@x", "10.0.0.1", "", "10.0.0.11", kRed}));
    EXPECT_EQ(row("2"), (Row{"On", "B", "b@x", "", "", "10.0.0.2", kBlack}));
    ASSERT_EQ(env.boxes().size(), 1);
    EXPECT_EQ(env.boxes()[0].prompt, "Server will restart");
    EXPECT_EQ(env.boxes()[0].title, "Notice");
    EXPECT_EQ(env.boxes()[0].buttons, vb::vbInformation | vb::vbOKOnly);

    // No field after the code: nothing at all.
    receive(QStringList{"11"});
    EXPECT_EQ(env.boxes().size(), 1);
    EXPECT_FALSE(loggedAnything());
}

TEST_F(ChatProtocol, ServerAddressFileOf3And111ReadsBackInTheStartUpLoadersFormat) {
    // What else reply 3 sets is seen through a real registration in identity_test.
    g_blnRegistrationWaiting = true;
    receive({"3", "10.1.2.3", "19992", "42", "me@x.org"});
    g_blnRegistrationWaiting = false;
    QStringList fields = testenv::readScrambledFile(serverAddressFilePath()).split(wire::kSep);
    EXPECT_EQ(fields, (QStringList{"10.1.2.3", "19992", "42", "me@x.org"}));

    // 111 keeps the identity and takes the new address and port from its last two fields.
    receive({"111", "7", "Ann", "ann@x.org", "10.0.0.7", "1", "10.9.9.9", "20000"});
    fields = testenv::readScrambledFile(serverAddressFilePath()).split(wire::kSep);
    EXPECT_EQ(fields, (QStringList{"10.9.9.9", "20000", "42", "me@x.org"}));
    EXPECT_TRUE(row("7"));

    // A 111 without one whole record leaves the file as it was.
    const QString before = testenv::readScrambledFile(serverAddressFilePath());
    receive({"111", "8", "Bob", "bob@x.org"});
    EXPECT_EQ(testenv::readScrambledFile(serverAddressFilePath()), before);
    EXPECT_TRUE(logged("fnUseMSGReceived[", vb::kErrSubscript));
    EXPECT_TRUE(env.boxes().isEmpty());
}

TEST_F(ChatProtocol, Message5RemovesTheRowAndAMissingRowIsLogged) {
    receive({"1", "1", "A", "a@x", "10.0.0.1", "1", "2", "B", "b@x", "10.0.0.2", "1"});
    receive({"5", "1"});
    EXPECT_FALSE(row("1"));
    EXPECT_TRUE(row("2"));
    EXPECT_FALSE(loggedAnything());
    receive({"5", "1"});
    EXPECT_TRUE(logged("fnUseMSGReceived[", vb::kErrElementNotFound));
    EXPECT_EQ(rows(), 1);
}

TEST_F(ChatProtocol, ServerTextsShowInRedAndOnly1985EndsTheRegistration) {
    receive({"1957", "Maintenance at noon"});
    EXPECT_EQ(form.txtStatus->toPlainText(), "Maintenance at noon");
    EXPECT_EQ(vb::ForeColor(*form.txtStatus), kRed);
    EXPECT_FALSE(g_blnRegistrationDone);
    vb::setForeColor(*form.txtStatus, kBlack);
    receive({"1985", "E-mail already registered"});
    EXPECT_EQ(form.txtStatus->toPlainText(), "E-mail already registered");
    EXPECT_EQ(vb::ForeColor(*form.txtStatus), kRed);
    EXPECT_TRUE(g_blnRegistrationDone);

    // 2 and unknown codes change nothing.
    receive({"2", "x"});
    receive({"999", "x"});
    EXPECT_EQ(form.txtStatus->toPlainText(), "E-mail already registered");
    EXPECT_FALSE(loggedAnything());
}

TEST_F(ChatProtocol, NonNumericCodeIsLoggedAndTheListIsSortedByStatusAfterAnyReply) {
    receive(
        {"1", "1", "A", "a@x", "10.0.0.1", "0", "2", "B", "b@x", "10.0.0.2", "1", "3", "C", "c@x", "10.0.0.3", "0"});
    EXPECT_EQ(texts(), (QStringList{"On", "Off", "Off"}));

    form.LstUsers->setSortOrder(vb::ListView::Ascending);
    form.LstUsers->setSortKey(2);
    for (const QString& code : {QStringLiteral("abc"), QStringLiteral(""), QStringLiteral("99999")}) {
        SCOPED_TRACE(code.toStdString());
        receive({code, "1", "A", "a@x", "10.0.0.1", "1"});
        EXPECT_EQ(form.LstUsers->sortOrder(), vb::ListView::Descending);
        EXPECT_EQ(form.LstUsers->sortKey(), 0);
        EXPECT_EQ(texts(), (QStringList{"On", "Off", "Off"}));
        form.LstUsers->setSortOrder(vb::ListView::Ascending);
    }
    EXPECT_TRUE(logged("fnUseMSGReceived[2]", vb::kErrTypeMismatch));
    EXPECT_TRUE(logged("fnUseMSGReceived[2]", vb::kErrOverflow));
}

TEST_F(ChatProtocol, RepliesThatWouldRewriteASettingsFileUnaskedAreLoggedAndLeaveItByteForByte) {
    g_blnRegistrationWaiting = true;
    receive({"3", "10.1.2.3", "19992", "42", "me@x.org"});
    g_blnRegistrationWaiting = false;
    form.txtEmail->setText("me@x.org");
    vb::setTag(*form.txtEmail, "42");
    g_strAnsweredRequest = "2005";
    const QString sites = msg({"", "0", "10.0.0.5", "home.example", "/r.asp", "12052026"}) + "\r\n";
    receive("2005" + sites);
    g_blnRegistrationDone = false;
    const auto bytes = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
    };
    const QByteArray serverFile = bytes(serverAddressFilePath());
    const QByteArray siteFile = bytes(userSettingsFilePath());

    struct Case {
        const char* name;
        QString answering; // the request the chat connection carried
        QString reply;
        int number;
    };
    const QString record = msg({"7", "Ann", "ann@x.org", "10.0.0.7", "1"});
    const Case cases[] = {
        {"3 to nothing", "", msg({"3", "10.6.6.6", "19991", "666", "evil@x.org"}), vb::kErrPermissionDenied},
        {"111 with a name", "1", msg({"111", record, "evil.example", "19991"}), vb::kErrPermissionDenied},
        {"111 with port 65535", "1", msg({"111", record, "10.9.9.9", "65535"}), vb::kErrPermissionDenied},
        {"2005 to nothing", "", "2005" + msg({"", "2", "10.6.6.6", "evil.example", "/a.asp", "x"}) + "\r\n",
         vb::kErrPermissionDenied},
        {"2005 too long", "2005", "2005" + sites.repeated(100), vb::kErrOverflow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype logged = env.logLines().size();
        g_strAnsweredRequest = c.answering;
        receive(c.reply);
        EXPECT_EQ(bytes(serverAddressFilePath()), serverFile);
        EXPECT_EQ(bytes(userSettingsFilePath()), siteFile);
        ASSERT_EQ(env.logLines().size(), logged + 1);
        EXPECT_TRUE(env.logLines().back().startsWith("fnUseMSGReceived["));
        EXPECT_TRUE(env.logLines().back().contains("ErrNo: " + QString::number(c.number) + " "));
    }
    EXPECT_EQ(form.txtEmail->text(), "me@x.org");
    EXPECT_EQ(vb::Tag(*form.txtEmail), "42");
    EXPECT_FALSE(g_blnRegistrationDone);
    // The records of a refused 111 still count: only the address is not taken.
    EXPECT_TRUE(row("7"));
}

TEST_F(ChatProtocol, A2005ThatCannotBeWrittenIsLoggedAndStillArmsTheCloseTimer) {
    g_strAnsweredRequest = "2005";
    const QString old = msg({"", "0", "a", "b", "c", "d"});
    receive("2005" + old);
    form.tmrServerCall->stop();
    form.tmrServerCall->setInterval(25000);
    const QString path = userSettingsFilePath();
    const QString before = testenv::readScrambledFile(path);
    {
        // Room for a log line, not for the new file.
        const testenv::FileSizeLimit limit(400);
        receive("2005" + msg({"", "0", QString(600, QLatin1Char('x')), "b", "c", "d"}));
    }
    EXPECT_TRUE(form.tmrServerCall->isActive());
    EXPECT_EQ(testenv::readScrambledFile(path), before);
    ASSERT_EQ(env.logLines().size(), 1);
    EXPECT_TRUE(env.logLines()[0].startsWith("fnUseMSGReceived[2005] - "));
}

} // namespace
