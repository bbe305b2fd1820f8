// The two settings files: the text rules of the site lines, what goes on disk, the digest that
// spares an unchanged file, the reader that fills the site tables, and a failed write that must
// leave the old file whole.
#include "app/basMain.h"
#include "platform/vb.h"
#include "server/SettingsFile.h"
#include "support/FileSizeLimit.h"
#include "support/TestEnv.h"
#include "support/Unprivileged.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"
#include "wire/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <functional>

using namespace basMain;
using wire::SiteRecord;

namespace {

const QString S(wire::kSep);

QString line(const QStringList& fields) {
    return fields.join(wire::kSep) + "\r\n";
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(SettingsText, LinesComposeAndParseBackWithTheReaderRules) {
    const QList<SiteRecord> records{
        {"0", {"10.0.0.1", "redirect.example", "/home.asp", "12052026"}},
        {"1", {"10.0.0.2", "wan.example", "/ip.asp", ""}},
        {"2", {"", "", "", ""}},
    };
    const QString text = wire::composeSettingsText(records);
    EXPECT_EQ(wire::composeSettingsLine(records[0]),
              S + "0" + S + "10.0.0.1" + S + "redirect.example" + S + "/home.asp" + S + "12052026\r\n");
    EXPECT_EQ(wire::parseSettingsText(text), records);

    struct Case {
        const char* name;
        QString text;
        QList<SiteRecord> expected;
    };
    const SiteRecord a{"0", {"a", "b", "c", "d"}};
    const SiteRecord b{"7", {"e", "f", "g", "h"}};
    const Case cases[] = {
        {"last line without its line end is never read", line({"", "0", "a", "b", "c", "d"}) + S + "7" + S + "x", {a}},
        {"empty lines are skipped",
         "\r\n" + line({"", "0", "a", "b", "c", "d"}) + "\r\n\r\n" + line({"", "7", "e", "f", "g", "h"}),
         {a, b}},
        {"short lines are skipped", line({"", "0", "a"}) + line({"", "0", "a", "b", "c", "d"}), {a}},
        {"fields past the sixth are ignored", line({"", "0", "a", "b", "c", "d", "extra"}), {a}},
        {"nothing", "", {}},
        {"a lone LF is no line end", S + "0" + S + "a" + S + "b" + S + "c" + S + "d\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wire::parseSettingsText(c.text), c.expected);
    }
}

TEST(SettingsText, Reply2005KeepsItsTextFromTheFirstSeparatorWithoutEmptyLines) {
    struct Case {
        const char* name;
        QString reply;
        QString expected;
    };
    const Case cases[] = {
        {"one line without line end", "2005" + S + "0" + S + "a", S + "0" + S + "a\r\n"},
        {"empty lines dropped", "2005" + S + "0\r\n\r\n" + S + "1\r\n\r\n", S + "0\r\n" + S + "1\r\n"},
        {"text before the separator dropped", "2005xyz" + S + "2", S + "2\r\n"},
        {"no separator", "2005", ""},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wire::settingsTextFromReply(c.reply), c.expected);
    }
}

class SettingsFiles : public ::testing::Test {
protected:
    testenv::TestEnv env;

    // The folder holds exactly these names (no temporary files left behind).
    QStringList folderEntries() const {
        return QDir(env.dir()).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }
};

TEST_F(SettingsFiles, UserSettingsAreWrittenOnlyWhenTheirContentChangesAndReadBackInOrder) {
    const QString reply = "2005" + S + "0" + S + "10.0.0.1" + S + "r.example" + S + "/a.asp" + S + "12052026\r\n" + S +
                          "2" + S + "10.0.0.3" + S + "alt.example" + S + "/alt.asp" + S + "pw\r\n\r\n" + S + "1" + S +
                          "10.0.0.2" + S + "w.example" + S + "/w.asp" + S + "\r\n" + S + "0" + S + "10.0.0.4" + S +
                          "r2.example" + S + "/b.asp" + S + "11302026\r\n" + S + "9" + S + "x" + S + "y" + S + "z" + S +
                          "w\r\n";
    EXPECT_TRUE(writeUserSettingsFile(reply));
    const QByteArray written = fileBytes(env.path("ColloqChat.kvo"));
    EXPECT_EQ(written, wire::toCp1252(wire::scrambled(wire::settingsTextFromReply(reply))));
    EXPECT_FALSE(writeUserSettingsFile(reply));
    EXPECT_FALSE(writeUserSettingsFile("2005"));
    EXPECT_EQ(fileBytes(env.path("ColloqChat.kvo")), written);

    loadSiteTables();
    const SiteTable redirect{{"10.0.0.1", "r.example", "/a.asp", "12052026"},
                             {"10.0.0.4", "r2.example", "/b.asp", "11302026"}};
    EXPECT_EQ(g_arrRedirectSites, redirect);
    EXPECT_EQ(g_arrWanIPSites, (SiteTable{{"10.0.0.2", "w.example", "/w.asp", ""}}));
    EXPECT_EQ(g_arrAltServerSites, (SiteTable{{"10.0.0.3", "alt.example", "/alt.asp", "pw"}}));
    // Loading again gives the same tables, not twice the rows.
    loadSiteTables();
    EXPECT_EQ(g_arrRedirectSites, redirect);

    EXPECT_TRUE(writeUserSettingsFile("2005" + S + "1" + S + "a" + S + "b" + S + "c" + S + "d"));
    loadSiteTables();
    EXPECT_EQ(g_arrRedirectSites, (SiteTable{{}}));
    EXPECT_EQ(g_arrWanIPSites, (SiteTable{{"a", "b", "c", "d"}}));
    EXPECT_EQ(folderEntries(), QStringList{"ColloqChat.kvo"});
}

// A file too long to unscramble in a few seconds, as an older client may have stored, counts as
// missing: it would hold up every start.
TEST_F(SettingsFiles, MissingOrOverlongFileLeavesEachTableOneEmptyRow) {
    g_arrRedirectSites = {{"stale", "", "", ""}};
    loadSiteTables();
    for (const SiteTable* table : {&g_arrRedirectSites, &g_arrWanIPSites, &g_arrAltServerSites})
        EXPECT_EQ(*table, (SiteTable{{}}));
    EXPECT_TRUE(folderEntries().isEmpty());

    const QString line = S + "1" + S + "10.0.0.2" + S + "w.example" + S + "/w.asp" + S + "\r\n";
    testenv::writeScrambledFile(env.path("ColloqChat.kvo"), line.repeated(kMaxUserSettingsChars / line.size() + 1));
    loadSiteTables();
    EXPECT_EQ(g_arrWanIPSites, (SiteTable{{}}));
}

TEST_F(SettingsFiles, AFailedWriteKeepsTheOldFileWholeAndLeavesNoTemporaryFile) {
    writeServerAddressFile("10.1.2.3", "19991", "42", "me@x.org");
    const QString reply = "2005" + S + "0" + S + "a" + S + "b" + S + "c" + S + "d";
    ASSERT_TRUE(writeUserSettingsFile(reply));
    const QByteArray oldAddress = fileBytes(env.path("RTC_Chat.kvo"));
    const QByteArray oldSettings = fileBytes(env.path("ColloqChat.kvo"));
    const QStringList files{env.path("RTC_Chat.kvo"), env.path("ColloqChat.kvo")};
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner;
    const QFile::Permissions writable = readOnly | QFile::WriteOwner;

    struct Case {
        const char* name;
        std::function<void()> write; // runs both writes under the fault
    };
    const QString longText(600, QLatin1Char('x'));
    auto writeBoth = [&] {
        EXPECT_THROW(writeServerAddressFile("10.9.9.9", "20000", "42", longText), vb::VbError);
        EXPECT_THROW(writeUserSettingsFile("2005" + S + "0" + S + longText + S + "b" + S + "c" + S + "d"), vb::VbError);
    };
    const Case cases[] = {
        {"full disk",
         [&] {
             const testenv::FileSizeLimit limit(64);
             writeBoth();
         }},
        {"read-only folder and files",
         [&] {
             for (const QString& file : files)
                 QFile::setPermissions(file, QFile::ReadOwner);
             QFile::setPermissions(env.dir(), readOnly);
             {
                 const testenv::Unprivileged user(QStringList(files) << env.dir());
                 writeBoth();
             }
             QFile::setPermissions(env.dir(), writable);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.write();
        EXPECT_EQ(fileBytes(env.path("RTC_Chat.kvo")), oldAddress);
        EXPECT_EQ(fileBytes(env.path("ColloqChat.kvo")), oldSettings);
        EXPECT_EQ(folderEntries(), (QStringList{"ColloqChat.kvo", "RTC_Chat.kvo"}));
    }
}

} // namespace
