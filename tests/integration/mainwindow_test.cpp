// The main window's life: start-up with a known user against a scripted chat server and a
// scripted call engine, the failure paths of start-up, and the sign-off wait and release order at
// close; registration: what goes on the wire, what comes back into the settings file, and what is
// never sent.
#include "app/Registration.h"
#include "app/frmMain.h"
#include "call/control/CallPathsLink.h"
#include "chatlink/ChatLink.h"
#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "core/basMain.h"
#include "desktop/CallDesktop.h"
#include "desktop/TrayIcon.h"
#include "forms/frmRegWait.h"
#include "platform/vb.h"
#include "platform/widgets/MsgBox.h"
#include "support/ScriptedChatServer.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace basMain;
using testsupport::ScriptedChatServer;

namespace {

const QString kSep(QChar(0xD4));
const QString kReady = QStringLiteral("RTCClient is initialized and ready to make/receive calls.");

class MainWindow : public ::testing::Test {
protected:
    testenv::TestEnv env;
    ScriptedChatServer server;
    testrtc::ScriptedRtcFactory engines{
        [](testrtc::ScriptedRtc& engine) { engine.externalAddresses = {QStringLiteral("127.0.0.1:5070")}; }};
    std::unique_ptr<frmMain> form;

    void SetUp() override {
        ASSERT_TRUE(server.listen());
        env.makeLogsFolder();
        vb::setModalHandlerForTesting([](QDialog&) { return 0; }); // a registration is cancelled
    }
    void TearDown() override {
        if (form && !form->isUnloaded()) {
            g_blnQuitNoLogOff = true;
            form->unloadForm();
        }
    }

