// The real client (main window offscreen, its chat link and settings files) against the real
// server in this process, on SQLite: the client sees nothing of the store (each store: loopback).
#include "ServerTestSupport.h"
#include "app/frmMain.h"
#include "chatlink/ChatLink.h"
#include "core/basMain.h"
#include "forms/frmRegister.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"
#include "support/ScriptedRtc.h"
#include "support/TestEnv.h"
#include "tools/mailsink/MailSink.h"
#include "wire/SettingsLines.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

using namespace basMain;
using servertest::Backend;

namespace {

const QString S = QString(wire::kSep);
// The sites the server hands out, at an address of no one.
const QString kWebAddress = QStringLiteral("127.0.77.1");
const QHostAddress kServerAddress(QStringLiteral("127.0.0.41"));
constexpr quint16 kChatPort = 19991;

class ClientAgainstServer : public ::testing::Test {
protected:
    testenv::TestEnv env;
    mailsink::MailSink relay;
    testrtc::ScriptedRtcFactory engines{
        [](testrtc::ScriptedRtc& engine) { engine.externalAddresses = {QStringLiteral("127.0.0.1:5070")}; }};
    servertest::ServerFixture fixture;
    std::unique_ptr<frmMain> form;

    void SetUp() override {
        QString error;
        ASSERT_TRUE(relay.listen(QHostAddress("127.0.0.1"), 0, &error)) << error.toStdString();
        // The chat port where clients look for its TLS twin, on the port after it: an address of
        // its own keeps the two ports free of every other test's.
        fixture.host = kServerAddress;
        if (!fixture.start(Backend::Sqlite, [&](chatserver::ServerConfig& config) {
                config.chatPort = kChatPort;
                config.sites = {{"0", {kWebAddress, "localhost", "ChatServerIP.asp", ""}},
                                {"2", {kWebAddress, "localhost", "InfoDT.asp", "site-key"}}};
                config.sitesConfigured = true;
                config.mailEnabled = confirming();
                config.mailRelay.port = relay.port();
            }))
            GTEST_SKIP() << fixture.skipped.toStdString();
        ASSERT_EQ(fixture.chatTlsPort(), kChatPort + 1);
        env.makeLogsFolder();
    }
    // Whether new addresses wait for their owners to confirm them.
    virtual bool confirming() const { return false; }
    // Starts the client in a fresh folder, where it registers Ann as she would.
    void registerAnn() {
        vb::setModalHandlerForTesting([](QDialog& dialog) {
            dialog.findChild<QLineEdit*>("txtDisplayNM")->setText("Ann Lee");
            dialog.findChild<QLineEdit*>("txtEmail")->setText("ann@example.com");
            dialog.findChild<QPushButton*>("cmdRegister")->click();
            return dialog.result();
        });
        startClient();
    }
    // The main window started as the program starts, its server-address file naming the server and
    // `identity` (ID and e-mail address), if any.
    void startClient(const QStringList& identity = {}) {
        form.reset(); // one main window at a time
        testenv::writeScrambledFile(
            env.path("RTC_Chat.kvo"),
            (QStringList{kServerAddress.toString(), QString::number(kChatPort)} + identity).join(S));
        form = std::make_unique<frmMain>();
        asksAnswered = 0;
        QObject::connect(&form->chatLink(), &chatlink::ChatLink::replyHandled, form.get(),
                         [this](const QString& request, const QString&) { asksAnswered += request.startsWith("80"); });
        form->Form_Load();
        form->fnInitForm();
    }
    // The link carries one exchange at a time: a previous one (the registration's, at start-up)
    // must have taken its close step, or that step would close the next connection.
    bool linkIdle() {
        return servertest::waitFor([&] {
            return g_lngChatSocketHandle == 0 &&
                   !(form->tmrServerCall->isActive() && form->tmrServerCall->interval() == 21);
        });
    }
    void TearDown() override {
        if (form && !form->isUnloaded()) {
            ASSERT_TRUE(linkIdle()); // not in the middle of its log-in's exchange
            g_blnQuitNoLogOff = true;
            form->unloadForm();
        }
    }

