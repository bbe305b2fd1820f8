// KVOSocket against a real server on loopback (the test support's scripted chat server): bytes on
// the wire, event order, failures and stale handles. Every event must come from the event loop,
// never from inside an operation.
#include "server/KVOSocket.h"
#include "support/ScriptedChatServer.h"
#include "support/TestEnv.h"
#include "wire/Codepage.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using testenv::waitFor;
using testsupport::ScriptedChatServer;

struct Event {
    enum Kind { Connect, Data, Close, Error };
    Event(Kind k, qint32 n = 0, QString t = {}, QString h = {})
        : kind(k), number(n), text(std::move(t)), handleText(std::move(h)) {}
    Kind kind;
    qint32 number; // handle for Connect, byte count for Data, error number for Error
    QString text;  // data for Data, description for Error
    QString handleText;
    bool duringCall = false;
};

class KVOSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.listen());
        QObject::connect(&socket, &KVOSocket::OnConnect, [this](qint32 h) { record(Event(Event::Connect, h)); });
        QObject::connect(&socket, &KVOSocket::OnDataArrival,
                         [this](qint32 n, const QString& s, const QString& h) { record(Event(Event::Data, n, s, h)); });
        QObject::connect(&socket, &KVOSocket::OnClose, [this] { record(Event(Event::Close)); });
        QObject::connect(&socket, &KVOSocket::OnError,
                         [this](qint32 number, const QString& what) { record(Event(Event::Error, number, what)); });
    }
    void TearDown() override {
        KVOSocket::setConnectTimeoutForTesting(20000);
        for (const Event& e : events)
            EXPECT_FALSE(e.duringCall) << "event " << e.kind << " raised inside a call";
    }

    void record(Event e) {
        e.duringCall = insideCall;
        events.push_back(e);
    }
    // Runs one operation, noting any event it would raise synchronously.
    template <typename Op> void call(Op&& op) {
        insideCall = true;
        op();
        insideCall = false;
    }
    int countOf(Event::Kind kind) const {
        int n = 0;
        for (const Event& e : events)
            n += e.kind == kind ? 1 : 0;
        return n;
    }
    const Event* last(Event::Kind kind) const {
        const auto found =
            std::find_if(events.rbegin(), events.rend(), [kind](const Event& event) { return event.kind == kind; });
        return found == events.rend() ? nullptr : &*found;
    }
    QString receivedText() const {
        QString all;
        for (const Event& e : events)
            if (e.kind == Event::Data) all += e.text;
        return all;
    }
    // Connects to the server and waits until it has accepted; returns the new handle.
    qint32 connectTo() {
        const int before = countOf(Event::Connect);
        const int accepted = server.connectionCount();
        call([&] { socket.Connect(QStringLiteral("127.0.0.1"), server.port()); });
        EXPECT_TRUE(waitFor([&] { return countOf(Event::Connect) > before || countOf(Event::Error) > 0; }));
        EXPECT_TRUE(waitFor([&] { return server.connectionCount() > accepted; }));
        const Event* connected = last(Event::Connect);
        return connected != nullptr ? connected->number : 0;
    }

    ScriptedChatServer server; // answers a connection's request with the reply queued for it
    KVOSocket socket;
    std::vector<Event> events;
    bool insideCall = false;
};

TEST_F(KVOSocketTest, EveryByteCrossesTheWireBothWays) {
    // In: every byte value, decoded one character per byte.
    QByteArray all;
    for (int b = 0; b <= 0xFF; ++b)
        all.append(static_cast<char>(b));
    ScriptedChatServer::Reply everyByte;
    everyByte.bytes = all;
    server.enqueue(everyByte);
    const qint32 handle = connectTo();
    ASSERT_NE(handle, 0);
    EXPECT_EQ(socket.currentHandle(), handle);

    // Out: text one byte per character, the separator as 0xD4, the euro sign as 0x80, a character
    // outside the code page as '?'.
    QByteArray high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high.append(static_cast<char>(b));
    const QString request =
        QStringLiteral("1") + QChar(0x00D4) + QChar(0x20AC) + QChar(0x03A9) + wire::fromCp1252(high);
    call([&] { socket.SendData(request, handle); });
    const QByteArray expectedOut = QByteArray("1\xD4\x80?") + high;
    ASSERT_TRUE(waitFor([&] { return server.request(0).size() >= expectedOut.size(); }));
    EXPECT_EQ(server.request(0), expectedOut);
    ASSERT_TRUE(waitFor([&] { return receivedText().size() >= all.size(); }));
    const QString text = receivedText();
    EXPECT_EQ(text, wire::fromCp1252(all));
    EXPECT_EQ(text.at(0xD4), QChar(0x00D4));
    EXPECT_EQ(text.at(0x80), QChar(0x20AC));
    EXPECT_EQ(wire::toCp1252(text), all) << "what arrives can be sent back unchanged";
    qint32 bytes = 0;
    for (const Event& e : events) {
        if (e.kind != Event::Data) continue;
        bytes += e.number;
        EXPECT_EQ(e.number, e.text.size());
        EXPECT_EQ(e.handleText, QString::number(handle));
    }
    EXPECT_EQ(bytes, 256);
    EXPECT_EQ(countOf(Event::Error), 0);
    EXPECT_EQ(countOf(Event::Close), 0);
}

