#pragma once
// Programs driven over their standard input and output: the chat server, and the client program
// as e2e_client runs it, remote-controlled one command line at a time. Shared by the end-to-end
// test and the client benchmarks.
#include "tests/support/Children.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QThread>
#include <algorithm>
#include <functional>
#include <optional>

namespace e2e {

constexpr int kStepMs = 60'000;

inline quint16 freeTcpPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Waits on `done`, looking again every little while, for at most `ms`.
inline bool waitUntil(const std::function<bool()>& done, int ms = kStepMs) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(50);
    }
    return true;
}

// A program whose output is read line by line.
class Program {
public:
    explicit Program(QString name) : m_name(std::move(name)) {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~Program() { stop(); }

    bool start(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment) {
        m_process.setProcessEnvironment(environment);
        testsupport::endWithRun(m_process);
        m_process.start(program, arguments);
        return m_process.waitForStarted(kStepMs);
    }
    // Stops the program: SIGTERM, then SIGKILL if it does not go.
    void stop() {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.terminate();
        if (!m_process.waitForFinished(10'000)) {
            m_process.kill();
            m_process.waitForFinished(10'000);
        }
    }
    void write(const QString& line) {
        m_process.write(line.toUtf8() + '\n');
        m_process.waitForBytesWritten(kStepMs);
    }
    qint64 pid() const { return m_process.processId(); }
    // Waits for the program to end by itself, with exit code 0: a crash on the way out fails too.
    bool waitFinished(int ms = kStepMs) {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(ms)) return false;
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    // The next line of standard output; empty when none comes within `ms`.
    std::optional<QString> nextLine(int ms = kStepMs) {
        QDeadlineTimer deadline(ms);
        for (;;) {
            collect();
            if (!m_lines.isEmpty()) return m_lines.takeFirst();
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) return std::nullopt;
            m_process.waitForReadyRead(int(std::max<qint64>(10, deadline.remainingTime())));
        }
    }
    // Everything the program wrote on standard error so far.
    const QString& errors() {
        collect();
        return m_errors;
    }
    const QString& name() const { return m_name; }

private:
    void collect() {
        m_out += m_process.readAllStandardOutput();
        m_errors += QString::fromUtf8(m_process.readAllStandardError());
        qsizetype end = 0;
        while ((end = m_out.indexOf('\n')) >= 0) {
            m_lines.append(QString::fromUtf8(m_out.left(end)));
            m_out.remove(0, end + 1);
        }
    }

    QString m_name;
    QProcess m_process;
    QByteArray m_out;
    QStringList m_lines;
    QString m_errors;
};

// A client program remote-controlled over its standard input.
class Client : public Program {
public:
    using Program::Program;

    // Sends a command and returns its answer line ("ok ..." or "err ..."), passing over the
    // "box: ..." lines of message boxes shown meanwhile.
    QString command(const QString& line) {
        write(line);
        while (const std::optional<QString> answer = nextLine())
            if (answer->startsWith(QLatin1String("ok")) || answer->startsWith(QLatin1String("err"))) return *answer;
        return QStringLiteral("err no answer to ") + line;
    }
    // The user-list row of `email`: status, display name, e-mail, call address.
    QStringList row(const QString& email) {
        for (const QString& row : command(QStringLiteral("rows")).mid(3).split(QLatin1Char(';')))
            if (row.section(QLatin1Char(','), 2, 2) == email) return row.split(QLatin1Char(','));
        return {};
    }
    QString state(const QString& key) {
        for (const QString& part : command(QStringLiteral("state")).mid(3).split(QStringLiteral(" | ")))
            if (part.startsWith(key + QLatin1Char('='))) return part.mid(key.size() + 1);
        return {};
    }
};

#ifdef COLLOQ_SERVER_PROGRAM
// Starts colloqchat-server and waits for the line saying where it listens.
inline bool startServer(Program& server, const QStringList& arguments, const QProcessEnvironment& environment) {
    return server.start(QStringLiteral(COLLOQ_SERVER_PROGRAM), arguments, environment) &&
           server.nextLine().value_or(QString()).startsWith(QLatin1String("ready "));
}
#endif

// A client's program folder, with its logs folder and an RTC_Chat.kvo that points it at the chat
// server on `host`:`chatPort`. A client that registered there before keeps its own file.
inline bool prepareClientFolder(const QString& folder, quint16 chatPort,
                                const QString& host = QStringLiteral("127.0.0.1")) {
    if (!QDir().mkpath(folder + QStringLiteral("/logs"))) return false;
    QFile file(folder + QStringLiteral("/RTC_Chat.kvo"));
    if (file.exists()) return true;
    const QString plain = QStringList{host, QString::number(chatPort)}.join(wire::kSep);
    return file.open(QIODevice::WriteOnly) && file.write(wire::toCp1252(wire::scrambled(plain))) > 0;
}

} // namespace e2e
