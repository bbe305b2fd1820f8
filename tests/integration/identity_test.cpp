// Registration and the contacts manager against a scripted chat server: what goes on the wire,
// what comes back into the settings file, and what is never sent.
#include "app/ErrorLog.h"
#include "app/StartupLoader.h"
#include "app/basMain.h"
#include "app/frmMain.h"
#include "forms/frmRegWait.h"
#include "platform/Controls.h"
#include "platform/MsgBox.h"
#include "server/KVOSocket.h"
#include "server/Registration.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace basMain;
using testsupport::ScriptedChatServer;

namespace {

const QString kSep(QChar(0xD4));

class Identity : public ::testing::Test {
protected:
    testenv::TestEnv env;
    ScriptedChatServer server;
    frmMain form;
    // Text typed into the next dialog's line edits, by object name, and the button to press.
    QMap<QString, QString> typed;
    QString press;

    void SetUp() override {
        ASSERT_TRUE(server.listen());
        form.createSocketsForTesting();
        g_strServerIP = QStringLiteral("127.0.0.1");
        g_strServerPort = QString::number(server.port());
        g_strMyWanIP = QStringLiteral("127.0.0.1:5070");
        vb::setModalHandlerForTesting([this](QDialog& dialog) {
            for (auto it = typed.cbegin(); it != typed.cend(); ++it) {
                dialog.findChild<QLineEdit*>(it.key())->setText(it.value());
            }
            if (!press.isEmpty()) dialog.findChild<QPushButton*>(press)->click();
            if (dialog.result() != QDialog::Accepted) dialog.reject(); // closed by its frame
            return dialog.result();
        });
    }
    void TearDown() override { frmRegWait::unload(); }

