// The system-call stand-ins: host and user names, the file search with * and ?
// patterns, and stay-on-top without moving the window.
#include "platform/win32.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

TEST(Win32, ComputerAndUserNames) {
    const std::optional<QString> host = win32::GetComputerName();
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(*host, QSysInfo::machineHostName());
    EXPECT_FALSE(host->contains(QChar(0)));

    // The account the program runs under owns the files it creates.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("mine")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    const std::optional<QString> user = win32::GetUserName();
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(*user, QFileInfo(file.fileName()).owner());
}

TEST(Win32, FindFirstFileMatchesFilesFoldersAndPatterns) {
    QTemporaryDir dir;
    const QString root = dir.path();
    for (const char* name : {"RTC_Chat.kvo", "a.txt", "[ab].txt", "back\\slash", ".hidden", "sub/inner.log"}) {
        const QString path = root + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name;
    }
    QDir(root).mkdir(QStringLiteral("empty"));

    struct Case {
        const char* path; // relative to the folder; "" stays empty
        bool expected;
    } cases[] = {
        {"RTC_Chat.kvo", true},   {"rtc_chat.kvo", false}, {"*.kvo", true},
        {"?.txt", true},          {"*.none", false},       {"sub", true},
        {"sub/*.log", true},      {"empty/*", false},      {"missing/a.txt", false},
        {"s*b/inner.log", false}, // wildcards only in the last part
        {"[ab].txt", true},       // brackets stand for themselves
        {"[b].txt", false},       {"back\\slash", true},   {"*hidden", true},
        {"sub/../a.txt", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(win32::FindFirstFile(root + QLatin1Char('/') + QString::fromLatin1(c.path)), c.expected) << c.path;
    EXPECT_FALSE(win32::FindFirstFile(QString()));
    EXPECT_TRUE(win32::FindFirstFile(root));
}

TEST(Win32, StayOnTopKeepsPlaceSizeAndVisibility) {
    QWidget window;
    window.setGeometry(120, 140, 300, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect before = window.geometry();

    for (bool topmost : {true, true, false}) {
        win32::SetWindowTopmost(window, topmost);
        EXPECT_EQ(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint), topmost);
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(window.geometry(), before);
    }

    QWidget hidden;
    hidden.setGeometry(10, 20, 100, 80);
    win32::SetWindowTopmost(hidden, true);
    EXPECT_TRUE(hidden.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(hidden.isVisible());
    EXPECT_EQ(hidden.geometry(), QRect(10, 20, 100, 80));
}

} // namespace
