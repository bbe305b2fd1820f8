// The main window's life: start-up with a known user against a scripted chat server and a
// scripted call engine, the failure paths of start-up, the single-instance guard, and the
// sign-off wait and release order at close. Registration itself is played in identity_test.
#include "app/Main.h"
#include "app/basMain.h"
#include "app/frmMain.h"
#include "platform/Controls.h"
#include "platform/MsgBox.h"
#include "platform/vb.h"
#include "support/ScriptedChatServer.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QLockFile>
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

    void writeUserRecord() {
        testenv::writeScrambledFile(env.path(QStringLiteral("RTC_Chat.kvo")),
                                    QStringList{QStringLiteral("127.0.0.1"), QString::number(server.port()),
                                                QStringLiteral("17"), QStringLiteral("ann@example.com")}
                                        .join(kSep));
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
    writeUserRecord();
    server.enqueue(ScriptedChatServer::Reply::framed(QStringLiteral("1")));
    start();

    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Internet Chat - Ver: ") + frmMain::versionText() +
                                       QStringLiteral(" My Internet IP: 127.0.0.1:5070"));
    EXPECT_EQ(form->txtStatus->toPlainText(), kReady);
    EXPECT_EQ(vb::ForeColor(*form->txtStatus), vb::vbBlack);
    EXPECT_FALSE(form->cmdTerminate->isEnabled());
    EXPECT_FALSE(form->cmdAnswer->isEnabled());
    EXPECT_TRUE(form->cmdManageContacts->isEnabled());
    EXPECT_TRUE(form->tmrUpdateUserOnLine->isActive());
    EXPECT_EQ(g_intOnLineTicks, 1);
    EXPECT_EQ(form->LstUsers->columnCount(), 5);
    // "Status" 3/24 of the list's width, the other four 9/32 each, set once as the list shows.
    const auto widths = [&] {
        QList<int> all;
        for (int column = 0; column < 5; ++column)
            all.append(form->LstUsers->columnWidth(column));
        return all;
    };
    QCoreApplication::processEvents(); // the list takes its place on screen
    const double listWidth = form->LstUsers->width();
    const int other = static_cast<int>(listWidth / 32 * 9);
    EXPECT_EQ(widths(), (QList<int>{static_cast<int>(listWidth / 24 * 3), other, other, other, other}));
    const QList<int> atLoad = widths();
    form->resize(form->width() + 200, form->height());
    QCoreApplication::processEvents();
    EXPECT_EQ(widths(), atLoad);

    // The prepared log-in passes the alternate-server routine first, which sends the pages their
    // own dated form of it; the chat socket sends the log-in itself, with the call address.
    ASSERT_TRUE(testenv::waitFor([&] { return server.connectionCount() == 1 && server.replySent(0); }));
    EXPECT_EQ(requestText(0), QStringList({"1", "17", "ann@example.com", "127.0.0.1:5070"}).join(kSep));
    for (const QString& line : env.logLines())
        EXPECT_FALSE(line.startsWith(QStringLiteral("fnInitForm"))) << line.toStdString();
    ASSERT_TRUE(testenv::waitFor([&] { return g_lngChatSocketHandle == 0; }));

    // A call in progress at close: its participant goes, then the session, then the engine.
    form->g_objSession = engine()->CreateSession(rtc::RTCST_PC_TO_PC, {}, 0);
    form->g_objSession->AddParticipant(QStringLiteral("sip:127.0.0.2:5060"), QStringLiteral("Bob"));

    // The reply is late; a second close request meanwhile starts no second sign-off.
    ScriptedChatServer::Reply signOff = ScriptedChatServer::Reply::framed(QStringLiteral("2005"));
    signOff.delayMs = 300;
    server.enqueue(signOff);
    QTimer::singleShot(100, form.get(), [&] { form->close(); });
    // Failing statements of the unload are logged with their step and passed over.
    engine()->failOn(QStringLiteral("Shutdown"));
    engine()->failOn(QStringLiteral("setEventSink"));
    form->close();
    const QStringList unloadLines = env.logLines().filter(QStringLiteral("Form_Unload["));
    ASSERT_EQ(unloadLines.size(), 2);
    EXPECT_TRUE(unloadLines[0].startsWith(QStringLiteral("Form_Unload[4] - ")));
    EXPECT_TRUE(unloadLines[1].startsWith(QStringLiteral("Form_Unload[5] - ")));

    EXPECT_TRUE(form->isUnloaded());
    EXPECT_FALSE(g_blnLogOffPending);
    ASSERT_EQ(server.connectionCount(), 2);
    EXPECT_EQ(requestText(1), QStringList({"2005", "17", "127.0.0.1:5070"}).join(kSep));
    EXPECT_TRUE(server.replySent(1));

    const QStringList calls = engine()->calls();
    const auto at = [&](const QString& prefix) {
        for (qsizetype i = 0; i < calls.size(); ++i)
            if (calls.at(i).startsWith(prefix)) return i;
        return qsizetype(-1);
    };
    EXPECT_LT(at(QStringLiteral("Session1.RemoveParticipant")), at(QStringLiteral("Session1.Terminate(5)")));
    EXPECT_LT(at(QStringLiteral("Session1.Terminate(5)")), at(QStringLiteral("PrepareForShutdown")));
    EXPECT_LT(at(QStringLiteral("PrepareForShutdown")), at(QStringLiteral("Shutdown")));
    EXPECT_GE(at(QStringLiteral("Session1.RemoveParticipant")), 0);
    EXPECT_EQ(form->oMySocket, nullptr);
    EXPECT_EQ(form->g_objRTCClient, nullptr);
    EXPECT_EQ(form->g_objSession, nullptr);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("ColloqChat is ShoutDown.. Please Wait [Max 1 Minute]"));
}

