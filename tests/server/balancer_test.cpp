// Servers behind a TCP load balancer that prefixes each connection with a PROXY header: first
// the chat port played against by hand (the header believed from the balancer only), then two
// servers on one store behind a real nginx, where every caller must still count as itself.
#include "ServerTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

using servertest::Backend;
using servertest::callAddress;
using servertest::chatRequest;
using servertest::exchange;

namespace {

const QHostAddress kBalancer("127.0.0.99");
const QHostAddress kBalancerFront("127.0.0.100");
const QString kNginx = QStringLiteral("/usr/sbin/nginx");
const QString kStreamModule = QStringLiteral("/usr/lib/nginx/modules/ngx_stream_module.so");

void trustBalancer(chatserver::ServerConfig& config) {
    config.limits.balancers = {{kBalancer, 32}};
}

QByteArray registration(int n) {
    const QString name = QStringLiteral("user%1").arg(n);
    return chatRequest({"3", name, "PC", name + "@example.org", name}, callAddress(n));
}

class ProxyHeaderPortTest : public ::testing::TestWithParam<Backend> {
protected:
    servertest::ServerFixture fixture;
};

TEST_P(ProxyHeaderPortTest, TheHeaderIsBelievedFromTheBalancerOnly) {
    QString skip;
    if (!fixture.start(GetParam(), &skip, trustBalancer)) GTEST_SKIP() << skip.toStdString();
    const QByteArray v2 = QByteArray::fromHex("0d0a0d0a000d0a515549540a"); // the binary signature
    const QByteArray v4 = QByteArray::fromHex("c00002077f000001d4314e07"); // 192.0.2.7 -> 127.0.0.1
    const QByteArray v6 = QByteArray::fromHex("20010db80000000000000000000000010000000000000000000000000000"
                                              "0001d4314e07"); // 2001:db8::1 -> ::1
    struct Case {
        const char* what;
        QHostAddress from;
        QByteArray header;
        const char* seenAs; // the log-in address the registration is stored with; null: refused
    } cases[] = {
        {"text header from the balancer", kBalancer, "PROXY TCP4 192.0.2.8 127.0.0.1 1 2\r\n", "192.0.2.8"},
        {"binary header", kBalancer, v2 + QByteArray::fromHex("2111000c") + v4, "192.0.2.7"},
        {"binary IPv6 with an extension", kBalancer,
         v2 + QByteArray::fromHex("21210029") + v6 + QByteArray::fromHex("0400020000"), "2001:db8::1"},
        {"the balancer's own check", kBalancer, v2 + QByteArray::fromHex("20000000"), "127.0.0.99"},
        {"the balancer without a header", kBalancer, {}, nullptr},
        {"a header from anyone else", QHostAddress("127.0.0.7"), "PROXY TCP4 192.0.2.10 127.0.0.1 1 2\r\n", nullptr},
        {"text, cut short", kBalancer, "PROXY TCP4 192.0.2.9\r\n", nullptr},
        {"text, bad address", kBalancer, "PROXY TCP4 192.0.2.700 127.0.0.1 1 2\r\n", nullptr},
        {"text, endless line", kBalancer, "PROXY TCP4 " + QByteArray(200, '1'), nullptr},
        {"binary, addresses missing", kBalancer, v2 + QByteArray::fromHex("21110004") + v4.left(4), nullptr},
        {"binary, oversized", kBalancer, v2 + QByteArray::fromHex("211107d0") + v4, nullptr},
    };
    int n = 10;
    for (const Case& c : cases) {
        const servertest::ChatReply reply =
            exchange(fixture.host, fixture.chatPort(), c.header + registration(++n), c.from);
        const auto user = fixture.server->storage().findUserByEmail(QStringLiteral("user%1@example.org").arg(n));
        EXPECT_EQ(reply.code() == "3", c.seenAs != nullptr) << c.what;
        EXPECT_EQ(user ? user->loginPeer : "<none>", c.seenAs ? QString::fromLatin1(c.seenAs) : "<none>") << c.what;
    }
    // The web pages the same: the address-lookup page tells the caller its own address.
    const servertest::HttpReply page = servertest::httpExchange(
        fixture.host, fixture.webPort(), "PROXY TCP4 192.0.2.8 127.0.0.1 1 2\r\n" + servertest::clientGet("infoip.asp"),
        kBalancer);
    EXPECT_TRUE(page.body.contains(" 192.0.2.8 ")) << page.raw.toStdString();
}

// nginx's stream module relaying one port to two servers in turn, each connection from the
// balancer's own address and prefixed with the caller's.
class Balancer {
public:
    static bool installed() { return QFile::exists(kNginx) && QFile::exists(kStreamModule); }