    QStringList requestFields(int index) const {
        return wire::unscrambled(wire::fromCp1252(server.request(index))).split(kSep);
    }
    void registerAs(const char* name, const char* email) {
        typed = {{QStringLiteral("txtDisplayNM"), QString::fromUtf8(name)},
                 {QStringLiteral("txtEmail"), QString::fromUtf8(email)}};
        press = QStringLiteral("cmdRegister");
    }
};

TEST_F(Identity, AcceptedRegistrationIsStoredAndTheNextStartLogsIn) {
    registerAs("  Ann  Lee ", " Ann@Example.COM ");
    server.enqueue(ScriptedChatServer::Reply::framed(
        QStringList{"3", "127.0.0.1", g_strServerPort, "42", "ann@example.com"}.join(kSep)));
    QStringList unused;
    ASSERT_TRUE(fnRegister(unused));

    const QStringList sent = requestFields(0);
    ASSERT_EQ(sent.size(), 6);
    EXPECT_EQ(sent.at(0), QStringLiteral("3"));
    EXPECT_EQ(sent.at(1), fnGetUserName());
    EXPECT_EQ(sent.at(2), fnGetComputerName());
    EXPECT_EQ(sent.at(3), QStringLiteral("ann@example.com"));
    EXPECT_EQ(sent.at(4), QStringLiteral("Ann  Lee")); // trimmed, inner blanks kept
    EXPECT_EQ(sent.at(5), QStringLiteral("127.0.0.1:5070"));
    EXPECT_EQ(vb::Tag(*form.txtEmail), QStringLiteral("42"));
    EXPECT_FALSE(form.tmrRegistration->isActive());

    // The next start reads the stored record and asks nothing.
    typed.clear();
    press.clear();
    int dialogs = 0;
    vb::setModalHandlerForTesting([&](QDialog&) { return ++dialogs, 0; });
    vb::setTag(*form.txtEmail, {});
    resetGlobals();
    ASSERT_TRUE(fnFillcall());
    EXPECT_EQ(dialogs, 0);
    EXPECT_EQ(g_strMsgToSend, QStringList({"1", "42", "ann@example.com"}).join(kSep));
    EXPECT_EQ(g_strServerPort, QString::number(server.port()));
}

TEST_F(Identity, SilentServerEndsInRegistrationTimeOut) {
    registerAs("Ann", "ann@example.com");
    server.enqueue(ScriptedChatServer::Reply::none());
    form.tmrRegistration->setInterval(300); // the program waits a minute
    QStringList unused;
    EXPECT_FALSE(fnRegister(unused));
    ASSERT_EQ(env.boxes().size(), 1);
    EXPECT_EQ(env.boxes().at(0).prompt, QStringLiteral("Registration TimeOut"));
    EXPECT_EQ(env.boxes().at(0).title, QStringLiteral("Registration Failed"));
    EXPECT_EQ(env.boxes().at(0).buttons, vb::vbCritical);
    EXPECT_FALSE(QFile::exists(env.path(QStringLiteral("RTC_Chat.kvo"))));
}

// A separator or a control character would split or garble the request's fields: the form says
// so and stays open, and nothing reaches the server.
TEST_F(Identity, ARegistrationThatWouldBreakTheRequestIsRefusedWithAReason) {
    const struct {
        const char* name;
        const char* email;
        const char* title;
    } cases[] = {
        {"   ", "ann@example.com", "Chat Display Name"},
        {"Ann\xC3\x94Lee", "ann@example.com", "Chat Display Name"},
        {"Ann\tLee", "ann@example.com", "Chat Display Name"},
        {"Ann", "\tann@example.com", "Check Email"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype shown = env.boxes().size();
        registerAs(c.name, c.email);
        QStringList unused;
        EXPECT_FALSE(fnRegister(unused));
        ASSERT_GT(env.boxes().size(), shown);
        EXPECT_EQ(env.boxes().at(shown).title, QString::fromLatin1(c.title));
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(Identity, ContactsManagerSendsOnlyComposedRequests) {
    vb::setTag(*form.txtEmail, QStringLiteral("42"));
    form.txtEmail->setText(QStringLiteral("ann@example.com"));
    testenv::setUpUserList(*form.LstUsers);
    vb::ListItem* bob = form.LstUsers->add(QStringLiteral("On"));
    bob->setSubItem(1, QStringLiteral("Bob"));
    bob->setSubItem(2, QStringLiteral("bob@example.com"));
    form.LstUsers->setKey(bob, QStringLiteral("A7"));
    g_strMsgToSend = QStringLiteral("previous request");

    // Refused additions (addresses compare without case), each closed by the frame afterwards:
    // a box each, and nothing is sent.
    const std::pair<const char*, const char*> refusals[] = {
        {"Bob@Example.com", "Contact already in your list"},
        {"ANN@example.com", "It Is Your Email???"},
        {"ann@example", "Check Email"},
    };
    for (const auto& [refused, title] : refusals) {
        typed = {{QStringLiteral("txtEmail"), QString::fromLatin1(refused)}};
        press = QStringLiteral("cmdAddCont");
        form.cmdManageContacts_Click();
        EXPECT_EQ(env.boxes().value(env.boxes().size() - 1).title, QString::fromLatin1(title)) << refused;
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(server.connectionCount(), 0);
    EXPECT_EQ(g_strMsgToSend, QStringLiteral("previous request"));
    EXPECT_EQ(env.boxes().size(), 3);

    typed = {{QStringLiteral("txtEmail"), QStringLiteral(" Cy@Example.com ")}};
    form.cmdManageContacts_Click();
    ASSERT_TRUE(testenv::waitFor([&] { return server.connectionCount() == 1 && !server.request(0).isEmpty(); }));
    ASSERT_TRUE(testenv::waitFor([&] { return requestFields(0).size() == 4; }));
    EXPECT_EQ(requestFields(0), QStringList({"4", "42", "cy@example.com", "127.0.0.1:5070"}));

    // A removal carries the contact's ID without the key's leading "A".
    typed.clear();
    press.clear();
    env.answerBoxesWith(vb::vbYes);
    vb::setModalHandlerForTesting([](QDialog& dialog) {
        auto* list = dialog.findChild<vb::ListView*>(QStringLiteral("LstContacts"));
        emit list->ItemClick(list->item(QStringLiteral("A7")));
        dialog.findChild<QPushButton*>(QStringLiteral("cmdRemoveContact"))->click();
        return dialog.result();
    });
    form.oMySocket->CloseSocket(g_lngChatSocketHandle);
    form.cmdManageContacts_Click();
    ASSERT_TRUE(testenv::waitFor([&] { return server.connectionCount() == 2 && requestFields(1).size() == 4; }));
    EXPECT_EQ(requestFields(1), QStringList({"5", "42", "7", "127.0.0.1:5070"}));
}

} // namespace