    chatserver::Storage& store() { return fixture.server->storage(); }
    servertest::ChatReply bob(const QStringList& fields) {
        return fixture.send(fields, servertest::loopback(3), servertest::callAddress(3));
    }
    // One exchange of the client, started the way its procedures start one; done once the
    // client has handled the reply and closed the connection.
    void clientExchange(const QString& request) {
        ASSERT_TRUE(linkIdle());
        // The client speaks TLS with a server that has it.
        chatserver::TcpListener& chat = *fixture.server->chatTlsListener();
        const quint64 answered = chat.stats().answered;
        g_strMsgToSend = request;
        form->chatSocket().Connect(g_strServerIP, vb::CLng(g_strServerPort));
        ASSERT_TRUE(servertest::waitFor([&] {
            return chat.stats().answered > answered && chat.openConnections() == 0;
        })) << request.toStdString()
            << ": " << form->txtStatus->toPlainText().toStdString();
    }
    // Starts the client of a registered user in this folder, as it starts at every log-in, and
    // waits for the answer to its first request 80.
    int asksAnswered = 0;
    void startAs(const QString& userId, const QString& email) {
        TearDown();
        startClient({userId, email});
        ASSERT_TRUE(servertest::waitFor([&] { return asksAnswered == 1; }));
    }
    const vb::ListItem* rowOf(const QString& email) const {
        for (int i = 0; i < form->LstUsers->count(); ++i)
            if (form->LstUsers->itemAt(i)->SubItem(2) == email) return form->LstUsers->itemAt(i);
        return nullptr;
    }
    QString id() const { return form->identity().userId; }
    void poll() { clientExchange("1" + S + id() + S + form->identity().email); }
};

// Registration, contacts, presence and Add back are walked by the end-to-end run with two clients.
// The sign-off reply becomes the client's settings file, also when Ann's address changed since her
// last log-in (the client waits for it before it closes).
TEST_F(ClientAgainstServer, TheSignOffReplyBecomesTheSettingsFileAlsoFromANewAddress) {
    registerAnn();
    ASSERT_FALSE(id().isEmpty()) << form->txtStatus->toPlainText().toStdString();
    store().markOnline(id().toLongLong(), "127.0.0.1:5070", "127.0.0.200", fixture.clock.now);
    clientExchange("2005" + S + id());
    EXPECT_EQ(wire::parseSettingsText(testenv::readScrambledFile(env.path("ColloqChat.kvo"))),
              fixture.server->config().sites);
}

// Someone holds the address already: the form comes back with the server's words and what Ann
// typed, instead of a window with no identity, until she corrects the address. (Giving up on the
// form closes the program quietly: mainwindow_test.)
TEST_F(ClientAgainstServer, ATakenAddressBringsTheFormBackUntilItIsCorrected) {
    ASSERT_EQ(bob({"3", "bob", "PC-B", "ann@example.com", "Bob"}).code(), "3");
    QStringList shown; // each showing of the form: name | e-mail | message
    vb::setModalHandlerForTesting([&](QDialog& dialog) {
        auto* name = dialog.findChild<QLineEdit*>("txtDisplayNM");
        auto* email = dialog.findChild<QLineEdit*>("txtEmail");
        shown.append(name->text() + " | " + email->text() + " | " +
                     dialog.findChild<QPlainTextEdit*>("txtMessage")->toPlainText());
        name->setText("Ann Lee");
        email->setText(shown.size() == 1 ? "Ann@Example.com" : "ann.lee@example.com");
        dialog.findChild<QPushButton*>("cmdRegister")->click();
        return dialog.result();
    });
    startClient();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[1].section(" | ", 0, 1), "Ann Lee | ann@example.com");
    EXPECT_TRUE(shown[1].contains("The e-mail address ann@example.com is already registered."))
        << shown[1].toStdString();
    EXPECT_EQ(form->identity().email, "ann.lee@example.com");
}

