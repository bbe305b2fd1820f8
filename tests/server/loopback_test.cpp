// The chat port and the web pages over real loopback sockets, against a server in this process,
// and callers who mean harm or are broken: the server answers or closes, stays up, tells nothing
// and loses nothing.
#include "ServerTestSupport.h"
#include "tests/support/Linphonec.h"
#include "web/WebText.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QFile>
#include <QMap>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace servertest;

namespace {

const QString S = QString(wire::kSep);
const QHostAddress kAnn("127.0.0.2");

struct RawReply {
    bool done = false; // the server closed the connection (or the answer came whole, when that was asked)
    int error = 0;     // how the end was read: 0 for a goodbye
    wire::ReplyFramer::Result framed;
};

// Reads `fd` until the server ends the connection, or with `untilClosed` false until the answer
// is whole, without blocking: with one loop the server runs on this thread, between the reads.
RawReply readReply(int fd, bool untilClosed = true) {
    wire::ReplyFramer framer;
    RawReply reply;
    reply.done = waitFor([&] {
        char buffer[512];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0 && reply.framed.status != wire::ReplyFramer::Status::Complete)
            reply.framed = framer.feed(wire::fromCp1252(QByteArray(buffer, got)));
        if (!untilClosed && reply.framed.status == wire::ReplyFramer::Status::Complete) return true;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        reply.error = got < 0 ? errno : 0;
        return got <= 0;
    });
    return reply;
}

class ChatPortTest : public ::testing::TestWithParam<ServerShape> {
protected:
    void SetUp() override {
        if (!fixture.start(GetParam(), [](chatserver::ServerConfig& config) {
                config.limits.requestTimeoutMs = 2000;
                config.limits.idleTimeoutMs = 300;
                config.limits.maxPerAddress = 5;
                config.limits.connections = {60, 600'000};
                config.publicAddress = "10.20.30.40";
                config.web.redirectStamp = 1152007;
            }))
            GTEST_SKIP() << fixture.skipped.toStdString();
        annId = fixture.registered("Ann", kAnn, callAddress(2));
        ASSERT_FALSE(annId.isEmpty());
    }
    void expectServing() {
        const ChatReply reply = send({"1", annId, "ann@example.org"}, callAddress(2));
        EXPECT_EQ(reply.code(), "1") << reply.payload.toStdString();
    }
    ChatReply send(const QStringList& fields, const QString& address, const QHostAddress& from = kAnn) {
        return fixture.send(fields, from, address);
    }
    HttpReply get(const QString& page, const QHostAddress& from = kAnn) {
        return httpExchange(fixture.host, fixture.webPort(), clientGet(page), from);
    }
    chatserver::TcpListener& chat() { return *fixture.server->chatListener(); }
    std::unique_ptr<QTcpSocket> connectFrom(const QHostAddress& from) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(from, 0);
        socket->connectToHost(fixture.host, fixture.chatPort());
        return socket;
    }
    bool allClosed() {
        return waitFor([&] { return chat().openConnections() == 0; });
    }
    // How a connection from `from` that sent `request` (if any) ends: "goodbye" when the server
    // closes it, or how else it ended.
    std::string endOf(const QHostAddress& from, const QByteArray& request) {
        const int fd = rawSocketFrom(from, fixture.host, fixture.chatPort());
        if (fd < 0) return std::string("no connection: ") + std::strerror(errno);
        // A request the server reset the connection for is read below as the reset.
        [[maybe_unused]] const ssize_t sent =
            ::send(fd, request.constData(), std::size_t(request.size()), MSG_NOSIGNAL);
        const RawReply reply = readReply(fd);
        ::close(fd);
        if (!reply.done) return std::string("still open");
        return reply.error == 0 ? std::string("goodbye") : std::strerror(reply.error);
    }

    ServerFixture fixture;
    QString annId;
};

// What the client reads out of a page, with its own functions; nothing when the markers are not
// both there.
QString clientRead(const HttpReply& page, std::optional<QString> (*read)(const QString&, int*, int)) {
    return read(wire::fromCp1252(page.raw), nullptr, 0).value_or("<no markers>");
}