    void start() {
        form = std::make_unique<frmMain>();
        form->Form_Load();
        form->fnInitForm();
    }
    QString requestText(int index) const { return wire::unscrambled(wire::fromCp1252(server.request(index))); }
    std::shared_ptr<testrtc::ScriptedRtc> engine() const { return engines.last(); }
};

TEST_F(MainWindow, KnownUserStartsReadyLogsInAndSignsOffAtCloseReleasingInOrder) {
    testenv::writeScrambledFile(
        env.path("RTC_Chat.kvo"),
        QStringList{"127.0.0.1", QString::number(server.port()), "17", "ann@example.com"}.join(kSep));
    // The server does not know the call-paths request (40) and closes its exchange unanswered,
    // as servers before it do; the log-in follows at once.
    ScriptedChatServer::Reply unknown;
    unknown.closeAfter = true;
    server.enqueue(unknown);
    server.enqueue(ScriptedChatServer::Reply::framed(QStringLiteral("1")));
    server.enqueue(unknown); // so does it on who waits on whom (80), which is then asked no more
    start();

    EXPECT_EQ(form->txtStatus->toPlainText(), kReady);

    // The prepared log-in passes the alternate-server routine first, which sends the pages their
    // own dated form of it; the chat socket sends the log-in itself, with the call address.
    QElapsedTimer sinceStart;
    sinceStart.start();
    ASSERT_TRUE(testenv::waitFor([&] { return server.connectionCount() == 2 && server.replySent(1); }));
    EXPECT_LT(sinceStart.elapsed(), callcontrol::CallPathsLink::kHoldMs);
    EXPECT_EQ(requestText(0), QStringList({"40", "17", "ann@example.com", "127.0.0.1:5070"}).join(kSep));
    EXPECT_EQ(requestText(1), QStringList({"1", "17", "ann@example.com", "127.0.0.1:5070"}).join(kSep));
    for (const QString& line : env.logLines())
        EXPECT_FALSE(line.startsWith(QStringLiteral("fnInitForm"))) << line.toStdString();
    ASSERT_TRUE(testenv::waitFor([&] { return !form->chatLink().asksContactRequests(); }));
    EXPECT_EQ(requestText(2), QStringList({"80", "17", "ann@example.com", "127.0.0.1:5070"}).join(kSep));
    ASSERT_TRUE(testenv::waitFor([&] { return g_lngChatSocketHandle == 0; }));

    // Quit in the tray menu closes the window. The reply is late; a second close request
    // meanwhile starts no second sign-off.
    ScriptedChatServer::Reply signOff = ScriptedChatServer::Reply::framed(QStringLiteral("2005"));
    signOff.delayMs = 300;
    server.enqueue(signOff);
    QTimer::singleShot(100, form.get(), [&] { form->close(); });
    // Failing statements of the unload are logged with their step and passed over.
    engine()->failOn(QStringLiteral("Shutdown"));
    engine()->failOn(QStringLiteral("setEventSink"));
    form->findChild<desktop::CallDesktop*>()->tray().menu()->actions().last()->trigger();
    ASSERT_TRUE(testenv::waitFor([&] { return form->isUnloaded(); }));
    const QStringList unloadLines = env.logLines().filter(QStringLiteral("Form_Unload["));
    ASSERT_EQ(unloadLines.size(), 2);
    EXPECT_TRUE(unloadLines[0].startsWith(QStringLiteral("Form_Unload[4] - ")));
    EXPECT_TRUE(unloadLines[1].startsWith(QStringLiteral("Form_Unload[5] - ")));
    EXPECT_FALSE(g_blnLogOffPending);
    ASSERT_EQ(server.connectionCount(), 4);
    EXPECT_EQ(requestText(3), QStringList({"2005", "17", "127.0.0.1:5070"}).join(kSep));
    EXPECT_TRUE(server.replySent(3));

    // The engine is told to get ready before it is shut down.
    EXPECT_LT(engine()->calls().indexOf(QStringLiteral("PrepareForShutdown()")),
              engine()->calls().indexOf(QStringLiteral("Shutdown()")));
    EXPECT_FALSE(form->chatLink().hasSocket());
    EXPECT_EQ(form->g_objRTCClient, nullptr);
}

TEST_F(MainWindow, CancelledRegistrationClosesQuietlyWithoutSignOff) {
    start();                            // no RTC_Chat.kvo: the registration runs and is cancelled
    EXPECT_TRUE(env.boxes().isEmpty()); // the user asked to quit: nothing failed
    EXPECT_TRUE(form->isUnloaded());
    EXPECT_TRUE(g_blnQuitNoLogOff);
    EXPECT_TRUE(engines.created().isEmpty());
    QCoreApplication::processEvents();
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(MainWindow, AnAcceptedRegistrationSendsTheTidiedFieldsAndKeepsTheId) {
    form = std::make_unique<frmMain>();
    form->createSocketsForTesting();
    g_strServerIP = QStringLiteral("127.0.0.1");
    g_strServerPort = QString::number(server.port());
    g_strMyWanIP = QStringLiteral("127.0.0.1:5070");
    vb::setModalHandlerForTesting([](QDialog& dialog) { // the user fills the form in and registers
        dialog.findChild<QLineEdit*>(QStringLiteral("txtDisplayNM"))->setText(QStringLiteral("  Ann  Lee "));
        dialog.findChild<QLineEdit*>(QStringLiteral("txtEmail"))->setText(QStringLiteral(" Ann@Example.COM "));
        dialog.findChild<QPushButton*>(QStringLiteral("cmdRegister"))->click();
        return dialog.result();
    });
    server.enqueue(ScriptedChatServer::Reply::framed(
        QStringList{"3", "127.0.0.1", g_strServerPort, "42", "ann@example.com"}.join(kSep)));
    QStringList unused;
    ASSERT_TRUE(fnRegister(unused));

    // The name trimmed with its inner blanks kept, the address in lower case.
    EXPECT_EQ(
        wire::unscrambled(wire::fromCp1252(server.request(0))).split(kSep),
        (QStringList{"3", fnGetUserName(), fnGetComputerName(), "ann@example.com", "Ann  Lee", "127.0.0.1:5070"}));
    EXPECT_EQ(form->identity().userId, QStringLiteral("42"));
    EXPECT_EQ(testenv::readScrambledFile(serverAddressFilePath()),
              QStringList({"127.0.0.1", g_strServerPort, "42", "ann@example.com"}).join(kSep));
    // The name goes with the user's calls from now on.
    EXPECT_EQ(readDisplayNameFile(), QStringLiteral("Ann  Lee"));
    frmRegWait::unload();
    form.reset(); // never loaded: nothing to unload
}

} // namespace
