#pragma once
// linphonec (Debian's linphone-cli), a SIP peer we did not write, run by a test or a benchmark.
#include "call/rtc/NetworkAddresses.h"
#include "tests/support/Children.h"
#include "tests/support/WaitFor.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace testsupport {

inline bool haveLinphonec() {
    return !QStandardPaths::findExecutable(QStringLiteral("linphonec")).isEmpty();
}

// A linphonec in a folder of its own. Its standard input stays an open pipe: it stops handling
// events when its input ends.
class Linphonec {
public:
    // `autoAnswer`: answer incoming calls by itself; `call`: a SIP address to call at start;
    // `video`: offer and accept video; `firstPort`: it listens on the first free UDP port from
    // there on (two started together need ports apart); `environment`: a display of its own, say;
    // `sipSettings`: more lines of its [sip] section ("media_encryption=zrtp\n", say).
    explicit Linphonec(bool autoAnswer, const QString& call = {}, bool video = false, quint16 firstPort = 5090,
                       const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                       const QByteArray& sipSettings = {}) {
        port = rtc::findFreeUdpPort(firstPort);
        QDir(home.path()).mkpath(QStringLiteral(".local/share/linphone"));
        QFile rc(home.filePath(QStringLiteral("linphonerc")));
        if (rc.open(QIODevice::WriteOnly)) {
            // Its identity: what the program shows of a caller that is not a listed contact. On a
            // host with other interfaces it would put one of their addresses in it unless told not to
            // guess, and the window could not tell it from a stranger.
            rc.write("[sip]\nsip_port=" + QByteArray::number(port) +
                     "\nguess_hostname=0\ncontact=\"linphonec peer\" <sip:peer@127.0.0.1:" + QByteArray::number(port) +
                     ">\n" + sipSettings);
            rc.close();
        }
        QStringList args{QStringLiteral("-c"), rc.fileName()};
        if (autoAnswer) args << QStringLiteral("-a");
        if (!call.isEmpty()) args << QStringLiteral("-s") << call;
        if (video) args << QStringLiteral("-V");
        QProcessEnvironment env = environment;
        env.insert(QStringLiteral("HOME"), home.path());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        endWithRun(process);
        process.start(QStringLiteral("linphonec"), args);
    }
    Linphonec(bool autoAnswer, quint16 firstPort, const QProcessEnvironment& environment)
        : Linphonec(autoAnswer, {}, false, firstPort, environment) {}
    ~Linphonec() {
        if (process.state() == QProcess::NotRunning) return;
        process.write("quit\n");
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    Linphonec(const Linphonec&) = delete;
    Linphonec& operator=(const Linphonec&) = delete;
    // Running and showing its prompt.
    bool started() { return process.waitForStarted(10000) && says(QStringLiteral("linphonec>")); }
    // Showing its prompt now.
    bool ready() { return output().contains(QStringLiteral("linphonec>")); }
    // Waits until it has printed `text` (any case) `times` times in all.
    bool says(const QString& text, int times = 1) {
        return testsupport::waitFor([&] { return output().count(text, Qt::CaseInsensitive) >= times; }, 30000);
    }
    void command(const char* line) { process.write(QByteArray(line) + '\n'); }
    QString address() const { return QStringLiteral("127.0.0.1:") + QString::number(port); }
    // Everything it printed so far.
    QString output() {
        printed += QString::fromLocal8Bit(process.readAll());
        return printed;
    }

    QTemporaryDir home;
    QProcess process;
    quint16 port = 0;
    QString printed;
};

} // namespace testsupport