TEST_P(ChatPortTest, ARequestArrivingInPiecesIsAnsweredOnceWhole) {
    const QByteArray request = chatRequest({"1", annId, "ann@example.org"}, callAddress(3));
    const auto socket = connectFrom(kAnn);
    ASSERT_TRUE(socket->waitForConnected(5000));
    const quint64 answeredBefore = chat().stats().answered, receivedBefore = chat().stats().bytesReceived;
    for (qsizetype sent = 7; sent - 7 < request.size(); sent += 7) {
        socket->write(request.mid(sent - 7, 7));
        // Nothing is answered early, not even when a piece ends inside the address with a digit.
        ASSERT_TRUE(waitFor(
            [&] { return chat().stats().bytesReceived - receivedBefore >= quint64(std::min(sent, request.size())); }));
        EXPECT_TRUE(sent >= request.size() || chat().stats().answered == answeredBefore) << sent;
    }
    ASSERT_TRUE(waitFor([&] { return chat().stats().answered > answeredBefore; }));
    EXPECT_EQ(fixture.server->storage().findUser(annId.toLongLong())->address, callAddress(3));
}

quint16 localPort(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

// The kernel still keeps a closed IPv4 connection of this port (waiting for the other side's
// goodbye, or a minute after it).
bool kernelHolds(quint16 port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) return true;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
    for (const QByteArray& line : table.readAll().split('\n'))
        if (line.simplified().split(' ').value(1).append(' ').endsWith(local)) return true;
    return false;
}

// A caller may stop sending once its request is out and read the answer only afterwards, with
// a window too small for all of it: its hang-up reaches the server while part of the answer is
// still in flight, and that part must still come, ending in a close rather than a reset.
TEST_P(ChatPortTest, ACallerThatHangsUpBeforeReadingStillGetsTheWholeAnswer) {
    chatserver::Storage& store = fixture.server->storage();
    constexpr int kContacts = 60; // each shown with its e-mail address: several kilobytes
    for (int i = 0; i < kContacts; ++i) {
        const QString name = QStringLiteral("Friend%1").arg(i);
        const std::optional<qint64> id = store.registerUser(
            {name.toLower() + "@example.org", name, "", "", callAddress(9), "127.0.0.9", fixture.clock.now, {}});
        ASSERT_TRUE(id && store.addContact(annId.toLongLong(), *id, fixture.clock.now, 0)) << i;
    }
    const int fd = rawSocketFrom(kAnn, fixture.host, fixture.chatPort(), 0, [](int socket) {
        const int smallest = 1; // the kernel's least receive buffer, about two kilobytes
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    });
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const quint64 answeredBefore = chat().stats().answered;
    const QByteArray request = chatRequest({"1", annId, "ann@example.org"}, callAddress(2));
    ASSERT_EQ(::send(fd, request.constData(), std::size_t(request.size()), MSG_NOSIGNAL), request.size());
    ASSERT_TRUE(waitFor([&] { return chat().stats().answered > answeredBefore; }));
    waitFor([] { return false; }, 100); // the answer fills the window and the rest waits at the server
    ::shutdown(fd, SHUT_WR);
    waitFor([] { return false; }, 100); // the server sees the hang-up with the answer still in flight

    const RawReply reply = readReply(fd);
    ::close(fd);
    ASSERT_TRUE(reply.done);
    EXPECT_EQ(reply.error, 0) << "the answer ended in " << std::strerror(reply.error);
    ASSERT_EQ(reply.framed.status, wire::ReplyFramer::Status::Complete);
    for (int i = 0; i < kContacts; ++i)
        EXPECT_TRUE(reply.framed.payload.contains(QStringLiteral("friend%1@example.org").arg(i) + wire::kSep)) << i;
    EXPECT_TRUE(allClosed());
}

