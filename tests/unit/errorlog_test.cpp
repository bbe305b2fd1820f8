// The error log: the exact quoted line with and without a pending error, Windows-1252 bytes, no
// logs folder means nothing written or created, one file per day through the clock seam, and the
// status box.
#include "app/ErrorLog.h"
#include "app/frmMain.h"
#include "platform/Controls.h"
#include "platform/vb.h"

#include "support/FileSizeLimit.h"
#include "support/TestEnv.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

[[maybe_unused]] static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        vb::setClockForTesting([this] { return m_now; });
    }
    QString logFile(const char* name) const { return env.path(QStringLiteral("logs/") + QString::fromLatin1(name)); }

    testenv::TestEnv env;
    QDateTime m_now{QDate(2026, 12, 5), QTime(6, 30, 41)};
};

TEST_F(ErrorLogTest, LineFormatWithAndWithoutAPendingError) {
    env.makeLogsFolder();
    vb::Err().set(vb::VbError(vb::kErrTypeMismatch));
    basMain::fnLogError(QStringLiteral("fnFillcall[18]"), false);
    EXPECT_EQ(vb::Err().Number, 0) << "the logger leaves no error pending";
    basMain::fnLogError(QStringLiteral("fnGetHomeIP trace"), false);
    vb::Err().set(vb::VbError(vb::kErrKeyNotUnique, {}, QStringLiteral("ListView")));
    basMain::fnLogError(QStringLiteral("*** say \"hi\" \u00D4 \u20AC"), false);

    const QByteArray expected =
        "\"fnFillcall[18] - Date: Dec/05/2026 06:30 - ErrNo: 13 - ErrSource: ColloqChat - ErrDSCR: Type mismatch\"\r\n"
        "\"fnGetHomeIP trace - Date: Dec/05/2026 06:30 - ErrNo: 0 - ErrSource:  - ErrDSCR: \"\r\n"
        "\"*** say \"hi\" \xD4 \x80 - Date: Dec/05/2026 06:30 - ErrNo: 35602 - ErrSource: ListView - "
        "ErrDSCR: Key is not unique in collection\"\r\n";
    EXPECT_EQ(readAll(logFile("12_05_2026-Error.Log")), expected);
    const QStringList lines = env.logLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("*** say \"hi\" \u00D4 \u20AC - Date: ")));
}

