// Calls through NAT routers, in a lab of network namespaces (lab.sh): the chat server, the TURN
// server and the SIP relay on a public network, and pairs of real clients, each on a host of its
// own, on public addresses or behind home routers. The six scenarios run side by side to keep the
// time down; each call's path and set-up time are printed.
#include "e2e/RemoteClient.h"
#include "support/RawSipPeer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using e2e::Client;
using e2e::Program;
using e2e::waitUntil;

const QString kChatAddress = QStringLiteral("203.0.113.10");
const QString kTurnAddress = QStringLiteral("203.0.113.11");
const QString kRelayAddress = QStringLiteral("203.0.113.12");
constexpr int kChatPort = 19991;
// The engine ends a call that has had no incoming media for about 30 s; 40 s is past that.
constexpr int kHoldMs = 40'000;
constexpr int kMediaWindowMs = 5'000;
// Audio alone sends 50 datagrams a second; a call that carries media shows far more than this
// in the window, a call whose media goes nowhere shows none.
constexpr qint64 kMinDatagrams = 50;

struct Scenario {
    const char* name;
    const char* ann; // lab hosts
    const char* bob;
};

const Scenario kScenarios[] = {
    {"1 both public", "s1a", "s1b"},
    {"2 Ann behind NAT, Bob public", "s2a", "s2b"},
    {"3 Ann public, Bob behind NAT", "s3a", "s3b"},
    {"4 both behind endpoint-independent NATs", "s4a", "s4b"},
    {"5 endpoint-independent and symmetric NAT", "s5a", "s5b"},
    {"6 Ann behind home and carrier NAT, Bob behind NAT", "s6a", "s6b"},
};

// The scenarios to run: all, or those whose numbers COLLOQ_NAT_SCENARIOS lists ("1,4"), to look
// at one by hand.
std::vector<Scenario> scenarios() {
    const QStringList wanted = qEnvironmentVariable("COLLOQ_NAT_SCENARIOS").split(QLatin1Char(','), Qt::SkipEmptyParts);
    std::vector<Scenario> chosen;
    for (const Scenario& scenario : kScenarios)
        if (wanted.isEmpty() || wanted.contains(QString::fromLatin1(scenario.name).section(QLatin1Char(' '), 0, 0)))
            chosen.push_back(scenario);
    return chosen;
}