// The caller who hangs up after its answer, as every client does, is let go with a reset: its
// side keeps nothing of the connection (a goodbye of ours would have it wait a minute). Where the
// server is the one to end a connection, it says goodbye: no caller reads a reset for a request
// it got wrong (nor for a full house: the flood below).
TEST_P(ChatPortTest, APollEndsWithoutTraceAndARefusalWithAGoodbye) {
    const QByteArray poll = chatRequest({"1", annId, "ann@example.org"}, callAddress(2));
    for (int round = 0; round < 3; ++round) {
        const int fd = rawSocketFrom(kAnn, fixture.host, fixture.chatPort());
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ASSERT_EQ(::send(fd, poll.constData(), std::size_t(poll.size()), MSG_NOSIGNAL), poll.size());
        ASSERT_EQ(readReply(fd, false).framed.status, wire::ReplyFramer::Status::Complete);
        const quint16 port = localPort(fd);
        ::close(fd);
        ASSERT_TRUE(waitFor([&] { return !kernelHolds(port); })) << "round " << round;
    }

    EXPECT_EQ(endOf(kAnn, chatRequest({"9", annId}, callAddress(2))), "goodbye") << "an unknown code";
    EXPECT_EQ(endOf(kAnn, QByteArray("\x01\x02\x03\xff", 4)), "goodbye") << "binary";
    EXPECT_TRUE(allClosed());
}

TEST_P(ChatPortTest, TruncatedOversizedUnknownAndUnclearRequests) {
    const QByteArray registration = chatRequest({"3", "bob", "PC", "bob@example.org", "Bob"}, callAddress(3));
    struct Case {
        const char* what;
        QByteArray bytes;
        QString code; // empty: closed without an answer
    } cases[] = {
        {"half a registration, then silence", registration.left(registration.size() / 2), {}},
        {"a request over 8 KiB", chatRequest({"3", "u", "pc", "big@example.org", QString(9000, 'x')}, ""), {}},
        {"an unknown code", chatRequest({"9", annId}, callAddress(2)), {}},
        {"a code too long", wire::toCp1252(wire::scrambled("20051")), {}},
        {"binary", QByteArray("\x01\x02\x03\xff", 4), {}},
        {"a field that never ends", wire::toCp1252(wire::scrambled("1" + S + QString(9000, '7'))), {}},
        {"too many fields in a registration", chatRequest({"3", "u", "pc", "a@b.org", "A", "B"}, "1.2.3.4"), "1985"},
        {"a port no client can take", chatRequest({"1", annId, "ann@example.org"}, "127.0.0.2:99999"), "1957"},
        // The user is told, instead of a connection that closes without a word.
        {"a contact's e-mail holding the separator", chatRequest({"4", annId, "a" + S + "b@x.org"}, callAddress(2)),
         "1957"},
        // The pages put names between their markers, and clients show them.
        {"a name carrying a page marker", chatRequest({"3", "u", "pc", "m@x.org", "A EndLookWANIP"}, ""), "1985"},
        {"a name with a control character", chatRequest({"3", "u", "pc", "c@x.org", "A\x01"}, ""), "1985"},
        {"a name that looks like SQL", chatRequest({"3", "u", "pc", "q@x.org", "R'); DROP TABLE users;--"}, ""), "3"},
        {"an address registered already", chatRequest({"3", "u", "pc", "Ann@example.org", "A"}, ""), "1985"},
    };
    for (const Case& c : cases) {
        const auto reply = exchange(fixture.host, fixture.chatPort(), c.bytes, loopback(9));
        EXPECT_TRUE(reply.answered || reply.closed) << c.what;
        EXPECT_EQ(reply.answered ? reply.code() : QString(), c.code) << c.what;
    }
    EXPECT_FALSE(fixture.server->storage().findUserByEmail("bob@example.org"));
    EXPECT_FALSE(fixture.server->storage().findUserByEmail("big@example.org"));
    EXPECT_EQ(fixture.server->storage().findUser(annId.toLongLong())->address, callAddress(2));
    EXPECT_TRUE(allClosed());
    // A first registration carries an empty address; a plain poll ends in an e-mail address. The
    // test client's framer counts decoded characters: a prefix counting UTF-8 bytes would hang it.
    EXPECT_EQ(send({"3", "u", "pc", "\u00e9@example.org", "\u00c9\u20ac\u00fc"}, "").fields().value(4),
              "\u00e9@example.org");
    const QString plainPoll = "1" + S + annId + S + "ann@example.org";
    EXPECT_EQ(exchange(fixture.host, fixture.chatPort(), wire::toCp1252(plainPoll), kAnn).payload, "1");
}

