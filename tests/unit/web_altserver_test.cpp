// The alternate server's request rewriting, reply reading and merge table, on plain text. Two sites
// merged in either order into the user list are tested in web_lookup_test.
#include "platform/vb.h"
#include "web/AltServer.h"
#include "web/WebText.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

using web::AltServerAnswers;
using web::UserRow;

const QString kSep(QChar(0x00D4));

// A page's reply: some HTTP around, one marked value per field, and trailing text.
QString reply(const QStringList& values) {
    QString text = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body>";
    for (const QString& value : values)
        text += web::kLookStart + value + web::kLookEnd + "<br>";
    return text + "</body></html>";
}

QStringList record(const QString& id, const QString& ip, const QString& status, const QString& date) {
    return {id, "Name " + id, "user" + id + "@example.org", ip, status, date};
}

QString joined(const QStringList& fields) {
    return fields.join(kSep);
}

TEST(AltServerRequest, PollBecomesDatedAndEveryRequestGainsTheOwnAddress) {
    const QDateTime now(QDate(2026, 12, 5), QTime(6, 30, 5));
    EXPECT_EQ(web::alternateRequest(joined({"1", "5", "ann@example.org"}), "203.0.113.7", now),
              joined({"77", "5", "12/05/2026 06:30:05", "203.0.113.7"}));
    EXPECT_EQ(web::alternateRequest(joined({"2", "5"}), "203.0.113.7", now), joined({"2", "5", "203.0.113.7"}));
    // A poll without further fields: its only field is both first and last.
    EXPECT_EQ(web::alternateRequest("1", "w", now), joined({"12/05/2026 06:30:05", "w"}));
}

TEST(AltServerMerge, TableOfDatesAndStates) {
    const QString earlier = "12/05/2026 06:30:05";
    const QString later = "12/05/2026 06:30:06";
    const QString none;
    const QString dflt = web::kDefaultOnlineDate;
    const struct {
        const char* what;
        QString rowStatus, rowDate;
        QString newStatus, newDate;
        bool taken;
        QString dateAfter;
    } cases[] = {
        {"newer date wins", "1", earlier, "0", later, true, later},
        {"older date loses", "0", later, "0", earlier, false, later},
        {"equal date, on line beats off line", "0", earlier, "1", earlier, true, earlier},
        {"older date, on line beats off line", "0", later, "1", earlier, true, earlier},
        {"equal date, off line does not beat on line", "1", earlier, "0", earlier, false, earlier},
        {"equal date, both on line", "1", earlier, "1", earlier, false, earlier},
        {"dated record into undated row", "1", none, "0", earlier, true, earlier},
        {"undated on-line record beats off-line row", "0", earlier, "1", none, true, dflt},
        {"undated record loses against on-line row", "1", earlier, "1", none, false, earlier},
        {"undated off-line record", "0", earlier, "0", none, false, earlier},
        {"undated record into undated row", "1", none, "0", none, true, dflt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UserRow row{"5", "Ann", "ann@example.org", "10.0.0.1", c.rowStatus, c.rowDate};
        web::mergeUserAddress(row, "10.0.0.2", c.newStatus, c.newDate);
        EXPECT_EQ(row[3], c.taken ? "10.0.0.2" : "10.0.0.1");
        EXPECT_EQ(row[4], c.taken ? c.newStatus : c.rowStatus);
        EXPECT_EQ(row[5], c.dateAfter);
        EXPECT_EQ(row[0], "5");
    }
    UserRow row{"5", "", "", "", "1", "not a date"};
    EXPECT_THROW(web::mergeUserAddress(row, "ip", "1", "12/05/2026 06:30:05"), vb::VbError);
}

TEST(AltServerReading, DefaultServerRecordsAndFreeValues) {
    AltServerAnswers answers;
    QString received = "left over";
    QStringList values{" 77 "};
    values << record("5", "10.0.0.1", "1", "12/05/2026 06:30:05") << record("6", "10.0.0.6", "0", "");
    ASSERT_EQ(answers.readDefaultServer(reply(values), received), AltServerAnswers::Outcome::Read);
    EXPECT_EQ(received, "77");
    EXPECT_EQ(answers.code(), "77");
    ASSERT_EQ(answers.table().size(), 2);
    EXPECT_EQ(answers.table()[1][5], web::kDefaultOnlineDate);
    EXPECT_EQ(answers.message(), joined(QStringList{"77"} + record("5", "10.0.0.1", "1", "12/05/2026 06:30:05") +
                                        record("6", "10.0.0.6", "0", web::kDefaultOnlineDate)));

    AltServerAnswers free;
    ASSERT_EQ(free.readDefaultServer(reply({"2", " a ", "b"}), received), AltServerAnswers::Outcome::Read);
    EXPECT_EQ(received, joined({"2", " a ", "b"}));
    ASSERT_EQ(free.readSite(reply({"2", "c"}), received), AltServerAnswers::Outcome::Read);
    EXPECT_EQ(received, kSep + "c");

    AltServerAnswers other;
    ASSERT_EQ(other.readDefaultServer(reply({"9", "x", "y"}), received), AltServerAnswers::Outcome::Read);
    EXPECT_EQ(received, "9");
    EXPECT_EQ(other.table().size(), 1);
}

TEST(AltServerReading, SiteRecordsJoinTheDefaultServersRows) {
    AltServerAnswers answers;
    QString received;
    ASSERT_EQ(answers.readDefaultServer(reply(QStringList{"77"} + record("5", "10.0.0.1", "0", "12/05/2026 06:30:05")),
                                        received),
              AltServerAnswers::Outcome::Read);
    ASSERT_EQ(
        answers.readSite(reply(QStringList{"77"} + record("5", "10.0.0.2", "1", "12/05/2026 06:30:05")), received),
        AltServerAnswers::Outcome::Read);
    ASSERT_EQ(answers.table().size(), 1);
    EXPECT_EQ(answers.table()[0][3], "10.0.0.2");
    EXPECT_EQ(answers.table()[0][4], "1");
}

TEST(AltServerReading, MalformedRepliesStopTheReading) {
    QString received;
    const QString noStart = "StartLookWANIP =77EndLookWANIP<b>5</b>EndLookWANIP";
    EXPECT_EQ(AltServerAnswers().readDefaultServer(noStart, received), AltServerAnswers::Outcome::Malformed);
    EXPECT_EQ(AltServerAnswers().readSite(noStart, received), AltServerAnswers::Outcome::Malformed);

    // The look-ahead of a site record needs its status and date pieces.
    const QString cutBeforeStatus = reply({"77", "5", "Ann", "a@x", "10.0.0.1"});
    EXPECT_EQ(AltServerAnswers().readSite(cutBeforeStatus, received), AltServerAnswers::Outcome::Malformed);
    // A status in the text after the last end marker, and no date at all: a record cut short.
    QString cutShort;
    for (const char* value : {"77", "5", "Ann", "a@x", "10.0.0.1"})
        cutShort += web::kLookStart + value + web::kLookEnd;
    EXPECT_THROW(AltServerAnswers().readSite(cutShort + web::kLookStart + "1", received), vb::VbError);
    // A text after the last end marker is never read, marker or not.
    AltServerAnswers answers;
    EXPECT_EQ(answers.readSite(reply({"2", "x"}) + web::kLookStart + "y", received), AltServerAnswers::Outcome::Read);
    EXPECT_EQ(received, kSep + "x");
}

} // namespace
