// E-mail addresses belong to whoever reads their mail: each registration mails its link through a
// real SMTP relay on loopback, which records what it is given.
#include "ServerTestSupport.h"
#include "tools/mailsink/MailSink.h"

#include <QRegularExpression>

using namespace servertest;

namespace {

class Confirmation : public ::testing::TestWithParam<ServerShape> {
protected:
    void SetUp() override {
        QString error;
        ASSERT_TRUE(relay.listen(QHostAddress("127.0.0.1"), 0, &error)) << error.toStdString();
        if (!fixture.start(GetParam(), [&](chatserver::ServerConfig& config) {
                config.mailEnabled = true;
                config.mailRelay.host = QStringLiteral("127.0.0.1");
                config.mailRelay.port = relay.port();
                config.mailRelay.from = QStringLiteral("colloqchat@chat.example.org");
            }))
            GTEST_SKIP() << fixture.skipped.toStdString();
    }
    ChatReply send(const QStringList& fields, const QString& from, const QString& address = {}) {
        return fixture.send(fields, QHostAddress(from), address);
    }
    // The mail the relay took `count`-th (1 for the first), once it has.
    mailsink::ReceivedMail mail(int count) {
        EXPECT_TRUE(waitFor([&] { return relay.received().size() >= count; })) << relay.received().size();
        return relay.received().value(count - 1);
    }
    static QString linkIn(const mailsink::ReceivedMail& mail) {
        return QRegularExpression(QStringLiteral("http://\\S+")).match(mail.body()).captured(0);
    }
    // Opens a link as a browser would; the page's text.
    QString open(const QString& link) {
        const QString target = link.mid(link.indexOf('/', 7));
        const HttpReply reply = httpExchange(fixture.host, fixture.webPort(),
                                             "GET " + target.toLatin1() +
                                                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Mozilla/5.0\r\n"
                                                 "Accept: text/html,*/*;q=0.8\r\nConnection: keep-alive\r\n\r\n");
        return QString::fromLatin1(reply.body);
    }

