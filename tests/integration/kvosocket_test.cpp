// KVOSocket against a real server on loopback: bytes on the wire, event order, failures and
// stale handles. Every event must come from the event loop, never from inside an operation.
#include "server/KVOSocket.h"
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

// A loopback server that records what each accepted connection sends.
class Server {
public:
    struct Peer {
        QTcpSocket* socket = nullptr;
        QByteArray received;
        bool closed = false;
    };

    Server() {
        EXPECT_TRUE(m_server.listen(QHostAddress(QStringLiteral("127.0.0.1"))));
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                auto peer = std::make_unique<Peer>();
                Peer* p = peer.get();
                p->socket = socket;
                QObject::connect(socket, &QIODevice::readyRead, [p] { p->received += p->socket->readAll(); });
                QObject::connect(socket, &QAbstractSocket::disconnected, [p] { p->closed = true; });
                m_peers.push_back(std::move(peer));
            }
        });
    }
    qint32 port() const { return m_server.serverPort(); }
    std::size_t count() const { return m_peers.size(); }
    Peer& peer(std::size_t i) { return *m_peers.at(i); }

private:
    // The peers outlive the server, whose accepted sockets still signal while it is torn down.
    std::vector<std::unique_ptr<Peer>> m_peers;
    QTcpServer m_server;
};

class KVOSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
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
    // Connects to `server` and waits until it has accepted; returns the new handle.
    qint32 connectTo(Server& server) {
        const int before = countOf(Event::Connect);
        const std::size_t accepted = server.count();
        call([&] { socket.Connect(QStringLiteral("127.0.0.1"), server.port()); });
        EXPECT_TRUE(waitFor([&] { return countOf(Event::Connect) > before || countOf(Event::Error) > 0; }));
        EXPECT_TRUE(waitFor([&] { return server.count() > accepted; }));
        const Event* connected = last(Event::Connect);
        return connected != nullptr ? connected->number : 0;
    }

    KVOSocket socket;
    std::vector<Event> events;
    bool insideCall = false;
};

TEST_F(KVOSocketTest, EveryByteCrossesTheWireBothWays) {
    Server server;
    const qint32 handle = connectTo(server);
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
    ASSERT_TRUE(waitFor([&] { return server.peer(0).received.size() >= expectedOut.size(); }));
    EXPECT_EQ(server.peer(0).received, expectedOut);

    // In: every byte value, decoded one character per byte.
    QByteArray all;
    for (int b = 0; b <= 0xFF; ++b)
        all.append(static_cast<char>(b));
    server.peer(0).socket->write(all);
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
    Server server;
    const qint32 handle = connectTo(server);
    server.peer(0).socket->write("5\xD4"
                                 "bye!!");
    server.peer(0).socket->disconnectFromHost();
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
    Server server;
    const qint32 first = connectTo(server);
    const qint32 second = connectTo(server);
    ASSERT_NE(second, 0);
    EXPECT_NE(second, first);
    ASSERT_TRUE(waitFor([&] { return server.count() == 2 && server.peer(0).closed; }));
    EXPECT_EQ(countOf(Event::Close), 0);
    EXPECT_EQ(countOf(Event::Error), 0);

    // The old handle no longer reaches anything, and closing it leaves the new connection alone.
    call([&] { socket.CloseSocket(first); });
    call([&] { socket.SendData(QStringLiteral("old"), first); });
    ASSERT_TRUE(waitFor([&] { return countOf(Event::Error) == 1; }));
    call([&] { socket.SendData(QStringLiteral("new"), second); });
    ASSERT_TRUE(waitFor([&] { return server.peer(1).received == "new"; }));
    EXPECT_TRUE(server.peer(0).received.isEmpty());
    EXPECT_FALSE(server.peer(1).closed);
    EXPECT_EQ(socket.currentHandle(), second);
}

TEST_F(KVOSocketTest, CloseSocketFlushesWhatWasSentAndRaisesNoEvent) {
    Server server;
    const qint32 handle = connectTo(server);
    const QString request = QStringLiteral("2005") + QChar(0x00D4) + QString(5000, QLatin1Char('x'));
    call([&] {
        socket.SendData(request, handle);
        socket.CloseSocket(handle);
    });
    EXPECT_EQ(socket.currentHandle(), 0);
    ASSERT_TRUE(waitFor([&] { return server.peer(0).closed; }));
    EXPECT_EQ(server.peer(0).received, wire::toCp1252(request));
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