TEST_P(ChatPortTest, SlowCallersAreLetGoAndAFloodFromOneAddressIsCapped) {
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    slow.reserve(4);
    for (int i = 0; i < 4; ++i)
        slow.push_back(connectFrom(QHostAddress(QStringLiteral("127.0.0.%1").arg(40 + i))));
    ASSERT_TRUE(waitFor([&] { return chat().openConnections() == 4; }));
    // One of them trickles the start of a request, another keeps its connection after its answer.
    slow[0]->write(chatRequest({"1", annId, "ann@example.org"}, callAddress(2)).left(3));
    slow[1]->write(chatRequest({"3", "kim", "PC", "kim@example.org", "Kim"}, callAddress(41)));
    ASSERT_TRUE(waitFor([&] { return slow[1]->bytesAvailable() > 0; }));
    expectServing();
    ASSERT_TRUE(allClosed());
    EXPECT_GE(chat().stats().timedOut, 4u);

    const QHostAddress flooder("127.0.0.50");
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    flood.reserve(20);
    const quint64 acceptedBefore = chat().stats().accepted;
    for (int i = 0; i < 20; ++i)
        flood.push_back(connectFrom(flooder));
    ASSERT_TRUE(waitFor([&] { return chat().stats().accepted - acceptedBefore >= 20; }));
    EXPECT_EQ(chat().stats().refusedAtDoor, 15u);
    // Closed at the door with a goodbye. (Had it sent its request already, the kernel would answer
    // the close of a socket holding it unread with a reset, whatever the server asks for.)
    EXPECT_EQ(endOf(flooder, {}), "goodbye");
    EXPECT_EQ(chat().stats().refusedAtDoor, 16u);
    expectServing(); // another address is not held up
    flood.clear();
    ASSERT_TRUE(allClosed());
    EXPECT_EQ(send({"1", annId, "ann@example.org"}, callAddress(2), flooder).code(), "1");
    // One after the other, new connections from one address are limited too.
    int answered = 0;
    for (int i = 0; i < 70; ++i)
        answered += send({"1", annId, "ann@example.org"}, callAddress(2), loopback(51)).answered;
    EXPECT_EQ(answered, 60);
}

// The serving loops of one server share its ports; a second server started on them by mistake is
// told they are taken, and serves none of their callers.
TEST(ServingLoops, AnotherServerCannotJoinThePortsTheLoopsShare) {
    ServerFixture fixture;
    ASSERT_TRUE(fixture.start(ServerShape{Backend::Sqlite, 2})) << fixture.skipped.toStdString();
    chatserver::ServerConfig config = fixture.server->config();
    config.chatPort = fixture.chatPort();
    config.webPort = 0;
    chatserver::ChatServer second(config, fixture.clock.clock());
    QString error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_TRUE(error.contains(QString::fromLocal8Bit(std::strerror(EADDRINUSE)))) << error.toStdString();
}

// A port that takes datagrams and never answers, counting the OPTIONS requests that reach it.
struct SilentPort {
    QUdpSocket socket;
    int options = 0;
    explicit SilentPort(const char* host) { socket.bind(QHostAddress(host), 0); }
    QString address() const { return socket.localAddress().toString() + ":" + QString::number(socket.localPort()); }
    int received() {
        while (socket.hasPendingDatagrams())
            options += socket.receiveDatagram().data().startsWith("OPTIONS sip:");
        return options;
    }
};

