#pragma once
// A clean world for one test: a temporary program folder, fresh shared state, message boxes
// recorded (and answered OK) instead of shown, the real clock.
#include "support/WaitFor.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

namespace vb {
class ListModel;
}

namespace testenv {

struct ShownBox {
    QString prompt;
    int buttons = 0;
    QString title;
};

class TestEnv {
public:
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    // The program folder of this test (where settings files and logs/ go).
    QString dir() const { return m_dir.path(); }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    void makeLogsFolder() const;
    // The lines of today's error log, without their enclosing quotes; empty when there is none.
    QStringList logLines() const;

    const QList<ShownBox>& boxes() const { return m_boxes; }
    // Answer for the next boxes (vbOK unless told otherwise).
    void answerBoxesWith(int result) { m_boxAnswer = result; }

private:
    QTemporaryDir m_dir;
    QList<ShownBox> m_boxes;
    int m_boxAnswer = 1;
};

// Writes a settings file the way the program does: the plain text scrambled, one byte per character.
void writeScrambledFile(const QString& path, const QString& plain);
// Reads a settings file back and unscrambles it.
QString readScrambledFile(const QString& path);

// The memory this process holds now (resident set), in bytes.
qint64 residentBytes();

// Gives the contacts their five columns and their order (on-line users first), as the start-up
// does.
void setUpUserList(vb::ListModel& contacts);

using testsupport::waitFor;

} // namespace testenv
