// The web pages over real sockets, asked with the client's exact requests, and read back the way
// the client reads them: markers searched in the raw reply, headers included.
#include "ServerTestSupport.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

using servertest::Backend;
using servertest::clientGet;
using servertest::httpExchange;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kAnn("127.0.0.2");
const QHostAddress kBob("127.0.0.3");

// The client's reading of ClientChatIP.aspx: 23 characters on from the start marker, up to the
// end marker, trimmed.
QString clientChatAddress(const QByteArray& raw) {
    const QString text = wire::fromCp1252(raw);
    const qsizetype start = text.indexOf("StartClientChatWANIP =");
    if (start < 0) return "<no start>";
    const QString rest = text.mid(start + 23);
    const qsizetype end = rest.indexOf("EndClientChatWANIP");
    return end < 0 ? "<no end>" : rest.left(end).trimmed();
}

// The client's reading of infoip.asp and the redirect page: the value and the stamp after it.
std::pair<QString, qint64> clientLookValue(const QByteArray& raw) {
    const QString text = wire::fromCp1252(raw);
    const qsizetype start = text.indexOf("StartLookWANIP =");
    if (start < 0) return {"<no start>", 0};
    const QString tail = text.mid(start + 16);
    const qsizetype end = tail.indexOf("EndLookWANIP");
    if (end < 0) return {"<no end>", 0};
    QString after = tail.mid(end + 12).trimmed();
    qsizetype digits = 0;
    while (digits < after.size() && after[digits].isDigit())
        ++digits;
    return {tail.left(end).trimmed(), after.left(digits).toLongLong()};
}

// The client's reading of the alternate server: pieces cut at the end marker, every one but the
// last carrying the start marker; the values after it. Empty list when the reply is refused.
QStringList clientAlternateValues(const QByteArray& raw, bool* wellFormed) {
    const QStringList pieces = wire::fromCp1252(raw).split("EndLookWANIP");
    QStringList values;
    *wellFormed = true;
    for (qsizetype i = 0; i + 1 < pieces.size(); ++i) {
        const qsizetype marker = pieces[i].indexOf("StartLookWANIP =");
        if (marker < 0) {
            *wellFormed = false;
            return {};
        }
        values.append(pieces[i].mid(marker + 16));
    }
    return values;
}

class WebPagesTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        QString skip;
        if (!fixture.start(GetParam(), &skip, [](chatserver::ServerConfig& config) {
                config.publicAddress = "10.20.30.40";
                config.web.redirectStamp = 1152007;
            }))
            GTEST_SKIP() << skip.toStdString();
    }
    servertest::HttpReply get(const QString& page, const QHostAddress& from = kAnn) {
        return httpExchange(fixture.host, fixture.webPort(), clientGet(page), from);
    }
    QString chat(const QStringList& fields, const QString& address, const QHostAddress& from) {
        return servertest::exchange(fixture.host, fixture.chatPort(), servertest::chatRequest(fields, address), from)
            .payload;
    }
    servertest::ServerFixture fixture;
};

TEST_P(WebPagesTest, AddressPagesAnswerTheCallersAddress) {
    const auto chatPage = get("ClientChatIP.aspx", QHostAddress("127.0.0.7"));
    ASSERT_TRUE(chatPage.answered);
    EXPECT_EQ(chatPage.status, 200);
    EXPECT_EQ(clientChatAddress(chatPage.raw), "127.0.0.7");
    EXPECT_TRUE(chatPage.raw.contains("Content-Length: " + QByteArray::number(chatPage.body.size())));

    const auto info = get("infoip.asp", QHostAddress("127.0.0.8"));
    EXPECT_EQ(clientLookValue(info.raw).first, "127.0.0.8");
    // Page names are matched without regard to case, as the original web server did.
    EXPECT_EQ(clientLookValue(get("INFOIP.ASP").raw).first, "127.0.0.2");
}

TEST_P(WebPagesTest, RedirectPageAnswersThePublicAddressAndItsStamp) {
    const auto redirect = get("ChatServerIP.asp");
    const auto [address, stamp] = clientLookValue(redirect.raw);
    EXPECT_EQ(address, "10.20.30.40");
    EXPECT_EQ(stamp, 1152007);
}

