// What TLS costs qorchat-server: one server process serving plain TCP and TLS on
// two ports; the same loads on both roads, interleaved, three runs each.
//
//   bench_tls [--clients 100] [--messages 200] [--signins 200] [--inflight 16] [--key ec|rsa] [--server PATH]
//
// Fan-out: N signed-in clients of one game, lobby chat with one message in flight;
// server CPU per delivery from /proc. Sign-ins: connect (and handshake), GAMENAME,
// HOST, LOGIN, close; a bounded number at once; sign-ins per second and server CPU
// per sign-in (CPU from the scheduler's counts in /proc). The accounts are stored beforehand with a minimal key-derivation
// work factor so that the handshake, not the password hash, is what differs.
// The certificate is made with the openssl command. The bench's own CPU is printed
// beside the server's: when it is near one core, the client is the limit.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "lobbystore.h"
#include "wire/lineframer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// CPU seconds of a process (all its threads), from the scheduler's nanosecond
// counts in /proc: the tick counts of /proc/PID/stat are too coarse here.
double processCpu(qint64 pid)
{
    const QString base = pid ? QStringLiteral("/proc/%1/task").arg(pid) : QStringLiteral("/proc/self/task");
    double total = 0;
    for (const QString &task : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(base + u'/' + task + QStringLiteral("/schedstat"));
        if (f.open(QIODevice::ReadOnly))
            total += double(f.readAll().split(' ').value(0).toLongLong()) / 1e9;
    }
    return total;
}

double ownCpu() { return processCpu(0); }

struct Road {
    quint16 port;
    bool tls;
};

class Client : public QObject {
public:
    Client(const Road &road, const QSslConfiguration &config, const QString &user,
           std::function<void(Client *)> onSignedIn, std::function<void(Client *, const QByteArray &)> onLine)
        : m_onSignedIn(std::move(onSignedIn)), m_onLine(std::move(onLine))
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { read(); });
        const QByteArray hello = "GAMENAME Bench\r\nHOST no\r\nLOGIN " + user.toLatin1() + " password\r\n";
        auto start = [this, hello] { m_socket.write(hello); };
        connect(&m_socket, &QTcpSocket::connected, this,
                [this] { m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        if (road.tls) {
            m_socket.setSslConfiguration(config);
            connect(&m_socket, &QSslSocket::encrypted, this, start);
            m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), road.port, QStringLiteral("localhost"));
        } else {
            connect(&m_socket, &QTcpSocket::connected, this, start);
            m_socket.connectToHost(QHostAddress::LocalHost, road.port);
        }
    }
    void send(const QByteArray &bytes) { m_socket.write(bytes); }
    bool signedIn = false;

private:
    void read()
    {
        QList<QByteArray> lines;
        m_framer.feed(m_socket.readAll(), lines);
        for (const QByteArray &l : std::as_const(lines)) {
            if (!signedIn && (l.startsWith("+OK") || l.startsWith("-ERR"))) {
                if (l.startsWith("-ERR"))
                    std::fprintf(stderr, "bench: %s\n", l.constData());
                if (++m_statuses == 4) { // greeting, GAMENAME, HOST, LOGIN
                    signedIn = true;
                    m_onSignedIn(this);
                }
            } else if (signedIn) {
                m_onLine(this, l);
            }
        }
    }
    QSslSocket m_socket; // plain mode unless the road is TLS
    LineFramer m_framer;
    int m_statuses = 0;
    std::function<void(Client *)> m_onSignedIn;
    std::function<void(Client *, const QByteArray &)> m_onLine;
};

