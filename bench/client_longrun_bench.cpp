// Keeps the real main window polling a chat server on loopback for the equivalent of many hours
// (a poll every 31 ticks of tmrUpdateUserOnLine; the ticks here are 1 ms apart and each reply is
// followed at once by the next poll) and prints, at intervals, the resident memory, the open
// file descriptors and the user list's rows beside what the server's data explains. The server
// keeps a fixed set of contacts whose state and address change from poll to poll, so the list
// must hold exactly that many rows, each showing the latest state.
//   client_longrun_bench [POLLS]    default 20000
#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

using namespace basMain;

namespace {

constexpr int kContacts = 20;
constexpr int kReports = 20;
// Every this many polls the next one waits for the close step of the previous exchange, so both
// ways an exchange ends are exercised.
constexpr int kCloseStepEvery = 10;

struct Contact {
    QString status = QStringLiteral("1");
    QString address;
};

// Answers every request with the contact list as it stands, then changes a few contacts.
class Responder : public QObject {
public:
    Responder() {
        for (int i = 0; i < kContacts; ++i)
            m_contacts[i].address = QStringLiteral("10.0.%1.1:5060").arg(i);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    socket->readAll();
                    if (socket->property("answered").toBool()) return;
                    socket->setProperty("answered", true);
                    socket->write(wire::toCp1252(wire::frameReply(reply())));
                    ++m_answered;
                    change();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return m_server.serverPort(); }
    int answered() const { return m_answered; }
    const Contact& contact(int i) const { return m_contacts[i]; }

private:
    QString reply() const {
        QStringList fields{QStringLiteral("1")};
        for (int i = 0; i < kContacts; ++i)
            fields << QString::number(i + 1) << QStringLiteral("Contact %1").arg(i + 1)
                   << QStringLiteral("c%1@example.org").arg(i + 1) << m_contacts[i].address << m_contacts[i].status;
        return fields.join(wire::kSep);
    }
    void change() {
        for (int n = 0; n < 3; ++n) {
            Contact& c = m_contacts[m_random.bounded(kContacts)];
            c.status = c.status == QLatin1String("1") ? QStringLiteral("0") : QStringLiteral("1");
            if (m_random.bounded(4) == 0)
                c.address = QStringLiteral("10.%1.%2.1:5060").arg(m_random.bounded(256)).arg(m_random.bounded(256));
        }
    }

    QTcpServer m_server;
    Contact m_contacts[kContacts];
    QRandomGenerator m_random{20261206};
    int m_answered = 0;
};

long openDescriptors() {
    return static_cast<long>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

// Rows that do not show what the server sent last, given that the reply just handled was
// answered before the server's latest change: compared with the state as of that reply.
int rowsOutOfStep(const vb::ListView& list, const QList<Contact>& sent) {
    int wrong = 0;
    for (int i = 0; i < kContacts; ++i) {
        const vb::ListItem* row = list.find(QStringLiteral("A%1").arg(i + 1));
        if (!row) {
            ++wrong;
            continue;
        }
        const QString text = sent[i].status == QLatin1String("1") ? QStringLiteral("On") : QStringLiteral("Off");
        if (row->Text() != text || row->Tag() != sent[i].address) ++wrong;
    }
    return wrong;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line as it comes, also into a file
    const int polls = bench::countArgument(argc, argv, 20000, "client_longrun_bench [POLLS]");
    if (polls <= 0) return 2;
    const bench::ClientFolder folder;

    Responder server;
    frmMain form;
    form.LstUsers->addColumns(chatlink::ContactsModel::columnCaptions(), 80);
    form.createSocketsForTesting();
    g_strServerIP = QStringLiteral("127.0.0.1");
    g_strServerPort = QString::number(server.port());
    g_strMyWanIP = QStringLiteral("10.0.0.99:5060");
    form.setIdentity({.userId = QStringLiteral("42"), .email = QStringLiteral("me@example.org")});

    // The server's data as of each reply, captured when the reply goes out.
    QList<Contact> sentState;
    int handled = 0;
    QObject::connect(&form.chatSocket(), &KVOSocket::OnDataArrival, &form, [&] { ++handled; });

    // The program ticks every 5 s and polls on every 31st tick.
    const double hours = polls * 31.0 * form.tmrUpdateUserOnLine->interval() / 3600000.0;
    std::printf("client long run: %d polls (%.0f hours of the program's polling), %d contacts, poll tick 1 ms\n", polls,
                hours, kContacts);
    std::printf("%8s %9s %10s %8s %6s %6s %10s\n", "polls", "seconds", "RSS kB", "fds", "rows", "want", "off step");
    QElapsedTimer clock;
    clock.start();
    form.tmrUpdateUserOnLine->setInterval(1);
    form.tmrUpdateUserOnLine->start();
    int failures = 0;
    for (int poll = 1; poll <= polls; ++poll) {
        if (poll % kCloseStepEvery == 0 && !bench::waitFor([] { return g_lngChatSocketHandle == 0; })) ++failures;
        sentState.clear();
        for (int i = 0; i < kContacts; ++i)
            sentState.append(server.contact(i));
        g_intOnLineTicks = 31; // the next tick polls
        if (!bench::waitFor([&] { return handled >= poll && server.answered() >= poll; })) {
            std::printf("poll %d: no reply handled within %d ms\n", poll, bench::kTimeoutMs);
            ++failures;
            break;
        }
        if (poll % (polls / kReports > 0 ? polls / kReports : 1) == 0 || poll == 1)
            std::printf("%8d %9.1f %10ld %8ld %6d %6d %10d\n", poll, clock.elapsed() / 1000.0, bench::residentKb(),
                        openDescriptors(), form.LstUsers->count(), kContacts, rowsOutOfStep(*form.LstUsers, sentState));
    }
    form.tmrUpdateUserOnLine->stop();
    bench::waitFor([] { return g_lngChatSocketHandle == 0; });
    bench::waitFor([] { return false; }, 500); // let closed sockets go
    qsizetype logLines = 0;
    const QDir logs(folder.path() + QStringLiteral("/logs"));
    for (const QString& name : logs.entryList(QDir::Files)) {
        QFile log(logs.filePath(name));
        if (log.open(QIODevice::ReadOnly)) logLines += log.readAll().count('\n');
    }
    std::printf("after the run: RSS %ld kB, %ld fds, %d rows, %d exchanges answered, %d replies handled, "
                "%lld error log lines, %d waits that ran out\n",
                bench::residentKb(), openDescriptors(), form.LstUsers->count(), server.answered(), handled,
                static_cast<long long>(logLines), failures);
    return failures == 0 ? 0 : 1;
}
