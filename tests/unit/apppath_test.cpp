// The program folder of an installed client: the executable's own folder while the user may
// write there, otherwise a per-user folder made on first use with its logs folder.
#include "platform/vb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>

#include <unistd.h>

namespace {

struct FolderCase {
    const char* name;
    QString programFolder; // "%t" stands for the test's temporary folder
    bool expectUserFolder;
};

QString inTemp(const QString& pattern, const QTemporaryDir& temp) {
    QString path = pattern;
    return path.replace(QStringLiteral("%t"), temp.path());
}

} // namespace

TEST(AppPath, PicksTheProgramFolderOnlyWhenItIsTheUsersToWrite) {
    const QList<FolderCase> cases = {
        {"a writable folder of the user's", QStringLiteral("%t/program"), false},
        {"the same with a trailing slash", QStringLiteral("%t/program/"), false},
        {"the system's program folder", QStringLiteral("/usr/bin"), true},
        {"a folder that does not exist", QStringLiteral("%t/gone"), true},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir temp;
        ASSERT_TRUE(temp.isValid());
        ASSERT_TRUE(QDir().mkpath(temp.filePath(QStringLiteral("program"))));
        const QString user = temp.filePath(QStringLiteral("home/.local/share/ColloqChat/ColloqChat"));

        const QString chosen = vb::chooseAppPath(inTemp(c.programFolder, temp), user);
        if (c.expectUserFolder) {
            EXPECT_EQ(chosen, user);
            EXPECT_TRUE(QFileInfo(user).isDir());
            EXPECT_TRUE(QFileInfo(user + QStringLiteral("/logs")).isDir());
        } else {
            EXPECT_EQ(chosen, temp.filePath(QStringLiteral("program")));
            EXPECT_FALSE(QFileInfo::exists(user)) << "nothing is made for the user when it is not used";
        }
    }
}

namespace {

// Root may write into any folder whose permissions say no, but not into an immutable one; the
// flag is taken off again when this goes, so the temporary folder can be removed.
class Immutable {
public:
    explicit Immutable(const QString& path) : m_path(path) {
        m_set = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_path}) == 0;
    }
    ~Immutable() {
        if (m_set) QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
    }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;

private:
    QString m_path;
    bool m_set = false;
};

bool writable(const QString& path) {
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}

} // namespace

TEST(AppPath, ReadOnlyProgramFolderSendsTheUserToTheirOwnFolder) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString program = temp.filePath(QStringLiteral("program"));
    ASSERT_TRUE(QDir().mkpath(program));
    ASSERT_TRUE(
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    std::optional<Immutable> immutable;
    if (writable(program)) immutable.emplace(program);
    if (writable(program)) {
        immutable.reset();
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        GTEST_SKIP() << "this user may write into read-only folders, and the folder cannot be made immutable";
    }
    const QString user = temp.filePath(QStringLiteral("data/ColloqChat"));
    EXPECT_EQ(vb::chooseAppPath(program, user), user);
    EXPECT_TRUE(QFileInfo(user + QStringLiteral("/logs")).isDir());
    immutable.reset();
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST(AppPath, AnExistingUserFolderIsLeftAsTheUserKeepsIt) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString user = temp.filePath(QStringLiteral("ColloqChat"));
    ASSERT_TRUE(QDir().mkpath(user));
    QFile settings(user + QStringLiteral("/RTC_Chat.kvo"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("kept");
    settings.close();

    // The logs folder was removed by the user: no error logs, as beside an executable.
    EXPECT_EQ(vb::chooseAppPath(QStringLiteral("/usr/bin"), user), user);
    EXPECT_FALSE(QFileInfo::exists(user + QStringLiteral("/logs")));
    EXPECT_EQ(QDir(user).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("RTC_Chat.kvo")});
}

TEST(AppPath, WithoutAUserFolderTheProgramFolderStands) {
    EXPECT_EQ(vb::chooseAppPath(QStringLiteral("/usr/bin"), QString()), QStringLiteral("/usr/bin"));
}

// Every test with a TestEnv runs in the folder it sets; without one the program's own folder is used.
TEST(AppPath, TheRealFolderIsTheProgramsOwn) {
    // Tests run from the build tree, which is the user's to write when they built it.
    const QString here = QCoreApplication::applicationDirPath();
    if (::access(QFile::encodeName(here).constData(), W_OK) == 0) {
        EXPECT_EQ(vb::AppPath(), here);
    }
}