TEST_F(ErrorLogTest, WithoutALogsFolderNothingIsCreated) {
    vb::Err().set(vb::VbError(vb::kErrFileNotFound));
    basMain::fnLogError(QStringLiteral("fnFillcall[18]"), false);
    EXPECT_TRUE(QDir(env.dir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    EXPECT_EQ(vb::Err().Number, 0);

    // A file named "logs" is no folder either; the logger still returns quietly.
    QFile blocker(env.path(QStringLiteral("logs")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    basMain::fnLogError(QStringLiteral("fnFillcall[19]"), false);
    EXPECT_EQ(QFileInfo(blocker).size(), 0);
}

TEST_F(ErrorLogTest, ALogThatCannotBeWrittenLosesTheEntryAndNothingElse) {
    const QString logs = env.path(QStringLiteral("logs"));
    const QString today = logFile("12_05_2026-Error.Log");
    env.makeLogsFolder();
    frmMain window;
    struct Case {
        const char* name;
        std::function<void()> makeFault;
        std::function<void()> logUnderFault; // logs "f[1]" while the fault holds
        std::function<void()> mend;
    };
    auto logOne = [] {
        vb::Err().set(vb::VbError(vb::kErrOverflow));
        basMain::fnLogError(QStringLiteral("f[1]"), true);
    };
    const Case cases[] = {
        {"read-only logs folder", [&] { QFile::setPermissions(logs, QFile::ReadOwner | QFile::ExeOwner); },
         [&] {
             const testenv::Unprivileged user({logs});
             logOne();
         },
         [&] { QFile::setPermissions(logs, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); }},
        // The disk fills up in the middle of the line: no half line may stay in the log.
        {"full disk", [] {},
         [&] {
             const testenv::FileSizeLimit limit(static_cast<rlim_t>(QFileInfo(today).size() + 20));
             logOne();
         },
         [] {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.makeFault();
        window.txtStatus->clear();
        c.logUnderFault();
        // The entry is lost; the caller goes on with no error pending and the status box shows it.
        EXPECT_EQ(vb::Err().Number, 0);
        EXPECT_EQ(window.txtStatus->toPlainText(), QStringLiteral("f[1] - Overflow"));
        c.mend();
        basMain::fnLogError(QStringLiteral("next[2]"), false);
        const QStringList lines = env.logLines();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.back().startsWith(QStringLiteral("next[2] - Date: "))) << lines.back().toStdString();
        for (const QString& line : lines)
            EXPECT_FALSE(line.startsWith(QStringLiteral("f[1]"))) << line.toStdString();
        EXPECT_TRUE(readAll(today).endsWith("\"\r\n"));
    }
}

TEST_F(ErrorLogTest, OneFilePerDayByTheClock) {
    env.makeLogsFolder();
    m_now = QDateTime(QDate(2026, 12, 31), QTime(23, 59, 58));
    basMain::fnLogError(QStringLiteral("a[1]"), false);
    basMain::fnLogError(QStringLiteral("a[2]"), false);
    m_now = QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1));
    basMain::fnLogError(QStringLiteral("a[3]"), false);

    const QList<QByteArray> first = readAll(logFile("12_31_2026-Error.Log")).split('\n');
    ASSERT_EQ(first.size(), 3); // two lines and the empty rest after the last CR LF
    EXPECT_TRUE(first[0].startsWith("\"a[1] - Date: Dec/31/2026 23:59 - "));
    EXPECT_TRUE(first[1].startsWith("\"a[2] - "));
    EXPECT_TRUE(readAll(logFile("01_01_2027-Error.Log")).startsWith("\"a[3] - Date: Jan/01/2027 00:00 - "));
    EXPECT_EQ(QDir(env.path(QStringLiteral("logs"))).entryList(QDir::Files).size(), 2);
}

TEST_F(ErrorLogTest, ShowStatusTurnsTheStatusBoxRed) {
    env.makeLogsFolder();
    // No main window: only the line is written.
    ASSERT_EQ(frmMain::instance(), nullptr);
    vb::Err().set(vb::VbError(vb::kErrOverflow));
    basMain::fnLogError(QStringLiteral("x[1]"), true);
    EXPECT_EQ(env.logLines().size(), 1);

    frmMain window;
    vb::setForeColor(*window.txtStatus, vb::vbBlue);
    vb::Err().set(vb::VbError(vb::kErrOverflow));
    basMain::fnLogError(QStringLiteral("x[2]"), true);
    EXPECT_EQ(window.txtStatus->toPlainText(), QStringLiteral("x[2] - Overflow"));
    EXPECT_EQ(vb::ForeColor(*window.txtStatus), vb::vbRed);
    EXPECT_EQ(env.logLines().size(), 2);
}

TEST_F(ErrorLogTest, CaughtFailuresAndSkippedStatements) {
    env.makeLogsFolder();
    basMain::logCaught(QStringLiteral("fnRegister[4]"), std::runtime_error("socket gone"));
    EXPECT_EQ(vb::Err().Number, 0);
    EXPECT_TRUE(basMain::trySkip(QStringLiteral("step[1]"), [] {}));
    EXPECT_FALSE(basMain::trySkip(QStringLiteral("step[2]"), [] { vb::raise(vb::kErrSubscript); }));
    EXPECT_FALSE(basMain::trySkip(QString(), [] { vb::raise(vb::kErrSubscript); })); // ignored, not logged

    const QStringList lines = env.logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("fnRegister[4] - ")));
    EXPECT_TRUE(lines[0].endsWith(
        QStringLiteral("ErrNo: 5 - ErrSource: ColloqChat - ErrDSCR: Invalid procedure call or argument")));
    EXPECT_TRUE(
        lines[1].endsWith(QStringLiteral("ErrNo: 9 - ErrSource: ColloqChat - ErrDSCR: Subscript out of range")));
}

} // namespace