TEST_F(KVOSocketTest, ConnectionsThatCannotBeMadeEndInAnErrorEvent) {
    qint32 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress(QStringLiteral("127.0.0.1"))));
        closedPort = probe.serverPort();
    }
    const struct {
        QString host;
        qint32 port;
        qint32 number;
    } cases[] = {
        {QStringLiteral("127.0.0.1"), closedPort, KVOSocket::kErrConnectionRefused},
        {QStringLiteral("127.0.0.1"), 0, KVOSocket::kErrAddressNotAvailable},
        {QString(), 19991, KVOSocket::kErrAddressNotAvailable},
    };
    for (const auto& c : cases) {
        events.clear();
        call([&] { socket.Connect(c.host, c.port); });
        ASSERT_TRUE(waitFor([&] { return countOf(Event::Error) == 1; })) << c.port;
        EXPECT_EQ(last(Event::Error)->number, c.number) << c.port;
        EXPECT_EQ(countOf(Event::Connect), 0);
        EXPECT_EQ(socket.currentHandle(), 0);
    }
}

TEST_F(KVOSocketTest, PeerCloseDeliversTheLastDataThenClose) {
    ScriptedChatServer::Reply farewell;
    farewell.bytes = "5\xD4"
                     "bye!!";
    farewell.closeAfter = true;
    server.enqueue(farewell);
    const qint32 handle = connectTo();
    call([&] { socket.SendData(QStringLiteral("1"), handle); });
    ASSERT_TRUE(waitFor([&] { return countOf(Event::Close) == 1; }));
    EXPECT_EQ(receivedText(), QStringLiteral("5") + QChar(0x00D4) + QStringLiteral("bye!!"));
    EXPECT_EQ(events.back().kind, Event::Close) << "the data comes before the close";
    EXPECT_EQ(countOf(Event::Error), 0);
    EXPECT_EQ(socket.currentHandle(), 0);

    // The handle is stale now: closing it does nothing, sending on it is an error event.
    call([&] { socket.CloseSocket(handle); });
    call([&] { socket.SendData(QStringLiteral("late"), handle); });
    ASSERT_TRUE(waitFor([&] { return countOf(Event::Error) == 1; }));
    EXPECT_EQ(last(Event::Error)->number, KVOSocket::kErrNotConnected);
    EXPECT_EQ(countOf(Event::Close), 1);
}

TEST_F(KVOSocketTest, ConnectWhileConnectedDropsTheOldConnectionSilently) {
    const qint32 first = connectTo();
    const qint32 second = connectTo();
    ASSERT_NE(second, 0);
    EXPECT_NE(second, first);
    ASSERT_TRUE(waitFor([&] { return server.connectionCount() == 2 && server.closedByClient(0); }));
    EXPECT_EQ(countOf(Event::Close), 0);
    EXPECT_EQ(countOf(Event::Error), 0);

    // The old handle no longer reaches anything, and closing it leaves the new connection alone.
    call([&] { socket.CloseSocket(first); });
    call([&] { socket.SendData(QStringLiteral("old"), first); });
    ASSERT_TRUE(waitFor([&] { return countOf(Event::Error) == 1; }));
    call([&] { socket.SendData(QStringLiteral("new"), second); });
    ASSERT_TRUE(waitFor([&] { return server.request(1) == "new"; }));
    EXPECT_TRUE(server.request(0).isEmpty());
    EXPECT_FALSE(server.closedByClient(1));
    EXPECT_EQ(socket.currentHandle(), second);
}

TEST_F(KVOSocketTest, CloseSocketFlushesWhatWasSentAndRaisesNoEvent) {
    const qint32 handle = connectTo();
    const QString request = QStringLiteral("2005") + QChar(0x00D4) + QString(5000, QLatin1Char('x'));
    call([&] {
        socket.SendData(request, handle);
        socket.CloseSocket(handle);
    });
    EXPECT_EQ(socket.currentHandle(), 0);
    ASSERT_TRUE(waitFor([&] { return server.closedByClient(0); }));
    EXPECT_EQ(server.request(0), wire::toCp1252(request));
    waitFor([] { return false; }, 100); // let any stray event surface
    EXPECT_EQ(countOf(Event::Close), 0);
    EXPECT_EQ(countOf(Event::Error), 0);
}

TEST_F(KVOSocketTest, ConnectionThatNeverCompletesTimesOut) {
    // A listener with a full backlog leaves further connection attempts unanswered.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    const quint16 port = ntohs(address.sin_port);

    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(std::make_unique<QTcpSocket>());
        fillers.back()->connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), port);
    }
    waitFor([] { return false; }, 300);

    KVOSocket::setConnectTimeoutForTesting(500);
    call([&] { socket.Connect(QStringLiteral("127.0.0.1"), port); });
    const bool ended = waitFor([&] { return countOf(Event::Error) + countOf(Event::Connect) > 0; }, 10000);
    fillers.clear();
    ::close(listener);
    ASSERT_TRUE(ended);
    if (countOf(Event::Connect) > 0) GTEST_SKIP() << "this kernel accepted beyond the backlog";
    EXPECT_EQ(last(Event::Error)->number, KVOSocket::kErrTimedOut);
    EXPECT_EQ(socket.currentHandle(), 0);
}

} // namespace
