// The web pages over real sockets, asked with the client's exact requests, and read back the way
// the client reads them: markers searched in the raw reply, headers included. The alternate
// server's answers as the client takes them: client_server_test.cpp.
#include "ServerTestSupport.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

using servertest::Backend;
using servertest::clientGet;
using servertest::httpExchange;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kAnn("127.0.0.2");

// The client's reading of a page: from `skip` characters on from the start marker up to the end
// marker, trimmed, and the number right after the end marker (the redirect page's stamp).
std::pair<QString, qint64> clientReading(const QByteArray& raw, const QString& start, qsizetype skip,
                                         const QString& end) {
    const QString text = wire::fromCp1252(raw);
    const qsizetype from = text.indexOf(start);
    const qsizetype to = from < 0 ? -1 : text.indexOf(end, from + skip);
    if (to < 0) return {"<no markers>", 0};
    const QString after = text.mid(to + end.size()).trimmed();
    qsizetype digits = 0;
    while (digits < after.size() && after[digits].isDigit())
        ++digits;
    return {text.mid(from + skip, to - from - skip).trimmed(), after.left(digits).toLongLong()};
}
std::pair<QString, qint64> clientLookValue(const QByteArray& raw) {
    return clientReading(raw, "StartLookWANIP =", 16, "EndLookWANIP");
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

TEST_P(WebPagesTest, AddressPagesAnswerTheCallersAddressAndTheRedirectThePublicOne) {
    const auto chatPage = get("ClientChatIP.aspx", QHostAddress("127.0.0.7"));
    EXPECT_EQ(chatPage.status, 200);
    EXPECT_EQ(clientReading(chatPage.raw, "StartClientChatWANIP =", 23, "EndClientChatWANIP").first, "127.0.0.7");
    EXPECT_TRUE(chatPage.raw.contains("Content-Length: " + QByteArray::number(chatPage.body.size())));
    // Page names are matched without regard to case, as the original web server did.
    EXPECT_EQ(clientLookValue(get("INFOIP.ASP", QHostAddress("127.0.0.8")).raw).first, "127.0.0.8");
    EXPECT_EQ(clientLookValue(get("ChatServerIP.asp").raw), std::make_pair(QString("10.20.30.40"), qint64(1152007)));
}

TEST_P(WebPagesTest, TheAlternateServerAnswersOnlyTheAddressThatLoggedIn) {
    const QString ann = chat({"3", "ann", "PC", "ann@example.org", "Ann"}, "127.0.0.2:5060", kAnn).section(S, 3, 3);
    const QString tail = S + ann + S + "127.0.0.2:5070" + S + "Jet OLEDB:Database Password=brick789";
    // Someone else who knows Ann's ID: no markers, which the client takes as a malformed reply.
    for (const QString& page :
         {"InfoDT.asp?ReqDt=77" + S + ann + S + "01/15/2007 10:11:12" + tail, "InfoDT.asp?ReqDt=2" + tail}) {
        const auto stranger = get(page, QHostAddress("127.0.0.66"));
        EXPECT_EQ(stranger.status, 200);
        EXPECT_FALSE(stranger.raw.contains("EndLookWANIP"));
    }
    EXPECT_EQ(fixture.server->storage().findUser(ann.toLongLong())->address, "127.0.0.2:5060");
    EXPECT_TRUE(get("InfoDT.asp?ReqDt=2" + tail).raw.contains("StartLookWANIP =2EndLookWANIP"));
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
