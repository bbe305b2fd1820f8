// Two servers on one store behind a TCP load balancer (a real nginx) that prefixes each connection
// with a PROXY header.
#include "ServerTestSupport.h"
#include "tests/support/Children.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

using namespace servertest;

namespace {

const QHostAddress kBalancer("127.0.0.99");
const QHostAddress kBalancerFront("127.0.0.100");
const QString kNginx = QStringLiteral("/usr/sbin/nginx");
const QString kStreamModule = QStringLiteral("/usr/lib/nginx/modules/ngx_stream_module.so");

QByteArray registration(int n) {
    const QString name = QStringLiteral("user%1").arg(n);
    return chatRequest({"3", name, "PC", name + "@example.org", name}, callAddress(n));
}

// nginx's stream module relaying one port to two servers in turn, each connection from the
// balancer's own address and prefixed with the caller's.
struct Balancer {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;

    bool start(const QList<quint16>& serverPorts) {
        QTcpServer probe; // a free port on the balancer's address
        probe.listen(kBalancerFront, 0);
        port = probe.serverPort();
        probe.close();
        QString upstreams;
        for (const quint16 serverPort : serverPorts)
            upstreams += QStringLiteral("server 127.0.0.1:%1; ").arg(serverPort);
        QFile file(dir.filePath(QStringLiteral("nginx.conf")));
        const QString config = QStringLiteral("load_module %1; daemon off; master_process off; pid %2/nginx.pid;\n"
                                              "error_log %2/error.log; events {} stream { upstream chat { %3 }\n"
                                              "server { listen %4:%5; proxy_pass chat; proxy_protocol on; "
                                              "proxy_bind %6; } }\n")
                                   .arg(kStreamModule, dir.path(), upstreams, kBalancerFront.toString())
                                   .arg(port)
                                   .arg(kBalancer.toString());
        if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) return false;
        file.close();
        testsupport::endWithRun(process);
        process.start(kNginx, {"-p", dir.path(), "-e", dir.filePath("error.log"), "-c", file.fileName()});
        // Until it is known to run, a balancer already listening would not count as up.
        return process.waitForStarted(10000) && waitFor([&] {
                   QTcpSocket socket;
                   socket.connectToHost(kBalancerFront, port);
                   return process.state() == QProcess::NotRunning || socket.waitForConnected(200);
               }) &&
               process.state() == QProcess::Running;
    }
    QString log() {
        QFile file(dir.filePath(QStringLiteral("error.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    }
    ~Balancer() {
        process.terminate();
        if (!process.waitForFinished(10000)) process.kill();
        process.waitForFinished(10000);
    }
};

class BalancedServersTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (!QFile::exists(kNginx) || !QFile::exists(kStreamModule))
            GTEST_SKIP() << "nginx with its stream module (libnginx-mod-stream) is not installed";
        const auto adjust = [](chatserver::ServerConfig& config) {
            config.limits.balancers = {{kBalancer, 32}};
            config.limits.maxPerAddress = 2;
        };
        if (!first.start(GetParam(), adjust)) GTEST_SKIP() << first.skipped.toStdString();
        second = first.startTwin();
        ASSERT_TRUE(second);
        ASSERT_TRUE(balancer.start({first.chatPort(), second->chatListener()->port()})) << balancer.log().toStdString();
    }
    QList<chatserver::TcpListener*> listeners() { return {first.server->chatListener(), second->chatListener()}; }
    ChatReply viaBalancer(const QByteArray& bytes, const QHostAddress& from) {
        return exchange(kBalancerFront, balancer.port, bytes, from);
    }

    ServerFixture first;
    std::unique_ptr<chatserver::ChatServer> second;
    Balancer balancer;
};

TEST_P(BalancedServersTest, EachCallerCountsAsItselfAndNotAsTheBalancer) {
    for (int n = 11; n <= 14; ++n) {
        const QHostAddress from(QStringLiteral("127.0.0.%1").arg(n));
        ASSERT_EQ(viaBalancer(registration(n), from).code(), "3") << balancer.log().toStdString();
        EXPECT_EQ(first.server->storage().findUserByEmail(QStringLiteral("user%1@example.org").arg(n))->loginPeer,
                  from.toString());
    }
    // One caller fills its cap on both servers with connections it keeps open ...
    const QHostAddress greedy("127.0.0.21");
    const auto counted = [&] {
        return listeners()[0]->connectionsFrom(greedy.toString()) + listeners()[1]->connectionsFrom(greedy.toString());
    };
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->bind(greedy, 0);
        held.back()->connectToHost(kBalancerFront, balancer.port);
        ASSERT_TRUE(held.back()->waitForConnected(5000));
        held.back()->write(registration(21).left(1)); // a request begun, never ended
        ASSERT_TRUE(waitFor([&] { return counted() == i + 1; })) << balancer.log().toStdString();
    }
    // ... so its next one is turned away, while a caller beside it, through the same balancer,
    // is served.
    EXPECT_FALSE(viaBalancer(registration(21), greedy).answered);
    EXPECT_EQ(viaBalancer(registration(22), QHostAddress("127.0.0.22")).code(), "3");
    EXPECT_EQ(counted(), 4);
}

TEST_P(BalancedServersTest, TheHeaderIsBelievedFromTheBalancerOnly) {
    const QByteArray v2 = QByteArray::fromHex("0d0a0d0a000d0a515549540a"); // the binary signature
    const QByteArray v4 = QByteArray::fromHex("c00002077f000001d4314e07"); // 192.0.2.7 -> 127.0.0.1
    struct Case {
        const char* what;
        QHostAddress from;
        QByteArray header;
        const char* seenAs; // the log-in address the registration is stored with; null: refused
    } cases[] = {
        {"text header from the balancer", kBalancer, "PROXY TCP4 192.0.2.8 127.0.0.1 1 2\r\n", "192.0.2.8"},
        {"binary header", kBalancer, v2 + QByteArray::fromHex("2111000c") + v4, "192.0.2.7"},
        {"the balancer's own check", kBalancer, v2 + QByteArray::fromHex("20000000"), "127.0.0.99"},
        {"the balancer without a header", kBalancer, {}, nullptr},
        {"a header from anyone else", QHostAddress("127.0.0.7"), "PROXY TCP4 192.0.2.10 127.0.0.1 1 2\r\n", nullptr},
        {"text, endless line", kBalancer, "PROXY TCP4 " + QByteArray(200, '1'), nullptr},
        {"binary, oversized", kBalancer, v2 + QByteArray::fromHex("211107d0") + v4, nullptr},
    };
    int n = 10;
    for (const Case& c : cases) {
        exchange(first.host, first.chatPort(), c.header + registration(++n), c.from);
        const auto user = first.server->storage().findUserByEmail(QStringLiteral("user%1@example.org").arg(n));
        EXPECT_EQ(user ? user->loginPeer : "<none>", c.seenAs ? QString::fromLatin1(c.seenAs) : "<none>") << c.what;
    }
    // The web pages the same: the address-lookup page tells the caller its own address.
    EXPECT_TRUE(httpExchange(first.host, first.webPort(),
                             "PROXY TCP4 192.0.2.8 127.0.0.1 1 2\r\n" + clientGet("infoip.asp"), kBalancer)
                    .body.contains(" 192.0.2.8 "));
}

} // namespace

COLLOQ_ON_BOTH_STORES(BalancedServersTest);
