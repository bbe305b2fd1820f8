#include "support/TestEnv.h"

#include "chatlink/ContactsModel.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/MsgBox.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include <QDir>
#include <QFile>

namespace testenv {

TestEnv::TestEnv() {
    vb::setAppPathForTesting(m_dir.path());
    vb::setClockForTesting({});
    vb::Err().Clear();
    basMain::resetGlobals();
    vb::setMsgBoxHandlerForTesting([this](const QString& prompt, int buttons, const QString& title) {
        m_boxes.append({prompt, buttons, title});
        return m_boxAnswer;
    });
}

TestEnv::~TestEnv() {
    vb::setMsgBoxHandlerForTesting({});
    vb::setModalHandlerForTesting({});
    vb::setAppPathForTesting({});
    vb::setClockForTesting({});
    basMain::resetGlobals();
}

void TestEnv::makeLogsFolder() const {
    QDir(m_dir.path()).mkdir(QStringLiteral("logs"));
}

QStringList TestEnv::logLines() const {
    QFile file(m_dir.filePath(QStringLiteral("logs/") + vb::Format(vb::Now(), QStringLiteral("mm_dd_yyyy")) +
                              QStringLiteral("-Error.Log")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        QByteArray line = raw.endsWith('\r') ? raw.chopped(1) : raw;
        if (line.isEmpty()) continue;
        if (line.startsWith('"') && line.endsWith('"') && line.size() >= 2) line = line.mid(1, line.size() - 2);
        lines.append(wire::fromCp1252(line)); // the log holds Windows-1252 bytes
    }
    return lines;
}

void writeScrambledFile(const QString& path, const QString& plain) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    file.write(wire::toCp1252(wire::scrambled(plain)));
}

QString readScrambledFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return wire::unscrambled(wire::fromCp1252(file.readAll()));
}

void setUpUserList(vb::ListModel& contacts) {
    for (const QString& caption : chatlink::ContactsModel::columnCaptions())
        contacts.addColumn(caption);
    contacts.setSortOrder(vb::ListModel::Descending);
    contacts.setSortKey(0);
    contacts.setSorted(true);
}

} // namespace testenv

qint64 testenv::residentBytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}