bool waitUntil(const std::function<bool()> &done, QEventLoop &loop, int timeoutMs)
{
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(timeoutMs);
    while (!done() && timeout.isActive())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

struct Figures {
    double value = 0;     // per second
    double serverUs = 0;  // server CPU per unit
    double benchUs = 0;   // own CPU per unit
};

int g_nextUser = 0;

Figures signIns(const Road &road, const QSslConfiguration &config, qint64 pid, int count, int inflight)
{
    QEventLoop loop;
    int started = 0, finished = 0;
    std::function<void()> more = [&] {
        while (started < count && started - finished < inflight) {
            ++started;
            // Closes its connection when deleted, once signed in.
            new Client(road, config, QStringLiteral("u%1").arg(g_nextUser++),
                       [&](Client *c) {
                           ++finished;
                           c->deleteLater();
                           more();
                       },
                       [](Client *, const QByteArray &) {});
        }
    };
    const double cpu0 = processCpu(pid), own0 = ownCpu();
    const auto t0 = Clock::now();
    more();
    if (!waitUntil([&] { return finished == count; }, loop, 300000))
        std::fprintf(stderr, "bench: only %d of %d sign-ins\n", finished, count);
    const double wall = seconds(t0);
    Figures f;
    f.value = finished / wall;
    f.serverUs = (processCpu(pid) - cpu0) * 1e6 / std::max(1, finished);
    f.benchUs = (ownCpu() - own0) * 1e6 / std::max(1, finished);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return f;
}

Figures fanOut(const Road &road, const QSslConfiguration &config, qint64 pid, int clients, int messages)
{
    QEventLoop loop;
    std::vector<std::unique_ptr<Client>> all;
    int signedIn = 0;
    qint64 deliveries = 0;
    int current = -1, pending = 0;
    auto onLine = [&](Client *, const QByteArray &l) {
        if (l.startsWith("LMESSAGE ") && l.endsWith(" m" + QByteArray::number(current)))
            --pending;
        else
            return;
        ++deliveries;
    };
    for (int i = 0; i < clients; ++i)
        all.push_back(std::make_unique<Client>(road, config, QStringLiteral("u%1").arg(g_nextUser++),
                                               [&](Client *) { ++signedIn; }, onLine));
    if (!waitUntil([&] { return signedIn == clients; }, loop, 300000)) {
        std::fprintf(stderr, "bench: only %d of %d clients signed in\n", signedIn, clients);
        return {};
    }
    // The player-list pushes of the sign-ins settle first.
    waitUntil([] { return false; }, loop, 1000);

    const double cpu0 = processCpu(pid), own0 = ownCpu();
    const auto t0 = Clock::now();
    for (current = 0; current < messages; ++current) {
        pending = clients;
        all[size_t(current % clients)]->send("LMESSAGE m" + QByteArray::number(current) + "\r\n");
        if (!waitUntil([&] { return pending == 0; }, loop, 60000)) {
            std::fprintf(stderr, "bench: message %d reached %d of %d\n", current, clients - pending, clients);
            break;
        }
    }
    const double wall = seconds(t0);
    Figures f;
    f.value = double(deliveries) / wall;
    f.serverUs = (processCpu(pid) - cpu0) * 1e6 / double(std::max<qint64>(1, deliveries));
    f.benchUs = (ownCpu() - own0) * 1e6 / double(std::max<qint64>(1, deliveries));
    all.clear();
    // The server's side of the hang-ups, before the next run starts.
    waitUntil([] { return false; }, loop, 1000);
    return f;
}

QString triple(std::vector<double> v, const char *format)
{
    std::sort(v.begin(), v.end());
    return QString::asprintf(format, v[0]) + QLatin1Char('/') + QString::asprintf(format, v[1]) + QLatin1Char('/')
           + QString::asprintf(format, v[2]);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[1];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption clientsOpt("clients", "Signed-in clients of the fan-out.", "N", "100");
    const QCommandLineOption messagesOpt("messages", "Messages of the fan-out, one in flight.", "M", "200");
    const QCommandLineOption signinsOpt("signins", "Sign-ins per run.", "S", "200");
    const QCommandLineOption inflightOpt("inflight", "Sign-ins under way at once.", "K", "16");
    const QCommandLineOption keyOpt("key", "Certificate key: ec (P-256) or rsa (2048).", "TYPE", "ec");
    const QCommandLineOption serverOpt("server", "The server executable.", "PATH", QStringLiteral(QORCHAT_SERVER_EXE));
    parser.addOptions({clientsOpt, messagesOpt, signinsOpt, inflightOpt, keyOpt, serverOpt});
    parser.process(app);
    const int clients = std::max(1, parser.value(clientsOpt).toInt());
    const int messages = std::max(1, parser.value(messagesOpt).toInt());
    const int signinCount = std::max(1, parser.value(signinsOpt).toInt());
    const int inflight = std::max(1, parser.value(inflightOpt).toInt());
    constexpr int kRuns = 3;

    QTemporaryDir dir;
    const QString cert = dir.filePath("cert.pem"), key = dir.filePath("key.pem");
    QStringList keyArgs{"-newkey", "rsa:2048"};
    if (parser.value(keyOpt) != "rsa")
        keyArgs = QStringList{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"};
    if (QProcess::execute("openssl", QStringList{"req", "-x509"} + keyArgs
                                         + QStringList{"-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj",
                                                       "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"})
        != 0)
        return std::fprintf(stderr, "bench: openssl failed\n"), 1;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(cert));
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);

    const QString db = dir.filePath("bench.sqlite");
    {
        LobbyStore store;
        QString error;
        if (!store.open(db, &error))
            return std::fprintf(stderr, "bench: %s\n", qPrintable(error)), 1;
        store.setHashParams({8, 1, 1});
        const int accounts = kRuns * 2 * (clients + signinCount);
        for (int i = 0; i < accounts; ++i)
            store.createUser(QStringLiteral("u%1").arg(i), "password", "b@x.jp", QString());
    }
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(parser.value(serverOpt), {"--port", "0", "--tls-port", "0", "--db", db, "--tls-cert", cert,
                                           "--tls-key", key, "--max-clients", QString::number(clients * 2 + inflight * 2),
                                           // as stored: no re-hash at sign-in
                                           "--hash-memory", "8", "--hash-passes", "1"});
    QByteArray out;
    QDeadlineTimer deadline(10000);
    while (out.count('\n') < 3 && server.state() != QProcess::NotRunning && !deadline.hasExpired())
        if (server.waitForReadyRead(int(deadline.remainingTime())))
            out += server.readAllStandardOutput();
    const auto plainPort = QRegularExpression("listening on .*:(\\d+)\n").match(out);
    const auto tlsPort = QRegularExpression("listening on .*:(\\d+) \\(TLS\\)").match(out);
    if (!plainPort.hasMatch() || !tlsPort.hasMatch())
        return std::fprintf(stderr, "bench: the server did not start: %s\n", out.constData()), 1;
    const Road plain{quint16(plainPort.captured(1).toUInt()), false};
    const Road tls{quint16(tlsPort.captured(1).toUInt()), true};
    const qint64 pid = server.processId();

    // [road][run]
    std::vector<double> rate[2], rateCpu[2], rateOwn[2], fan[2], fanCpu[2], fanOwn[2];
    for (int run = 0; run < kRuns; ++run) {
        for (int r = 0; r < 2; ++r) {
            const Road &road = r ? tls : plain;
            const Figures s = signIns(road, config, pid, signinCount, inflight);
            rate[r].push_back(s.value);
            rateCpu[r].push_back(s.serverUs / 1000);
            rateOwn[r].push_back(s.benchUs / 1000);
            const Figures f = fanOut(road, config, pid, clients, messages);
            fan[r].push_back(f.value);
            fanCpu[r].push_back(f.serverUs);
            fanOwn[r].push_back(f.benchUs);
        }
    }

    std::printf("min/median/max of %d runs; %s key; %d sign-ins, %d at once; fan-out to %d clients, %d messages\n",
                kRuns, qPrintable(parser.value(keyOpt)), signinCount, inflight, clients, messages);
    std::printf("%-6s %-24s %-24s %-24s %-24s %-24s %-24s\n", "road", "sign-ins/s", "server ms/sign-in",
                "bench ms/sign-in", "deliveries/s", "server us/delivery", "bench us/delivery");
    for (int r = 0; r < 2; ++r)
        std::printf("%-6s %-24s %-24s %-24s %-24s %-24s %-24s\n", r ? "tls" : "plain",
                    qPrintable(triple(rate[r], "%.0f")), qPrintable(triple(rateCpu[r], "%.2f")),
                    qPrintable(triple(rateOwn[r], "%.2f")), qPrintable(triple(fan[r], "%.0f")),
                    qPrintable(triple(fanCpu[r], "%.1f")), qPrintable(triple(fanOwn[r], "%.1f")));
    std::printf("tls/plain (medians): sign-ins/s %.2f, server CPU per sign-in %.2f, server CPU per delivery %.2f\n",
                median(rate[1]) / median(rate[0]), median(rateCpu[1]) / median(rateCpu[0]),
                median(fanCpu[1]) / median(fanCpu[0]));
    std::fflush(stdout);

    ::kill(pid_t(pid), SIGTERM);
    server.waitForFinished(10000);
    return 0;
}