    mailsink::MailSink relay;
    ServerFixture fixture;
};

TEST_P(Confirmation, AnAccountIsFoundByItsAddressOnlyOnceTheMailboxConfirmsItAndConfirmingTwiceOrLateIsHarmless) {
    const QString bobId = fixture.registered("Bob", QHostAddress("127.0.0.3"));
    ASSERT_TRUE(open(linkIn(mail(1))).contains("bob@example.org is confirmed"));
    // Ann registers: her client gets its ID as ever, her mailbox the link.
    const QString annId = fixture.registered("Ann", QHostAddress("127.0.0.2"));
    const mailsink::ReceivedMail annMail = mail(2);
    EXPECT_EQ(annMail.to, QStringList{"ann@example.org"});
    const QString link = linkIn(annMail);
    EXPECT_TRUE(link.startsWith(QStringLiteral("http://127.0.0.1:%1/confirm?code=").arg(fixture.webPort())))
        << annMail.body().toStdString();

    // Until she confirms, Bob adding her address hears what he hears for an address nobody has.
    const QStringList added = send({"4", bobId, "ann@example.org"}, "127.0.0.3").fields();
    const QStringList nobody = send({"4", bobId, "nobody@example.org"}, "127.0.0.3").fields();
    EXPECT_EQ(added.mid(2), (QStringList{"", "ann@example.org", "", "0"}));
    EXPECT_EQ(nobody.mid(2), (QStringList{"", "nobody@example.org", "", "0"}));
    EXPECT_EQ(added.value(1).size(), nobody.value(1).size());
    ASSERT_EQ(send({"4", annId, "bob@example.org"}, "127.0.0.2").code(), "4");

    // She opens the link; her next request tells her so (once), with her list.
    EXPECT_TRUE(open(link).contains("Thank you: ann@example.org is confirmed."));
    const QStringList thanked = send({"1", annId, "ann@example.org"}, "127.0.0.2", callAddress(2)).fields();
    EXPECT_EQ(thanked.value(0), "11");
    EXPECT_EQ(thanked.value(7), "E-mail address confirmed");
    EXPECT_EQ(send({"1", annId, "ann@example.org"}, "127.0.0.2", callAddress(2)).code(), "1");
    // Bob's entry, made while her address was nobody's, is hers now: his list shows her on line.
    const QStringList bobSees = send({"1", bobId, "bob@example.org"}, "127.0.0.3", callAddress(3)).fields();
    EXPECT_EQ(bobSees.mid(bobSees.indexOf(added.value(1)), 5),
              (QStringList{added.value(1), "Ann", "ann@example.org", callAddress(2), "1"}));
    // Twice is harmless, and so is a look-alike of the link.
    EXPECT_TRUE(open(link).contains("was confirmed already"));
    EXPECT_TRUE(open(link.chopped(1) + (link.endsWith('a') ? "b" : "a")).contains("not known here"));

    // Cy never confirms: a day on, her account is gone and her link late, with no harm done.
    const QString cyId = fixture.registered("Cy", QHostAddress("127.0.0.4"));
    const QString cyLink = linkIn(mail(3));
    ASSERT_EQ(send({"4", bobId, "cy@example.org"}, "127.0.0.3").code(), "4");
    fixture.clock.now += 86'400'001;
    fixture.server->service().sweep();
    EXPECT_TRUE(open(cyLink).contains("not known here"));
    EXPECT_EQ(send({"1", cyId, "cy@example.org"}, "127.0.0.4").code(), "1957");
    EXPECT_FALSE(fixture.server->storage().findUser(cyId.toLongLong()));
    // Bob's entry for her address stays, standing for whoever confirms it one day.
    EXPECT_EQ(send({"4", bobId, "cy@example.org"}, "127.0.0.3").fields().value(1),
              "cy@example.org is already in your contact list.");
}

// Someone who knows Ann's address tries the forms that gave accounts beside hers: each is refused,
// folds into her address (whose mail goes to her), or names a mailbox of its own, whose link goes
// there and nowhere else.
TEST_P(Confirmation, LookAlikesOfAnAddressAreRefusedFoldedOrConfirmedOnlyFromTheirOwnMailbox) {
    fixture.registered("Ann", QHostAddress("127.0.0.2"));
    ASSERT_TRUE(open(linkIn(mail(1))).contains("is confirmed"));
    const QString eve = "127.0.0.66";
    const struct {
        QString email;
        const char* answer;  // the reply's code
        const char* mailbox; // where a mail went, if any
    } cases[] = {
        {"ann@example.org.", "3", "ann@example.org"},
        {"ANN@Example.ORG", "3", "ann@example.org"},
        {"ann\u00ad@example.org", "1985", nullptr}, // soft hyphen
        {"ann+x@example.org", "3", "ann+x@example.org"},
    };
    int mails = 1;
    for (const auto& c : cases) {
        const ChatReply reply = send({"3", "eve", "PC", c.email, "Eve"}, eve);
        EXPECT_EQ(reply.code(), c.answer) << c.email.toStdString() << ": " << reply.payload.toStdString();
        if (!c.mailbox) continue;
        const mailsink::ReceivedMail sent = mail(++mails);
        EXPECT_EQ(sent.to, QStringList{c.mailbox}) << c.email.toStdString();
        // The forms of Ann's address tell her someone tried, and carry no link.
        EXPECT_EQ(linkIn(sent).isEmpty(), QString(c.mailbox) == "ann@example.org") << sent.body().toStdString();
        EXPECT_EQ(sent.body().contains("The address belongs to an account already"), linkIn(sent).isEmpty());
    }
    EXPECT_EQ(fixture.server->storage().findUserByEmail("ann@example.org")->displayName, "Ann");
    EXPECT_FALSE(fixture.server->storage().findUserByEmail("ann+x@example.org"));
    // The owner of ann+x@ (Ann, as it happens) can confirm that one, from its own mail.
    EXPECT_TRUE(open(linkIn(relay.received().last())).contains("ann+x@example.org is confirmed"));
}

// The relay as it really behaves at times: busy, refusing one recipient for good, or silent;
// taking commands in a row or one at a time. Mails wait and go out once it takes them; one
// refused for good does not hold up the others.
class MailRelay : public ::testing::TestWithParam<bool> {};

TEST_P(MailRelay, MailsWaitForABusyRelayAndARefusedOneHoldsUpNoOther) {
    mailsink::MailSink relay;
    relay.setPipelining(GetParam());
    QString error;
    ASSERT_TRUE(relay.listen(QHostAddress("127.0.0.1"), 0, &error)) << error.toStdString();
    chatserver::MailRelay settings;
    settings.port = relay.port();
    settings.from = "colloqchat@chat.example.org";
    settings.heloName = "chat.example.org";
    chatserver::SmtpClient client(settings);
    QStringList finished;
    QObject::connect(&client, &chatserver::SmtpClient::finished, &client,
                     [&](const QString& to, bool taken) { finished.append(to + (taken ? " taken" : " refused")); });

    relay.failSessions(1);
    relay.refuseRecipient("gone@example.org", 550);
    client.send({"ann@example.org", "Hello", "Dear \u00c9lodie,\n.a line with a dot\n.\nend\n"});
    client.send({"gone@example.org", "Hello", "x\n"});
    client.send({"\u00e9lodie@example.org", "Hello", "y\n"});
    ASSERT_TRUE(waitFor([&] { return finished.size() == 3; }, 15000)) << finished.join(", ").toStdString();
    EXPECT_EQ(finished,
              (QStringList{"ann@example.org taken", "gone@example.org refused", "\u00e9lodie@example.org taken"}));
    EXPECT_EQ(relay.sessions(), 2); // the busy one, then one for all three
    ASSERT_EQ(relay.received().size(), 2);
    EXPECT_EQ(relay.received()[0].body(), "Dear \u00c9lodie,\n.a line with a dot\n.\nend\n");
    EXPECT_EQ(relay.received()[1].to, QStringList{"\u00e9lodie@example.org"});

    // A relay that says nothing: the mail waits and the client tries again later.
    mailsink::MailSink silent;
    silent.setSilent(true);
    ASSERT_TRUE(silent.listen(QHostAddress("127.0.0.1"), 0, &error));
    settings.port = silent.port();
    settings.replyTimeoutMs = 300;
    chatserver::SmtpClient patient(settings);
    patient.send({"ann@example.org", "Hello", "z\n"});
    ASSERT_TRUE(waitFor([&] { return silent.sessions() == 2; }, 10000));
    EXPECT_EQ(patient.waiting(), 1);
}

INSTANTIATE_TEST_SUITE_P(Relays, MailRelay, ::testing::Bool(),
                         [](const auto& pipelining) { return pipelining.param ? "InARow" : "OneAtATime"; });

// With two loops, a registration either one answers is mailed by the server's one mailer.
COLLOQ_ON_EVERY_SHAPE(Confirmation);

} // namespace