    Balancer(const QHostAddress& address, const QList<quint16>& serverPorts) : m_address(address) {
        QTcpServer probe; // a free port on the balancer's address
        probe.listen(address, 0);
        m_port = probe.serverPort();
        probe.close();
        QString upstreams;
        for (const quint16 port : serverPorts)
            upstreams += QStringLiteral("    server 127.0.0.1:%1;\n").arg(port);
        const QString root = m_dir.path();
        const QString config = QStringLiteral("load_module %1;\n"
                                              "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                                              "pid %2/nginx.pid;\nerror_log %2/error.log;\n"
                                              "events { worker_connections 256; }\n"
                                              "stream {\n  upstream chat {\n%3  }\n"
                                              "  server {\n    listen %4:%5;\n    proxy_pass chat;\n"
                                              "    proxy_protocol on;\n    proxy_bind %6;\n  }\n}\n")
                                   .arg(kStreamModule, root, upstreams, address.toString())
                                   .arg(m_port)
                                   .arg(kBalancer.toString());
        QFile file(QDir(root).filePath(QStringLiteral("nginx.conf")));
        if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) return;
        file.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(kNginx, {"-p", root, "-e", root + "/error.log", "-c", file.fileName()});
        // Until it is known to run, a balancer already listening would not count as up.
        m_process.waitForStarted(10000);
        m_up = servertest::waitFor([&] {
                   if (m_process.state() == QProcess::NotRunning) return true;
                   QTcpSocket socket;
                   socket.connectToHost(address, m_port);
                   return socket.waitForConnected(200);
               }) &&
               m_process.state() == QProcess::Running;
    }
    ~Balancer() {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) m_process.kill();
        m_process.waitForFinished(10000);
    }
    bool up() const { return m_up; }
    QString log() {
        QFile file(QDir(m_dir.path()).filePath(QStringLiteral("error.log")));
        return QString::fromLocal8Bit(m_process.readAll() + (file.open(QIODevice::ReadOnly) ? file.readAll() : ""));
    }
    servertest::ChatReply exchange(const QByteArray& bytes, const QHostAddress& from) {
        return servertest::exchange(m_address, m_port, bytes, from);
    }
    quint16 port() const { return m_port; }

private:
    QTemporaryDir m_dir;
    QHostAddress m_address;
    quint16 m_port = 0;
    QProcess m_process;
    bool m_up = false;
};

class BalancedServersTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (!Balancer::installed())
            GTEST_SKIP() << "nginx with its stream module (libnginx-mod-stream) is not installed";
        QString skip;
        const auto adjust = [](chatserver::ServerConfig& config) {
            trustBalancer(config);
            config.limits.maxPerAddress = 2;
        };
        if (!first.start(GetParam(), &skip, adjust)) GTEST_SKIP() << skip.toStdString();
        chatserver::ServerConfig config = first.server->config(); // the same store
        config.chatPort = 0;
        config.webPort = 0;
        second = std::make_unique<chatserver::ChatServer>(config, first.clock.clock());
        QString error;
        ASSERT_TRUE(second->start(&error)) << error.toStdString();
        balancer = std::make_unique<Balancer>(kBalancerFront,
                                              QList<quint16>{first.chatPort(), second->chatListener()->port()});
        ASSERT_TRUE(balancer->up()) << balancer->log().toStdString();
    }
    QList<chatserver::TcpListener*> listeners() { return {first.server->chatListener(), second->chatListener()}; }

    servertest::ServerFixture first;
    std::unique_ptr<chatserver::ChatServer> second;
    std::unique_ptr<Balancer> balancer;
};

TEST_P(BalancedServersTest, EachCallerCountsAsItselfAndNotAsTheBalancer) {
    for (int n = 11; n <= 14; ++n) {
        const QHostAddress from(QStringLiteral("127.0.0.%1").arg(n));
        ASSERT_EQ(balancer->exchange(registration(n), from).code(), "3") << balancer->log().toStdString();
        EXPECT_EQ(first.server->storage().findUserByEmail(QStringLiteral("user%1@example.org").arg(n))->loginPeer,
                  from.toString());
    }
    for (chatserver::TcpListener* listener : listeners())
        EXPECT_EQ(listener->stats().answered, 2u) << "the balancer takes the servers in turn";
    // One caller fills its cap on both servers with connections it keeps open ...
    const QHostAddress greedy("127.0.0.21");
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->bind(greedy, 0);
        held.back()->connectToHost(kBalancerFront, balancer->port());
        ASSERT_TRUE(held.back()->waitForConnected(5000));
        held.back()->write(registration(21).left(1)); // a request begun, never ended
        ASSERT_TRUE(servertest::waitFor([&] {
            return listeners()[0]->connectionsFrom(greedy.toString()) +
                       listeners()[1]->connectionsFrom(greedy.toString()) ==
                   i + 1;
        })) << balancer->log().toStdString();
    }
    // ... so its next one is turned away, while a caller beside it, through the same balancer,
    // is served.
    EXPECT_FALSE(balancer->exchange(registration(21), greedy).answered);
    EXPECT_EQ(balancer->exchange(registration(22), QHostAddress("127.0.0.22")).code(), "3");
    for (chatserver::TcpListener* listener : listeners())
        EXPECT_EQ(listener->connectionsFrom(greedy.toString()), 2);
}

} // namespace

COLLOQ_ON_BOTH_STORES(ProxyHeaderPortTest);
COLLOQ_ON_BOTH_STORES(BalancedServersTest);
