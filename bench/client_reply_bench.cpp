// Prints how long the real main window (offscreen) takes over large replies, and what it holds
// afterwards: 10,000 user records added, the same records again (the update branch), 10,000
// dated records, a notice of a megabyte in a real message box, and the scrambling of the
// largest site list a reply may store, with the program's own pause per character.
//   client_reply_bench [RECORDS]    default 10000
#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "core/SettingsFiles.h"
#include "core/basEncrypt_Decrypt.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/ListView.h"
#include "wire/Protocol.h"

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

using namespace basMain;

namespace {

QString records(int count, bool dated, const QString& status) {
    QStringList fields{dated ? QStringLiteral("77") : QStringLiteral("1")};
    for (int i = 0; i < count; ++i) {
        fields << QString::number(i) << QStringLiteral("User %1").arg(i) << QStringLiteral("u%1@example.org").arg(i)
               << QStringLiteral("10.1.%1.%2:5060").arg(i / 256).arg(i % 256) << status;
        if (dated) fields << QStringLiteral("12/07/2026 05:%1:00").arg(i % 60, 2, 10, QLatin1Char('0'));
    }
    return fields.join(wire::kSep);
}

// Handles one reply and prints the time it took.
void handle(const char* what, const QString& reply, const vb::ListView& list) {
    QElapsedTimer clock;
    clock.start();
    g_strMsgReceived = reply;
    fnUseMSGReceived();
    std::printf("%-46s %8.1f ms  %6d rows  reply %7lld chars  RSS %7ld kB\n", what, clock.nsecsElapsed() / 1e6,
                list.count(), static_cast<long long>(reply.size()), bench::residentKb());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int count = bench::countArgument(argc, argv, 10000, "client_reply_bench [RECORDS]");
    if (count <= 0) return 2;
    const bench::ClientFolder folder;

    frmMain form;
    form.LstUsers->addColumns(chatlink::ContactsModel::columnCaptions(), 80);
    form.show();
    std::printf("client reply handling, %d records, RSS at start %ld kB\n", count, bench::residentKb());

    handle("records added", records(count, false, QStringLiteral("1")), *form.LstUsers);
    handle("the same records, all going off line", records(count, false, QStringLiteral("0")), *form.LstUsers);
    form.LstUsers->clearItems();
    handle("dated records added", records(count, true, QStringLiteral("1")), *form.LstUsers);
    handle("dated records again (dates not later)", records(count, true, QStringLiteral("0")), *form.LstUsers);

    // A real box, closed as soon as it is on screen: the time includes laying out its text.
    const QString notice = QStringList{QStringLiteral("11"),
                                       QStringLiteral("1"),
                                       QStringLiteral("Ann"),
                                       QStringLiteral("a@example.org"),
                                       QStringLiteral("10.0.0.1"),
                                       QStringLiteral("1"),
                                       QStringLiteral("<p>notice</p>\n").repeated(70000),
                                       QStringLiteral("Title")}
                               .join(wire::kSep);
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
    });
    closer.start(1);
    handle("a notice of a megabyte, in a real box", notice, *form.LstUsers);
    closer.stop();

    // The largest site list stored, scrambled as the program does at every start.
    QString sites = QString(kMaxUserSettingsChars, QLatin1Char('s'));
    QElapsedTimer clock;
    clock.start();
    basEncrypt_Decrypt::EncryptText(sites);
    std::printf("%-46s %8.3f ms  (%lld characters)\n", "largest site list scrambled", clock.nsecsElapsed() / 1e6,
                static_cast<long long>(sites.size()));
    return 0;
}