// At log-in the server asks the caller's call address whether it answers SIP: a softphone does
// and nothing is said; a silent port is told, with what to check. Nothing goes to an address
// other than the caller's own, and no more often than the limits allow, however many log-ins
// name it, and whichever serving loop answers them.
class CallAddressCheck : public ::testing::TestWithParam<int> {};

TEST_P(CallAddressCheck, ASilentAddressIsToldAnAnsweringOneIsNotAndNoAddressCanBeFlooded) {
    ServerFixture fixture;
    if (!fixture.start(ServerShape{Backend::Sqlite, GetParam()}, [](chatserver::ServerConfig& config) {
            config.callCheck.enabled = true;
            config.callCheck.perAccount = {2, 600'000};
            config.callCheck.perTarget = {3, 600'000};
        }))
        GTEST_SKIP() << fixture.skipped.toStdString();
    const auto logIn = [&](const QString& id, const QString& name, const QString& address, int from) {
        return fixture.send({"1", id, name + "@example.org"}, loopback(from), address).fields();
    };

    // Ann, with a contact, gets the notice as a message box after her list; Bob, whose port is
    // closed and who has no contact yet, as the red status text.
    SilentPort ann("127.0.0.2");
    const QString annId = fixture.registered("ann", loopback(2), ann.address());
    const QString bobId = fixture.registered("bob", loopback(3), callAddress(3));
    ASSERT_EQ(fixture.send({"4", annId, "bob@example.org"}, loopback(2), ann.address()).code(), "4");
    const QStringList told = logIn(annId, "ann", ann.address(), 2);
    ASSERT_EQ(told.size(), 8) << told.join(S).toStdString();
    EXPECT_EQ(told.value(0), "11");
    EXPECT_EQ(told.value(3), "bob@example.org");
    EXPECT_TRUE(told.value(6).contains(ann.address() + " and got no answer")) << told.value(6).toStdString();
    const QStringList bobTold = logIn(bobId, "bob", callAddress(3), 3);
    EXPECT_EQ(bobTold.value(0), "1957");
    EXPECT_TRUE(bobTold.value(1).contains("forward UDP port 5060")) << bobTold.join(S).toStdString();

    // A real softphone answers the check: its user is told nothing.
    if (testsupport::haveLinphonec()) {
        testsupport::Linphonec phone(false);
        ASSERT_TRUE(phone.started()) << phone.output().toStdString();
        const QString linId = fixture.registered("lin", loopback(1), phone.address());
        EXPECT_EQ(logIn(linId, "lin", phone.address(), 1), QStringList{"1"});
    }

    // Ann logging in again and again, then five accounts from her address naming it: three
    // datagrams in all reach her port, and the log-ins not checked are answered at once.
    QMap<QString, int> codes;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(fixture.send({"2005", annId}, loopback(2), ann.address()).code(), "2005");
        ++codes[logIn(annId, "ann", ann.address(), 2).value(0)];
    }
    for (int i = 0; i < 5; ++i) {
        const QString name = QString("u%1").arg(i);
        ++codes[logIn(fixture.registered(name, loopback(2), ann.address()), name, ann.address(), 2).value(0)];
    }
    EXPECT_EQ(codes, (QMap<QString, int>{{"11", 1}, {"1", 7}, {"1957", 1}}));
    EXPECT_EQ(ann.received(), 3);
    // Eve names someone else's address as hers: nothing is sent there, and she learns nothing.
    SilentPort victim("127.0.0.6");
    const QString eveId = fixture.registered("eve", loopback(4), victim.address());
    EXPECT_EQ(logIn(eveId, "eve", victim.address(), 4), QStringList{"1"});
    EXPECT_EQ(victim.received(), 0);
    // A caller who hangs up while its log-in waits for the check leaves nothing behind.
    SilentPort cid("127.0.0.5");
    const QString cidId = fixture.registered("cid", loopback(5), cid.address());
    {
        QTcpSocket quitter;
        quitter.bind(loopback(5), 0);
        quitter.connectToHost(fixture.host, fixture.chatPort());
        quitter.write(chatRequest({"1", cidId, "cid@example.org"}, cid.address()));
        ASSERT_TRUE(waitFor([&] { return cid.received() == 1; }));
    }
    waitFor([] { return false; }, 2500); // past the end of that check
    EXPECT_EQ(logIn(cidId, "cid", cid.address(), 5).value(0), "1957");
}

INSTANTIATE_TEST_SUITE_P(Loops, CallAddressCheck, ::testing::Values(1, 2),
                         [](const auto& loops) { return loops.param == 1 ? "OneLoop" : "TwoLoops"; });

TEST_P(ChatPortTest, WebPagesAnswerTheCallerTheAlternateServerOnlyTheAddressThatLoggedInAndOthersPlainly) {
    const auto chatPage = get("ClientChatIP.aspx", loopback(7));
    EXPECT_EQ(chatPage.status, 200);
    EXPECT_EQ(clientRead(chatPage, web::clientChatValue), "127.0.0.7");
    EXPECT_TRUE(chatPage.raw.contains("Content-Length: " + QByteArray::number(chatPage.body.size())));
    // Page names are matched without regard to case, as the original web server did.
    EXPECT_EQ(clientRead(get("INFOIP.ASP", loopback(8)), web::lookWanValue), "127.0.0.8");
    const auto redirect = web::redirectAnswer(wire::fromCp1252(get("ChatServerIP.asp").raw));
    ASSERT_TRUE(redirect);
    EXPECT_EQ(std::make_pair(redirect->address, redirect->stamp), std::make_pair(QString("10.20.30.40"), 1152007));
    const QString tail = S + annId + S + "127.0.0.2:5070" + S + "Jet OLEDB:Database Password=brick789";
    // Someone else who knows Ann's ID: no markers, which the client takes as a malformed reply.
    for (const QString& page :
         {"InfoDT.asp?ReqDt=77" + S + annId + S + "01/15/2007 10:11:12" + tail, "InfoDT.asp?ReqDt=2" + tail})
        EXPECT_FALSE(get(page, loopback(66)).raw.contains("EndLookWANIP")) << page.toStdString();
    EXPECT_EQ(fixture.server->storage().findUser(annId.toLongLong())->address, callAddress(2));
    EXPECT_TRUE(get("InfoDT.asp?ReqDt=2" + tail).raw.contains("StartLookWANIP =2EndLookWANIP"));
    const std::pair<QByteArray, int> others[] = {
        {clientGet("nothing-here.asp"), 404},
        {"POST //InfoDT.asp HTTP/1.1\r\nHost: x:80\r\nContent-Length: 0\r\n\r\n", 405},
        {QByteArray("\x00\x01\x02\xff\r\n\r\n", 8), 400},
        {"GET //infoip.asp HTTP/1.1\r\nX: " + QByteArray(9000, 'a') + "\r\n\r\n", 400},
    };
    for (const auto& [request, status] : others)
        EXPECT_EQ(httpExchange(fixture.host, fixture.webPort(), request).status, status) << request.toStdString();
}

TEST_P(ChatPortTest, ACrawlerKnowingOneEmailLearnsNothingAndTakesOverNothing) {
    // Ann and Bob list each other; Eve, from another address, knows Ann's e-mail address.
    const QHostAddress bobFrom("127.0.0.3");
    const QString bob = fixture.registered("Bob", bobFrom, callAddress(3));
    ASSERT_EQ(send({"4", annId, "bob@example.org"}, callAddress(2)).code(), "4");
    ASSERT_EQ(send({"4", bob, "ann@example.org"}, callAddress(3), bobFrom).code(), "4");
    const QHostAddress eveFrom("127.0.0.66");
    const QString eve = fixture.registered("Eve", eveFrom, callAddress(66));
    const QStringList added = send({"4", eve, "ann@example.org"}, callAddress(66), eveFrom).fields();
    ASSERT_EQ(added.size(), 6);
    EXPECT_EQ(added.mid(2), (QStringList{"", "ann@example.org", "", "0"})); // no name, no address, not on line
    const QString seen = added.join(S) + S + send({"1", eve, "eve@example.org"}, callAddress(66), eveFrom).payload;
    for (const QString& secret : {annId, bob, callAddress(2), callAddress(3), QString("bob@")})
        EXPECT_FALSE(seen.contains(secret)) << secret.toStdString();
    // Log-ins as Ann with every number Eve has seen are refused and change nothing of Ann's.
    for (const QString& guess : {added[1], eve})
        EXPECT_EQ(send({"1", guess, "ann@example.org"}, callAddress(66), eveFrom).code(), "1957");
    const auto ann = fixture.server->storage().findUser(annId.toLongLong());
    EXPECT_EQ(ann->loginPeer, "127.0.0.2");
    EXPECT_EQ(ann->address, callAddress(2));
    const QStringList bobSees = send({"1", bob, "bob@example.org"}, callAddress(3), bobFrom).fields();
    EXPECT_EQ(bobSees.mid(4), (QStringList{callAddress(2), "1"}));
    // A registration flood from one address: throttled after 20.
    const QHostAddress flood("127.0.0.67");
    QMap<QString, int> answers;
    for (int i = 0; i < 30; ++i)
        ++answers[send({"3", "u", "pc", QString("r%1@example.org").arg(i), "R"}, "", flood).code()];
    EXPECT_EQ(answers, (QMap<QString, int>{{"3", 20}, {"1985", 10}}));
}

TEST_P(ChatPortTest, AStoreFileDeletedUnderTheServerIsNoticedAndNothingIsAcknowledgedAfter) {
    if (GetParam().backend != Backend::Sqlite) GTEST_SKIP() << "a store file";
    ASSERT_TRUE(QFile::remove(fixture.server->config().store.mid(7))); // after "sqlite:"
    fixture.server->flushPresence();                                   // the check the flush timer makes every second
    EXPECT_EQ(send({"3", "bob", "PC", "bob@example.org", "Bob"}, callAddress(3), loopback(3)).fields(),
              (QStringList{"1985", "The server cannot save anything at the moment. Please try "
                                   "again later."}));
    EXPECT_EQ(send({"1", annId, "ann@example.org"}, callAddress(2)).code(), "1957");
    EXPECT_EQ(send({"2005", annId}, callAddress(2)).code(), "2005"); // the client still closes at once
    EXPECT_EQ(get("InfoDT.asp?ReqDt=77" + S + annId + S + "x" + S + callAddress(2) + S + "k").body, "Refused.");
}

TEST_P(ChatPortTest, APostgresRestartFailsRequestsCleanlyAndTheServerReconnectsByItself) {
    if (GetParam().backend != Backend::Postgres) GTEST_SKIP() << "a PostgreSQL server restart";
    QString problem;
    if (!setPostgresRunning(false, &problem)) GTEST_SKIP() << problem.toStdString();
    // While the store is away every kind of request is refused in words, none hangs, and the
    // server stays up.
    for (const QStringList& request :
         {QStringList{"1", annId, "ann@example.org"}, QStringList{"3", "cid", "PC", "cid@example.org", "Cid"},
          QStringList{"4", annId, "bob@example.org"}})
        EXPECT_TRUE(send(request, callAddress(2)).payload.contains("cannot save anything"))
            << request.join(' ').toStdString();
    fixture.server->flushPresence(); // a write that fails quietly
    ASSERT_TRUE(setPostgresRunning(true, &problem)) << problem.toStdString();
    // The first requests once it is back are served on a fresh connection: one that writes in a
    // transaction, then a poll, of a user from before the outage.
    EXPECT_EQ(send({"3", "cid", "PC", "cid@example.org", "Cid"}, callAddress(4)).code(), "3");
    expectServing();
}

COLLOQ_ON_EVERY_SHAPE(ChatPortTest);

} // namespace