TEST_F(MainWindow, CancelledRegistrationClosesWithoutSignOff) {
    start(); // no RTC_Chat.kvo: the registration runs and is cancelled
    ASSERT_EQ(env.boxes().size(), 1);
    EXPECT_EQ(env.boxes().at(0).prompt, QStringLiteral("Error loading ColloqChat"));
    EXPECT_EQ(env.boxes().at(0).title, QStringLiteral("ERROR"));
    EXPECT_EQ(env.boxes().at(0).buttons, vb::vbCritical);
    EXPECT_TRUE(form->isUnloaded());
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(g_blnQuitNoLogOff);
    EXPECT_TRUE(engines.created().isEmpty());
    QCoreApplication::processEvents();
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(MainWindow, EngineFailureIsLoggedWithItsStepAndTheWindowStillShows) {
    writeUserRecord();
    testrtc::ScriptedRtcFactory failing(
        [](testrtc::ScriptedRtc& engine) { engine.failOn(QStringLiteral("InitializeEx")); });
    start();
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Internet Chat"));
    EXPECT_NE(form->txtStatus->toPlainText(), kReady);
    QStringList initLines = env.logLines().filter(QStringLiteral("fnInitForm"));
    ASSERT_EQ(initLines.size(), 1);
    EXPECT_TRUE(initLines.at(0).startsWith(QStringLiteral("fnInitForm[12] - Date: ")));
    EXPECT_TRUE(form->tmrUpdateUserOnLine->isActive());
    EXPECT_EQ(server.connectionCount(), 0); // the log-in step was never reached
}

TEST_F(MainWindow, SecondInstanceFromTheSameFolderIsRefused) {
    QLockFile first(env.path(QStringLiteral(".colloqchat.lock")));
    ASSERT_TRUE(first.tryLock(0));
    EXPECT_EQ(Main(), 0);
    ASSERT_EQ(env.boxes().size(), 1);
    EXPECT_EQ(env.boxes().at(0).prompt,
              QStringLiteral("You can not run 2 instances of Colloq_Chat\r\n[1 instance of Colloq_Chat is running]"));
    EXPECT_EQ(env.boxes().at(0).title, QStringLiteral("Sorry"));
    EXPECT_EQ(env.boxes().at(0).buttons, vb::vbCritical);
    EXPECT_TRUE(first.isLocked()); // the first instance keeps its folder
    EXPECT_EQ(frmMain::instance(), nullptr);
}

} // namespace
