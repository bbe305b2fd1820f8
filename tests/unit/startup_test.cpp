// The start-up loader over every kind of server-address file, the validators, and the two
// dialogs of registration and contacts driven through the modal seam.
#include "BuildConfig.h"
#include "app/StartupLoader.h"
#include "app/basMain.h"
#include "app/frmMain.h"
#include "forms/Validators.h"
#include "forms/frmMngContacts.h"
#include "forms/frmRegWait.h"
#include "forms/frmRegister.h"
#include "platform/Controls.h"
#include "platform/MsgBox.h"
#include "support/TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace basMain;

namespace {

const QString kSep(QChar(0xD4));
QString joined(const QStringList& fields) {
    return fields.join(kSep);
}

struct LoaderCase {
    const char* name;
    std::optional<QStringList> fields; // nothing: no file at all
    bool expectRegistration;
    QString expectIp;
    QString expectPort;
};

class StartupLoader : public ::testing::Test {
protected:
    testenv::TestEnv env;
    frmMain form;
    int dialogsShown = 0;

    void SetUp() override {
        // Every registration dialog is cancelled, so a run that reaches it ends with False.
        vb::setModalHandlerForTesting([this](QDialog&) {
            ++dialogsShown;
            return 0;
        });
    }
    void TearDown() override { frmRegWait::unload(); }
};

TEST_F(StartupLoader, EachKindOfFileEndsAsTheLoaderPromises) {
    const QString def = QStringLiteral(COLLOQ_DEFAULT_SERVER_IP);
    const LoaderCase cases[] = {
        {"no file", std::nullopt, true, def, "19991"},
        {"empty file", QStringList{}, true, def, "19991"},
        {"one field", QStringList{"10.0.0.9"}, true, def, "19991"},
        {"address and port", QStringList{"10.0.0.9", "2000"}, true, "10.0.0.9", "2000"},
        {"bad pair of two", QStringList{"10.0.0.256", "2000"}, true, def, "19991"},
        {"three fields", QStringList{"10.0.0.9", "2000", "17"}, true, def, "19991"},
        {"full record", QStringList{"10.0.0.9", "2000", "17", "ann@example.com"}, false, "10.0.0.9", "2000"},
        {"port 65535", QStringList{"10.0.0.9", "65535", "17", "ann@example.com"}, false, def, "19991"},
        {"non-numeric id", QStringList{"10.0.0.9", "2000", "x17", "ann@example.com"}, true, "10.0.0.9", "2000"},
        {"bad e-mail", QStringList{"10.0.0.9", "2000", "17", "ann@example"}, true, "10.0.0.9", "2000"},
        {"five fields", QStringList{"10.0.0.9", "2000", "17", "ann@example.com", "x"}, true, def, "19991"},
    };
    for (const LoaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        resetGlobals();
        dialogsShown = 0;
        vb::setTag(*form.txtEmail, {});
        form.txtEmail->clear();
        const QString path = env.path(QStringLiteral("RTC_Chat.kvo"));
        QFile::remove(path);
        if (c.fields) {
            if (c.fields->isEmpty()) {
                QFile file(path);
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            } else {
                testenv::writeScrambledFile(path, joined(*c.fields));
            }
        }
        const bool result = fnFillcall();
        EXPECT_EQ(dialogsShown, c.expectRegistration ? 1 : 0);
        EXPECT_EQ(result, !c.expectRegistration); // the registration is cancelled
        EXPECT_EQ(g_strServerIP, c.expectIp);
        EXPECT_EQ(g_strServerPort, c.expectPort);
        if (!c.expectRegistration) {
            EXPECT_EQ(vb::Tag(*form.txtEmail), QStringLiteral("17"));
            EXPECT_EQ(form.txtEmail->text(), QStringLiteral("ann@example.com"));
            EXPECT_EQ(g_strMsgToSend, joined({"1", "17", "ann@example.com"}));
        }
        EXPECT_TRUE(frmRegWait::isLoaded());
        EXPECT_EQ(frmRegWait::get().Label1->text(), QStringLiteral("Loading ColloqChat.."));
    }
    EXPECT_TRUE(env.logLines().isEmpty());
}

TEST_F(StartupLoader, AFileThatCannotBeReadFailsWithItsStepLogged) {
    env.makeLogsFolder();
    QDir(env.dir()).mkdir(QStringLiteral("RTC_Chat.kvo")); // exists, but is no file
    EXPECT_FALSE(fnFillcall());
    EXPECT_EQ(dialogsShown, 0);
    ASSERT_EQ(env.logLines().size(), 1);
    EXPECT_TRUE(env.logLines().at(0).startsWith(QStringLiteral("fnFillcall[6] - Date: ")));
}

TEST(Validators, ServerPairs) {
    struct Case {
        const char* address;
        const char* port;
        bool valid;
    } cases[] = {
        {"0.0.0.0", "1", true},       {"255.255.255.255", "65534", true}, {"10.0.0.256", "1", false},
        {"10.0.0.1", "65535", false}, {"10.0.0.1", "0", false},           {"10.0.0.1.5", "80", false},
        {"10.0.0", "80", false},      {"10.a.0.1", "80", false},          {"10.0.0.1", "port", false},
        {"10.0.-1.1", "80", false},   {"10.0.0.1", "99999999999", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + ":" + c.port);
        QString message = QStringLiteral("stale");
        EXPECT_EQ(fnCheckIpOrEmailFormat({QString::fromLatin1(c.address), QString::fromLatin1(c.port)}, true, message),
                  c.valid);
        EXPECT_TRUE(message.isEmpty());
    }
}

const QString kUnsafeEmail =
    QStringLiteral("Your email address may not contain the character \u00D4 or control characters!");

TEST(Validators, EmailMessagesInTheirOrder) {
    const QString ending = QStringLiteral("Your email address is not carrying a valid ending!It must be one of the "
                                          "following....com, .net, .gov, .org, .edu, .biz, .tv Or included country's "
                                          "assigned country code");
    struct Case {
        const char* id;
        const char* address;
        bool valid;
        QString message;
    } cases[] = {
        {"1", "ann@example.com", true, {}},
        {"x", "ann@example.com", false, QStringLiteral("User ID is not a number?")},
        {"1", "ann @example.com", false, QStringLiteral("Your email address has Space!")},
        {"1", "a n@b@example.com", false,
         QStringLiteral("Your email address has Space!You have more than 1 @ sign in your email address")},
        {"1", "", false, QStringLiteral("You did not enter an email address!")},
        {"1", "example.com", false, QStringLiteral("Your email address does not contain an @ sign.")},
        {"1", "@example.com", false,
         QStringLiteral("Your @ sign can not be the first character in your email address!")},
        {"1", "ann.example.com@", false,
         QStringLiteral("Your @sign can not be the last character in your email address!")},
        {"1", "ann@examplecom", false, ending},
        {"1", "a@b.c", false, QStringLiteral("Your email address is shorter than 6 characters which is impossible.")},
        {"1", "ann@example.c", true, {}},  // ".C" is found inside ".COM"
        {"1", "ann@example.De", true, {}}, // endings compare without case
        {"1", "ann@example.as", true, {}}, // the one mixed-case entry of the list
        {"1", "a@b.co", true, {}},         // exactly six characters
        {"1", "ann\xD4x@example.com", false, kUnsafeEmail},
        {"1", "ann@example.com\t", false, kUnsafeEmail},
        {"1",
         "ann@ex\x85"
         "ample.com",
         false, kUnsafeEmail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        QString message;
        EXPECT_EQ(
            fnCheckIpOrEmailFormat({{}, {}, QString::fromLatin1(c.id), QString::fromLatin1(c.address)}, false, message),
            c.valid);
        EXPECT_EQ(message, c.message);
    }
    EXPECT_TRUE(fnCheckEmailEnding(QStringLiteral("ed")));
    EXPECT_TRUE(fnCheckEmailEnding(QStringLiteral(".GO")));
    EXPECT_FALSE(fnCheckEmailEnding(QStringLiteral("XQ")));
}

// Fills the registration form, presses a button, and answers its boxes.
class RegisterForm : public ::testing::Test {
protected:
    testenv::TestEnv env;
    frmRegister form;

    void type(const char* name, const char* email) {
        form.txtDisplayNM->setText(QString::fromUtf8(name));
        form.txtEmail->setText(QString::fromUtf8(email));
    }
};

// What an accepted form answers (trimmed name, lower-case address) is seen on the wire in
// identity_test, which also checks each refused contact addition's box.
TEST_F(RegisterForm, BlankNameAndBadAddressKeepTheFormOpen) {
    EXPECT_FALSE(form.cmdRegister->isEnabled());
    type("   ", "ann@example.com");
    EXPECT_TRUE(form.cmdRegister->isEnabled()); // blanks count for the button
    form.cmdRegister->click();
    ASSERT_EQ(env.boxes().size(), 1);
    EXPECT_EQ(env.boxes().at(0).prompt, QStringLiteral("Please, enter your display name?"));
    EXPECT_EQ(env.boxes().at(0).title, QStringLiteral("Chat Display Name"));

    type("Ann", "ann@example");
    form.cmdRegister->click();
    ASSERT_EQ(env.boxes().size(), 2);
    EXPECT_EQ(env.boxes().at(1).title, QStringLiteral("Check Email"));
    EXPECT_EQ(g_strDialogResult, QStringLiteral("ann@example"));

    // Closing by the frame now is a cancel, not an answer made of the bare address.
    form.reject();
    EXPECT_TRUE(g_strDialogResult.isEmpty());
    EXPECT_FALSE(g_blnQuitNoLogOff);
}

// A separator or a control character would split or garble the request's fields, and the server
// refuses longer names: the form says so and stays open. Tabs are no blanks, so none is trimmed.
TEST_F(RegisterForm, FieldsThatWouldBreakTheRequestAreRefusedWithAReason) {
    const QString unsafeName =
        QStringLiteral("Your display name may not contain the character \u00D4 or control characters!");
    struct Case {
        QString name, email, prompt, title;
    } cases[] = {
        {QStringLiteral("Ann\u00D4Lee"), "ann@example.com", unsafeName, "Chat Display Name"},
        {"Ann\tLee", "ann@example.com", unsafeName, "Chat Display Name"},
        {"Ann\r\n", "ann@example.com", unsafeName, "Chat Display Name"},
        {"Ann", QStringLiteral("ann\u00D4x@example.com"), kUnsafeEmail, "Check Email"},
        {"Ann", "\tann@example.com", kUnsafeEmail, "Check Email"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString() + " " + c.email.toStdString());
        form.txtDisplayNM->setText(c.name);
        form.txtEmail->setText(c.email);
        form.cmdRegister->click();
        EXPECT_EQ(env.boxes().last().prompt, c.prompt);
        EXPECT_EQ(env.boxes().last().title, c.title);
        EXPECT_NE(form.result(), QDialog::Accepted);
    }
    // The name field takes 64 characters and no more.
    form.txtDisplayNM->setText(QString(70, QLatin1Char('n')));
    form.txtEmail->setText("ann@example.com");
    form.cmdRegister->click();
    EXPECT_EQ(g_strDialogResult, QString(64, QLatin1Char('n')) + kSep + "ann@example.com");
}

TEST_F(RegisterForm, CancelClearsTheAnswerAndQuitsWithoutSignOff) {
    type("Ann", "ann@example.com");
    form.cmdCancel->click();
    EXPECT_TRUE(g_strDialogResult.isEmpty());
    EXPECT_TRUE(g_blnQuitNoLogOff);
}

class ContactsForm : public ::testing::Test {
protected:
    testenv::TestEnv env;
    vb::ListView users;
    QLineEdit ownEmail{QStringLiteral("me@example.com")};

    void SetUp() override {
        for (int i = 0; i < 5; ++i)
            users.addColumn(QStringLiteral("c"), 50);
        addUser("A7", "On", "Bob", "bob@example.com");
        addUser("A9", "Off", "Cy", "cy@example.com");
    }
    void addUser(const char* key, const char* status, const char* name, const char* email) {
        vb::ListItem* row = users.add(QString::fromLatin1(status));
        row->setSubItem(1, QString::fromLatin1(name));
        row->setSubItem(2, QString::fromLatin1(email));
        users.setKey(row, QString::fromLatin1(key));
    }
};

TEST_F(ContactsForm, CopiesTheUserListWithColours) {
    frmMngContacts form(users, ownEmail);
    ASSERT_EQ(form.LstContacts->count(), 2);
    EXPECT_EQ(form.LstContacts->item(QStringLiteral("A7"))->ForeColor(), vb::vbBlack);
    EXPECT_EQ(form.LstContacts->item(QStringLiteral("A9"))->ForeColor(), vb::vbRed);
    EXPECT_EQ(form.LstContacts->item(QStringLiteral("A9"))->SubItem(2), QStringLiteral("cy@example.com"));
    EXPECT_FALSE(form.cmdAddCont->isEnabled());
    EXPECT_FALSE(form.cmdRemoveContact->isEnabled());
}

TEST_F(ContactsForm, OwnAddressIsTheMainWindowsAtTheClickAndColumnsShareTheWidth) {
    frmMngContacts form(users, ownEmail);
    ownEmail.setText(QStringLiteral("new@example.com")); // a registration answered meanwhile
    form.txtEmail->setText(QStringLiteral("New@Example.com"));
    form.cmdAddCont->click();
    ASSERT_EQ(env.boxes().size(), 1);
    EXPECT_EQ(env.boxes().at(0).title, QStringLiteral("It Is Your Email???"));
    form.txtEmail->setText(QStringLiteral("me@example.com"));
    form.cmdAddCont->click();
    EXPECT_EQ(g_strDialogResult, QStringLiteral("A") + kSep + QStringLiteral("me@example.com"));

    // Status 4/24, Display Name 12/24, Email 9/24 of the list's width, once it shows.
    form.show();
    form.SSTab1->setCurrentIndex(1);
    QCoreApplication::processEvents();
    const int width = form.LstContacts->width();
    EXPECT_EQ(form.LstContacts->columnWidth(0), width * 4 / 24);
    EXPECT_EQ(form.LstContacts->columnWidth(1), width * 12 / 24);
    EXPECT_EQ(form.LstContacts->columnWidth(2), width * 9 / 24);
}

TEST_F(ContactsForm, RemovalAsksFirst) {
    frmMngContacts form(users, ownEmail);
    vb::ListItem* row = form.LstContacts->item(QStringLiteral("A9"));
    emit form.LstContacts->ItemClick(row);
    ASSERT_TRUE(form.cmdRemoveContact->isEnabled());
    env.answerBoxesWith(vb::vbNo);
    form.cmdRemoveContact->click();
    EXPECT_EQ(env.boxes().last().prompt, QStringLiteral("Delete Contact:\r\nCy [cy@example.com]"));
    EXPECT_TRUE(g_strDialogResult.isEmpty());
    env.answerBoxesWith(vb::vbYes);
    form.cmdRemoveContact->click();
    EXPECT_EQ(g_strDialogResult, QStringLiteral("R") + kSep + QStringLiteral("A9"));
}

} // namespace