TEST_P(WebPagesTest, AlternateServerPollAndSignOff) {
    const QString ann = chat({"3", "ann", "PC", "ann@example.org", "Ann"}, "", kAnn).section(S, 3, 3);
    const QString bob = chat({"3", "bob", "PC", "bob@example.org", "Bob"}, "127.0.0.3:5060", kBob).section(S, 3, 3);
    chat({"4", ann, "bob@example.org"}, "", kAnn);
    chat({"4", bob, "ann@example.org"}, "", kBob);

    // The client's alternate poll: 77, ID, its clock, its call address, the default extra value;
    // blanks become %20 and the separator goes out as a raw byte.
    const QString query = "InfoDT.asp?ReqDt=77" + S + ann + S + "01/15/2007 10:11:12" + S + "127.0.0.2:5070" + S +
                          "Jet OLEDB:Database Password=brick789";
    const auto poll = get(query);
    ASSERT_EQ(poll.status, 200);
    bool wellFormed = false;
    const QStringList values = clientAlternateValues(poll.raw, &wellFormed);
    ASSERT_TRUE(wellFormed) << poll.raw.toStdString();
    ASSERT_EQ(values.size(), 7);
    EXPECT_EQ(values[0].trimmed(), "77");
    const QString bobShown = fixture.server->service().handleFor(ann.toLongLong(), bob.toLongLong());
    EXPECT_EQ(values.mid(1, 5), (QStringList{bobShown, "Bob", "bob@example.org", "127.0.0.3:5060", "1"}));
    EXPECT_TRUE(QDateTime::fromString(values[6], "MM/dd/yyyy hh:mm:ss").isValid()) << values[6].toStdString();
    const auto annUser = fixture.server->storage().findUser(ann.toLongLong());
    EXPECT_TRUE(annUser->online);
    EXPECT_EQ(annUser->address, "127.0.0.2:5070");

    // Only from the address that logged in as that ID; a refusal carries no markers, which the
    // client takes as a malformed reply.
    const QString signOff =
        "InfoDT.asp?ReqDt=2" + S + ann + S + "127.0.0.2:5070" + S + "Jet OLEDB:Database Password=brick789";
    for (const QString& page : {query, signOff}) {
        const auto stranger = get(page, QHostAddress("127.0.0.66"));
        EXPECT_EQ(stranger.status, 200);
        EXPECT_FALSE(stranger.raw.contains("EndLookWANIP"));
    }
    EXPECT_EQ(clientAlternateValues(get(signOff).raw, &wellFormed), QStringList{"2"});
    EXPECT_TRUE(wellFormed);
    EXPECT_FALSE(fixture.server->storage().findUser(ann.toLongLong())->online);
}

TEST_P(WebPagesTest, OtherRequestsGetPlainHttpAnswers) {
    struct Case {
        QByteArray request;
        int status;
    } cases[] = {
        {clientGet("nothing-here.asp"), 404},
        {clientGet("InfoDT.asp"), 400},
        {clientGet("InfoDT.asp?ReqDt=4" + S + "1" + S + "x@y.org"), 200},
        {"POST //InfoDT.asp HTTP/1.1\r\nHost: x:80\r\nContent-Length: 0\r\n\r\n", 405},
        {"BREW //coffee HTCPCP/1.0\r\n\r\n", 400},
        {QByteArray("\x00\x01\x02\xff\r\n\r\n", 8), 400},
        {"GET //infoip.asp HTTP/1.1\r\nX: " + QByteArray(9000, 'a') + "\r\n\r\n", 400},
        {"POST //InfoDT.asp HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello", 400},
    };
    for (const Case& c : cases) {
        const auto reply = httpExchange(fixture.host, fixture.webPort(), c.request);
        EXPECT_TRUE(reply.answered) << c.request.toStdString();
        EXPECT_EQ(reply.status, c.status) << c.request.toStdString();
        EXPECT_FALSE(reply.raw.contains("EndLookWANIP")) << c.request.toStdString();
    }
}

COLLOQ_ON_BOTH_STORES(WebPagesTest);

} // namespace