// Runs lab.sh with `arguments`; its standard output, or nullopt when it fails.
std::optional<QString> lab(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("bash"), QStringList{QStringLiteral(COLLOQ_NAT_LAB)} + arguments);
    if (!process.waitForFinished(120'000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "lab.sh %s: %s\n", qPrintable(arguments.join(' ')),
                     process.readAllStandardError().constData());
        return std::nullopt;
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The UDP datagrams (SIP left out) a host has received and sent so far.
struct Datagrams {
    qint64 in = -1;
    qint64 out = -1;
    Datagrams operator-(const Datagrams& before) const { return {in - before.in, out - before.out}; }
};

class NatLab : public ::testing::Test {
protected:
    static inline QString prefix;
    static inline std::unique_ptr<QTemporaryDir> dir;
    static inline std::unique_ptr<Program> server;
    static inline std::unique_ptr<Program> turn;
    static inline std::unique_ptr<Program> relay;
    static inline std::map<QString, std::unique_ptr<Client>> clients; // by lab host
    static inline bool labUp = false;

    static void SetUpTestSuite() {
        if (::geteuid() != 0) return; // namespaces need root; the test then skips
        prefix = QStringLiteral("cqnat%1").arg(::getpid() % 100000);
        dir = std::make_unique<QTemporaryDir>();
        labUp = dir->isValid() && lab({QStringLiteral("up"), prefix}).has_value();
    }

    static void TearDownTestSuite() {
        clients.clear(); // each program is stopped as it goes
        for (auto* program : {&server, &turn, &relay})
            program->reset();
        if (labUp) lab({QStringLiteral("down"), prefix});
        dir.reset();
    }

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the lab's namespaces need root";
        ASSERT_TRUE(labUp) << "the lab could not be built";
    }

    static QString ns(const QString& host) { return prefix + QLatin1Char('-') + host; }

    // Starts `program` in the lab host `host`, with `home` (by default the lab's folder) as HOME.
    static bool startIn(Program& process, const QString& host, const QString& program, const QStringList& arguments,
                        const QString& home = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
        env.insert(QStringLiteral("HOME"), home.isEmpty() ? dir->path() : home);
        return process.start(
            QStringLiteral("ip"),
            QStringList{QStringLiteral("netns"), QStringLiteral("exec"), ns(host), program} + arguments, env);
    }

    // coturn and the relay (Kamailio) on the public network, configured as call-services.sh
    // writes it for them and the chat server.
    static bool startCallServices() {
        const QString services = dir->filePath(QStringLiteral("services"));
        QProcess configure;
        configure.start(QStringLiteral("bash"), {QStringLiteral(COLLOQ_CALL_SERVICES), services, kTurnAddress,
                                                 kRelayAddress + QStringLiteral(":5060/20000-20999")});
        if (!configure.waitForFinished(30'000) || configure.exitCode() != 0) return false;
        turn = std::make_unique<Program>(QStringLiteral("turn"));
        relay = std::make_unique<Program>(QStringLiteral("relay"));
        return startIn(*turn, QStringLiteral("pub"), QStringLiteral("turnserver"),
                       {QStringLiteral("-c"), services + QStringLiteral("/turnserver.conf")}) &&
               startIn(*relay, QStringLiteral("pub"), QStringLiteral("kamailio"),
                       QStringLiteral("-DD -E -m 64 -Y %1 -f %1/relay.cfg").arg(services).split(QLatin1Char(' ')));
    }

    // No mail leaves the lab: an address is its account's at once.
    static bool startServer() {
        server = std::make_unique<Program>(QStringLiteral("server"));
        const QStringList arguments =
            QStringLiteral("--chat-listen %1:%2 --web-listen %1:80 --public-address %1 --data-dir %3 "
                           "--turn-server %4:3478 --turn-secret-file %5/turn-secret --relay %6:5060/20000-20999 "
                           "--relay-secret-file %5/relay-secret --mail-relay off")
                .arg(kChatAddress, QString::number(kChatPort), dir->filePath(QStringLiteral("server")), kTurnAddress,
                     dir->filePath(QStringLiteral("services")), kRelayAddress)
                .split(QLatin1Char(' '));
        if (!startIn(*server, QStringLiteral("pub"), QStringLiteral(COLLOQ_SERVER_PROGRAM), arguments)) return false;
        const std::optional<QString> ready = server->nextLine();
        return ready && ready->startsWith(QLatin1String("ready "));
    }

    // Starts the client of lab host `host` from its own folder; it registers as it starts.
    static bool startClient(const QString& host) {
        const QString folder = dir->filePath(host);
        auto client = std::make_unique<Client>(host);
        if (!e2e::prepareClientFolder(folder, kChatPort, kChatAddress) ||
            !startIn(*client, host, QStringLiteral(COLLOQ_E2E_CLIENT), {folder, host, email(host)}) ||
            client->nextLine() != QStringLiteral("started"))
            return false;
        clients[host] = std::move(client);
        return true;
    }

    static QString email(const QString& host) { return host + QStringLiteral("@example.org"); }
    static Client& at(const char* host) { return *clients.at(QString::fromLatin1(host)); }

    // A UDP socket in lab host `host`, bound to its `address`:`port`; -1 when none could be made.
    // It is made on a thread of its own that enters the host's namespace, and stays there.
    static int udpSocketIn(const QString& host, const QString& address, quint16 port) {
        int made = -1;
        std::thread([&] {
            const int space = ::open(qPrintable(QStringLiteral("/var/run/netns/") + ns(host)), O_RDONLY | O_CLOEXEC);
            if (space < 0) return;
            if (::setns(space, CLONE_NEWNET) == 0) made = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ::close(space);
            sockaddr_in bound{};
            bound.sin_family = AF_INET;
            bound.sin_port = htons(port);
            bound.sin_addr.s_addr = htonl(QHostAddress(address).toIPv4Address());
            if (made >= 0 && ::bind(made, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0) {
                ::close(made);
                made = -1;
            }
        }).join();
        return made;
    }

    // What `host` received and sent over kMediaWindowMs from now.
    static Datagrams media(const QString& host) {
        const Datagrams before = datagrams(host);
        QThread::msleep(kMediaWindowMs);
        return datagrams(host) - before;
    }

    static Datagrams datagrams(const QString& host) {
        const std::optional<QString> text = lab({QStringLiteral("counters"), prefix, host});
        if (!text) return {};
        const QStringList parts = text->split(QLatin1Char(' '));
        return {parts.value(0).toLongLong(), parts.value(1).toLongLong()};
    }
};

const QString kConnected = QStringLiteral("Status: CONNECTED");

bool frameIs(Client& client, const QString& frame, int ms = e2e::kStepMs) {
    return waitUntil([&] { return client.state(QStringLiteral("frame")).startsWith(frame); }, ms);
}

bool idle(Client& client) {
    return waitUntil([&] { return client.state(QStringLiteral("connected")) == "0"; });
}

struct CallResult {
    Client* ends[2] = {}; // caller, callee
    QElapsedTimer clock;
    QString scenario;
    QString direction;
    bool connected = false;
    qint64 setupMs = -1;
    Datagrams first[2]; // caller, callee: in the first window after CONNECTED
    Datagrams later[2]; // in the window 40 s later
    bool upLater = false;
    QString path;
    QString callerEmail;
    QString calleeShows; // the callee's status caption once connected
    QString failure;
};

// The table of the calls: printed, and kept beside the test for whoever reads the run afterwards.
void report(const std::vector<CallResult>& results) {
    const int widths[] = {-52, -14, -9, 9, -22, -22, -4, -8, 0};
    const auto line = [&](const QStringList& cells) {
        QStringList padded;
        for (qsizetype i = 0; i < cells.size(); ++i)
            padded << QStringLiteral("%1").arg(cells[i], widths[i]);
        return padded.join(QLatin1Char(' ')) + QLatin1Char('\n');
    };
    const auto media = [](const Datagrams* d) {
        return QStringLiteral("%1/%2 %3/%4").arg(d[0].in).arg(d[0].out).arg(d[1].in).arg(d[1].out);
    };
    const auto yes = [](bool is) { return QString::fromLatin1(is ? "yes" : "no"); };
    QString table = line({"scenario", "direction", "connected", "set-up", "media now (in/out)", "media at 40 s", "up",
                          "path", "caller shown as"});
    for (const CallResult& r : results)
        table += line({r.scenario, r.direction, yes(r.connected), QStringLiteral("%1 ms").arg(r.setupMs, 6),
                       media(r.first), media(r.later), yes(r.upLater), r.path,
                       r.calleeShows.contains(r.callerEmail) ? QStringLiteral("the contact")
                                                             : r.calleeShows.section(QStringLiteral("User: "), 1)});
    std::printf("\n%s", qPrintable(table));
    std::fflush(stdout);
    QFile file(QStringLiteral("nat_lab_report.txt"));
    if (file.open(QIODevice::WriteOnly)) file.write(table.toUtf8());
}

} // namespace

TEST_F(NatLab, CallsConnectEachWayInEveryScenario) {
    ASSERT_TRUE(startCallServices());
    ASSERT_TRUE(startServer()) << server->errors().toStdString();
    const std::vector<Scenario> chosen = scenarios();
    ASSERT_FALSE(chosen.empty()) << "no scenario is numbered as COLLOQ_NAT_SCENARIOS asks";

    // Every client registers at its first start; then each pair adds each other.
    for (const Scenario& scenario : chosen)
        for (const char* host : {scenario.ann, scenario.bob})
            ASSERT_TRUE(startClient(QString::fromLatin1(host))) << host;
    // Every call rings only as a contact's: a caller shown as a stranger would be turned away.
    for (auto& entry : clients) {
        Client& client = *entry.second;
        ASSERT_TRUE(waitUntil([&] { return client.command(QStringLiteral("id")).size() > 3; }))
            << entry.first.toStdString() << ": " << client.command(QStringLiteral("state")).toStdString();
        for (const char* command : {"tick 50", "auto 1", "contacts-only 1"})
            ASSERT_EQ(client.command(QString::fromLatin1(command)), "ok");
    }
    for (const Scenario& scenario : chosen)
        for (auto [self, other] : {std::pair{scenario.ann, scenario.bob}, std::pair{scenario.bob, scenario.ann}})
            ASSERT_EQ(at(self).command(QStringLiteral("add ") + email(QString::fromLatin1(other))), "ok");
    for (const Scenario& scenario : chosen)
        for (auto [self, other] : {std::pair{scenario.ann, scenario.bob}, std::pair{scenario.bob, scenario.ann}})
            ASSERT_TRUE(waitUntil([&, self = &at(self), other = &at(other)] {
                const QStringList row = self->row(email(other->name()));
                return row.value(0) == QLatin1String("On") && row.value(3) == other->state(QStringLiteral("address"));
            })) << self
                << " does not see " << other << " on line: " << at(self).command(QStringLiteral("rows")).toStdString();

    std::vector<CallResult> results;
    for (const bool annCalls : {true, false}) {
        // All six calls at once: each caller picks its one row and connects.
        std::vector<CallResult> round(chosen.size());
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            CallResult& call = round[i];
            Client* ann = &at(chosen[i].ann);
            Client* bob = &at(chosen[i].bob);
            call.ends[0] = annCalls ? ann : bob;
            call.ends[1] = annCalls ? bob : ann;
            call.scenario = QString::fromLatin1(chosen[i].name);
            call.direction = annCalls ? QStringLiteral("Ann calls Bob") : QStringLiteral("Bob calls Ann");
            call.callerEmail = email(call.ends[0]->name());
            EXPECT_EQ(call.ends[0]->command(QStringLiteral("click 0")), "ok");
            call.clock.start();
            EXPECT_EQ(call.ends[0]->command(QStringLiteral("connect")), "ok");
        }
        // Connected on both sides, within the time an unanswered call would take to fail.
        for (CallResult& call : round) {
            auto [caller, callee] = call.ends;
            const bool callerUp = frameIs(*caller, kConnected, 45'000);
            if (callerUp) call.setupMs = call.clock.elapsed();
            call.connected = callerUp && frameIs(*callee, kConnected, 5'000);
            call.calleeShows = callee->state(QStringLiteral("frame"));
            if (!call.connected)
                call.failure = QStringLiteral("caller: ") + caller->command(QStringLiteral("state")) +
                               QStringLiteral(" / callee: ") + callee->command(QStringLiteral("state"));
        }
        // Media both ways, now and 40 s later: each end's counts before and after one window.
        const auto window = [&](bool later) {
            for (CallResult& call : round)
                for (int end : {0, 1})
                    (later ? call.later : call.first)[end] = datagrams(call.ends[end]->name());
            QThread::msleep(kMediaWindowMs);
            for (CallResult& call : round)
                for (int end : {0, 1}) {
                    Datagrams& slot = (later ? call.later : call.first)[end];
                    slot = datagrams(call.ends[end]->name()) - slot;
                }
        };
        window(false);
        for (CallResult& call : round)
            call.path = call.ends[0]->state(QStringLiteral("path"));
        QThread::msleep(kHoldMs - kMediaWindowMs);
        window(true);
        for (CallResult& call : round)
            call.upLater = frameIs(*call.ends[0], kConnected, 0) && frameIs(*call.ends[1], kConnected, 0);
        // Hang up, and wait until every client is idle again before the other direction.
        for (CallResult& call : round)
            call.ends[0]->command(QStringLiteral("terminate"));
        for (CallResult& call : round)
            for (Client* end : call.ends)
                EXPECT_TRUE(idle(*end)) << end->name().toStdString();
        QThread::msleep(1000);
        results.insert(results.end(), round.begin(), round.end());
    }

    report(results);
    for (const CallResult& r : results) {
        SCOPED_TRACE(qPrintable(r.scenario + QStringLiteral(", ") + r.direction));
        EXPECT_TRUE(r.connected) << r.failure.toStdString();
        for (const Datagrams* window : {r.first, r.later})
            for (const Datagrams& side : {window[0], window[1]}) {
                EXPECT_GE(side.in, kMinDatagrams);
                EXPECT_GE(side.out, kMinDatagrams);
            }
        EXPECT_TRUE(r.upLater);
        EXPECT_TRUE(r.calleeShows.contains(r.callerEmail)) << r.calleeShows.toStdString();
    }
}

// A stranger on a public address calls a client behind a router through the relay, naming
// himself after the client's contact in every way a SIP message can: he is turned away while only
// contacts may ring, and rings as an unknown caller at his own address otherwise.
TEST_F(NatLab, AStrangerNamingAContactsRelayAddressIsAStrangerThroughTheRelay) {
    if (!clients.contains(QStringLiteral("s4a")) || !clients.contains(QStringLiteral("s4b")))
        GTEST_SKIP() << "scenario 4 did not run";
    Client& ann = at("s4a");
    Client& bob = at("s4b");
    const QString annAddress = ann.state(QStringLiteral("address"));
    const QString bobAddress = bob.state(QStringLiteral("address"));
    ASSERT_TRUE(annAddress.startsWith(kRelayAddress) && bobAddress.startsWith(kRelayAddress));
    const int descriptor = udpSocketIn(QStringLiteral("lp"), QStringLiteral("203.0.113.33"), 5064);
    ASSERT_GE(descriptor, 0);
    testsupport::RawSipPeer mallory(descriptor);
    ASSERT_TRUE(mallory.bound());
    const QByteArray annUri = "sip:s4a%40example.org@" + annAddress.toLatin1();
    mallory.inviteHeaders = "P-Asserted-Identity: <sip:" + annAddress.toLatin1() + ">\r\n";

    // Bob answers every call by himself, but only contacts may ring.
    mallory.send(mallory.invite(bobAddress, "s4a", annUri, annUri));
    EXPECT_FALSE(mallory.waitFor("SIP/2.0 603", "INVITE", 20'000).isEmpty()) << bob.command("state").toStdString();
    EXPECT_EQ(bob.state(QStringLiteral("connected")), "0");

    ASSERT_EQ(bob.command(QStringLiteral("auto 0")), "ok");
    ASSERT_EQ(bob.command(QStringLiteral("contacts-only 0")), "ok");
    mallory.send(mallory.invite(bobAddress, "s4a", annUri, annUri));
    EXPECT_TRUE(
        frameIs(bob, QStringLiteral("Status: INCOMING User: Unknown caller: s4a    sip:203.0.113.33:5064"), 20'000))
        << bob.command("state").toStdString();
    EXPECT_EQ(bob.command(QStringLiteral("terminate")), "ok");
    EXPECT_FALSE(mallory.waitFor("SIP/2.0 603", "INVITE", 20'000).isEmpty());
}

// linphonec, a SIP peer that does not look for a media path, on a public address: a client
// behind a router calls it, and it calls a client behind a router at the relay's call address.
TEST_F(NatLab, LinphonecOnAPublicAddressCallsAndIsCalledThroughRouters) {
    if (!clients.contains(QStringLiteral("s2a")) || !clients.contains(QStringLiteral("s3b")))
        GTEST_SKIP() << "scenarios 2 and 3 did not run";
    Client& caller = at("s2a");
    Client& callee = at("s3b");
    const QString linphonecAddress = QStringLiteral("203.0.113.33:5060");
    const auto linphonec = [&](const QStringList& arguments) {
        const QString home = dir->filePath(QStringLiteral("linphonec-%1").arg(arguments.size()));
        QDir().mkpath(home + QStringLiteral("/.local/share/linphone"));
        QFile rc(home + QStringLiteral("/linphonerc"));
        if (rc.open(QIODevice::WriteOnly))
            rc.write("[sip]\nsip_port=5060\nguess_hostname=0\ncontact=\"linphonec\" <sip:peer@203.0.113.33:5060>\n");
        rc.close();
        auto program = std::make_unique<Program>(QStringLiteral("linphonec"));
        startIn(*program, QStringLiteral("lp"), QStringLiteral("linphonec"),
                QStringList{QStringLiteral("-c"), rc.fileName()} + arguments, home);
        return program;
    };

    // Called: it answers by itself; the client behind its router hears it and is heard.
    {
        auto answering = linphonec({QStringLiteral("-a")});
        QThread::msleep(1000);
        ASSERT_EQ(caller.command(QStringLiteral("row ") + linphonecAddress), "ok");
        const QStringList rows = caller.command(QStringLiteral("rows")).mid(3).split(QLatin1Char(';'));
        const qsizetype row = rows.indexOf(QStringLiteral("On,,%1,%1").arg(linphonecAddress));
        ASSERT_GE(row, 0) << rows.join(';').toStdString();
        ASSERT_EQ(caller.command(QStringLiteral("click %1").arg(row)), "ok");
        ASSERT_EQ(caller.command(QStringLiteral("connect")), "ok");
        EXPECT_TRUE(frameIs(caller, kConnected, 30'000)) << caller.command("state").toStdString();
        const Datagrams heard = media(caller.name());
        EXPECT_GE(heard.in, kMinDatagrams);
        EXPECT_GE(heard.out, kMinDatagrams);
        caller.command(QStringLiteral("terminate"));
        EXPECT_TRUE(idle(caller));
    }
    // Calling: it dials the relay's call address of a client whose router lets nothing in.
    {
        const QString relayed = callee.state(QStringLiteral("address"));
        ASSERT_TRUE(relayed.startsWith(kRelayAddress)) << relayed.toStdString();
        // Listed with its own address, it rings where only contacts may, the relay vouching for
        // the address its call came from.
        ASSERT_EQ(callee.command(QStringLiteral("row ") + linphonecAddress), "ok");
        auto calling = linphonec({QStringLiteral("-s"), QStringLiteral("sip:") + relayed});
        EXPECT_TRUE(frameIs(callee, kConnected + QStringLiteral(" User: "), 30'000))
            << callee.command("state").toStdString();
        const QString shown = callee.state(QStringLiteral("frame"));
        EXPECT_TRUE(shown.endsWith(linphonecAddress) && !shown.contains(QStringLiteral("Unknown caller")))
            << shown.toStdString();
        // linphonec sends to the address in the client's answer, which behind a router reaches
        // nobody, so no key exchange ends: the call goes on "not encrypted", its media going out.
        EXPECT_TRUE(waitUntil(
            [&] { return callee.state(QStringLiteral("security")).startsWith(QStringLiteral("Not encrypted")); },
            15'000))
            << callee.command("state").toStdString();
        const Datagrams heard = media(callee.name());
        EXPECT_GE(heard.out, kMinDatagrams);
        EXPECT_EQ(callee.state(QStringLiteral("path")), "no-ice");
        callee.command(QStringLiteral("terminate"));
        EXPECT_TRUE(idle(callee));
    }
}