// Dave and Carl add Ann before she adds them. Carl's client will not call her while she has not
// added him back; Ann is told of each once, in the order they asked, and having ignored both is
// not asked again when she starts again.
TEST_F(ClientAgainstServer, AOneSidedContactCannotBeCalledAndEachRequestIsShownOnceInTurn) {
    const QString annId = bob({"3", "ann", "PC-A", "ann@example.com", "Ann Lee"}).fields().value(3);
    const QString carlId = bob({"3", "carl", "PC-C", "carl@example.com", "Carl Owen"}).fields().value(3);
    const QString daveId = bob({"3", "dave", "PC-D", "dave@example.com", "Dave"}).fields().value(3);
    ASSERT_EQ(bob({"1", daveId, "dave@example.com"}).code(), "1");
    ASSERT_EQ(bob({"4", daveId, "ann@example.com"}).code(), "4");
    fixture.clock.now += 60'000; // Carl asks later

    startAs(carlId, "carl@example.com");
    clientExchange("4" + S + carlId + S + "ann@example.com");
    const vb::ListItem* ann = rowOf("ann@example.com");
    ASSERT_TRUE(ann);
    EXPECT_EQ((QStringList{ann->Text(), ann->SubItem(1)}), (QStringList{"Waiting", "waiting for them to add you"}));
    form->LstUsers->setCurrentItem(form->LstUsers->find(ann->Key()));
    form->cmdConnect_Click();
    EXPECT_TRUE(form->txtStatus->toPlainText().startsWith("ann@example.com has not added you to their contacts yet"));

    startAs(annId, "ann@example.com");
    const auto* request = form->findChild<QLabel*>("lblContactRequest");
    EXPECT_EQ(request->text(), "Dave (dave@example.com) wants to add you as a contact (1 more after this one)");
    form->findChild<QPushButton*>("cmdIgnore")->click();
    EXPECT_EQ(request->text(), "Carl Owen (carl@example.com) wants to add you as a contact");
    form->findChild<QPushButton*>("cmdIgnore")->click();
    EXPECT_FALSE(request->isVisibleTo(form.get()));
    // Asked once more in this run (after the ignores, which go first), and started again, she is
    // not asked again.
    form->chatLink().send("80" + S + annId + S + "ann@example.com");
    ASSERT_TRUE(servertest::waitFor([&] { return asksAnswered == 2; }));
    EXPECT_FALSE(request->isVisibleTo(form.get()));
    startAs(annId, "ann@example.com");
    EXPECT_FALSE(form->findChild<QWidget*>("fraContactRequest")->isVisibleTo(form.get()));
}

// The registration form opens with the cursor in the name, and every message leaves it in the
// field the message is about, whichever field the user was in.
TEST(RegisterForm, EveryMessageLeavesTheCursorInTheFieldToFix) {
    testenv::TestEnv env;
    frmRegister form;
    form.show();
    EXPECT_EQ(form.focusWidget(), form.txtDisplayNM);
    const struct {
        const char* name;
        const char* email;
        QLineEdit* from; // where the cursor was
        QLineEdit* to;   // where the message leaves it
    } cases[] = {
        {"   ", "carl@example.com", form.txtEmail, form.txtDisplayNM},
        // What would split or garble the request's fields, or reach others as "?".
        {"Carl\u00d4Lee", "carl@example.com", form.txtEmail, form.txtDisplayNM},
        {"Carl\tLee", "carl@example.com", form.txtEmail, form.txtDisplayNM},
        {"\u0108arl \u00f4wen", "carl@example.com", form.txtEmail, form.txtDisplayNM},
        {"Carl", "\tcarl@example.com", form.txtDisplayNM, form.txtEmail},
        {"Carl", "carl@examplecom", form.txtDisplayNM, form.txtEmail},
    };
    for (const auto& c : cases) {
        form.txtDisplayNM->setText(QString::fromUtf8(c.name));
        form.txtEmail->setText(c.email);
        c.from->setFocus();
        form.cmdRegister->click();
        EXPECT_EQ(env.boxes().last().title, c.to == form.txtEmail ? "Check Email" : "Chat Display Name") << c.name;
        EXPECT_EQ(form.focusWidget(), c.to) << c.name << " " << c.email;
        EXPECT_TRUE(form.isVisible());
    }
    // An accent typed as a mark of its own goes as the one letter the wire carries.
    form.txtDisplayNM->setText(QStringLiteral("Carl o\u0302wen"));
    form.txtEmail->setText("carl@example.com");
    form.cmdRegister->click();
    EXPECT_EQ(g_strDialogResult, QStringLiteral("Carl \u00f4wen") + S + "carl@example.com");
    EXPECT_FALSE(form.isVisible());
}

class ClientAgainstConfirmingServer : public ClientAgainstServer {
    bool confirming() const override { return true; }
};

// A client of before confirmation mails, as every client is: it registers and stores its ID as
// ever; its log-ins then tell the user in red what to do.
TEST_F(ClientAgainstConfirmingServer, AnAccountWaitingForItsAddressIsToldWhatToDoInTheStatusBox) {
    registerAnn();
    ASSERT_FALSE(id().isEmpty()) << form->txtStatus->toPlainText().toStdString();
    ASSERT_TRUE(servertest::waitFor([&] { return relay.received().size() == 1; }));
    poll();
    EXPECT_TRUE(form->txtStatus->toPlainText().startsWith("Please confirm your e-mail address: open the link in the "
                                                          "mail sent to ann@example.com."));
    EXPECT_EQ(vb::ForeColor(*form->txtStatus), vb::vbRed);
}

} // namespace
