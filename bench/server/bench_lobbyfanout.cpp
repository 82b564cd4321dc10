// Lobby-chat fan-out of qorchat-server: N signed-in clients in one game, each
// LMESSAGE goes to all N. Measures messages and deliveries per second and the
// latency from send to delivery at every client.
//
//   bench_lobbyfanout [--clients 100,1000] [--messages 400] [--window 16] [--server PATH]
//
// The server runs as its own process; the accounts are put into its database
// beforehand with a minimal key-derivation work factor, so that the sign-in of a
// thousand clients does not dominate the run.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "lobbystore.h"
#include "wire/lineframer.h"

namespace {

using Clock = std::chrono::steady_clock;
bool g_stopping = false; // the server is being stopped: disconnects are expected

struct Stats {
    std::vector<double> latencyUs;
    double seconds = 0;
    qint64 messages = 0;
    qint64 deliveries = 0;
};

class Bench;

class BenchClient : public QObject {
public:
    BenchClient(Bench &bench, int index, quint16 port);
    void send(const QByteArray &line) { m_socket.write(line); }
    bool signedIn = false;
    bool listComplete = false;

private:
    void read();
    Bench &m_bench;
    int m_index;
    QTcpSocket m_socket;
    LineFramer m_framer;
    int m_statuses = 0;
};

class Bench {
public:
    Bench(int clients, quint16 port) : m_n(clients)
    {
        for (int i = 0; i < clients; ++i)
            m_clients.push_back(std::make_unique<BenchClient>(*this, i, port));
    }

    bool signInAll()
    {
        return waitUntil([&] { return m_signedIn == m_n && m_listsComplete == m_n; }, 120000);
    }

    // Messages are numbered; a new one goes out when fewer than window are still
    // on their way to some client.
    Stats run(int messages, int window)
    {
        Stats s;
        m_sent.assign(size_t(messages), Clock::time_point());
        m_pending.assign(size_t(messages), m_n);
        m_latency = &s.latencyUs;
        m_latency->reserve(size_t(messages) * size_t(m_n));
        m_next = 0;
        m_done = 0;
        m_total = messages;
        m_window = window;
        const auto start = Clock::now();
        pump();
        if (!waitUntil([&] { return m_done == m_total; }, 600000))
            std::fprintf(stderr, "bench: timed out with %d of %d messages delivered\n", m_done, m_total);
        s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        s.messages = m_done;
        s.deliveries = qint64(s.latencyUs.size());
        m_latency = nullptr;
        return s;
    }

    void onSignedIn() { ++m_signedIn; check(); }
    void onFullList() { ++m_listsComplete; check(); }
    int clients() const { return m_n; }

    void onMessage(qint64 k)
    {
        if (!m_latency || k < 0 || k >= m_total)
            return;
        m_latency->push_back(std::chrono::duration<double, std::micro>(Clock::now() - m_sent[size_t(k)]).count());
        if (--m_pending[size_t(k)] == 0) {
            ++m_done;
            pump();
        }
        check();
    }

private:
    void pump()
    {
        while (m_next < m_total && m_next - m_done < m_window) {
            const int k = m_next++;
            m_sent[size_t(k)] = Clock::now();
            m_clients[size_t(k % m_n)]->send("LMESSAGE " + QByteArray::number(k) + " fan-out\r\n");
        }
    }

    void check()
    {
        if (m_loop && m_condition && m_condition())
            m_loop->quit();
    }

    bool waitUntil(std::function<bool()> condition, int timeoutMs)
    {
        if (condition())
            return true;
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        m_loop = &loop;
        m_condition = condition;
        loop.exec();
        m_loop = nullptr;
        m_condition = nullptr;
        return condition();
    }

    int m_n;
    std::vector<std::unique_ptr<BenchClient>> m_clients;
    int m_signedIn = 0;
    int m_listsComplete = 0;
    std::vector<Clock::time_point> m_sent;
    std::vector<int> m_pending;
    std::vector<double> *m_latency = nullptr;
    int m_next = 0, m_done = 0, m_total = 0, m_window = 1;
    QEventLoop *m_loop = nullptr;
    std::function<bool()> m_condition;
};

BenchClient::BenchClient(Bench &bench, int index, quint16 port) : m_bench(bench), m_index(index)
{
    QObject::connect(&m_socket, &QTcpSocket::readyRead, this, [this] { read(); });
    QObject::connect(&m_socket, &QTcpSocket::connected, this, [this] {
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket.write("GAMENAME Bench\r\nHOST no\r\nLOGIN u" + QByteArray::number(m_index) + " password\r\n");
    });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        if (!g_stopping)
            std::fprintf(stderr, "bench: client %d was disconnected\n", m_index);
    });
    m_socket.connectToHost(QHostAddress::LocalHost, port);
}

void BenchClient::read()
{
    QList<QByteArray> lines;
    m_framer.feed(m_socket.readAll(), lines);
    for (const QByteArray &l : std::as_const(lines)) {
        if (l.startsWith("LMESSAGE ")) {
            // "LMESSAGE sender k fan-out"
            const qsizetype a = l.indexOf(' ', 9);
            const qsizetype b = a < 0 ? -1 : l.indexOf(' ', a + 1);
            if (b > a)
                m_bench.onMessage(l.mid(a + 1, b - a - 1).toLongLong());
        } else if (!signedIn && (l.startsWith("+OK") || l.startsWith("-ERR"))) {
            if (l.startsWith("-ERR"))
                std::fprintf(stderr, "bench: client %d: %s\n", m_index, l.constData());
            // Greeting, GAMENAME, HOST, LOGIN.
            if (++m_statuses == 4) {
                signedIn = true;
                m_bench.onSignedIn();
            }
        } else if (!listComplete && l.startsWith("PLAYERLIST") && l.count('\n') == m_bench.clients()) {
            listComplete = true;
            m_bench.onFullList();
        }
    }
}

double percentile(std::vector<double> &v, double p)
{
    if (v.empty())
        return 0;
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + qsizetype(i), v.end());
    return v[i];
}

void report(int clients, const char *load, int window, Stats &s)
{
    const double p50 = percentile(s.latencyUs, 0.50) / 1000.0;
    const double p99 = percentile(s.latencyUs, 0.99) / 1000.0;
    std::printf("%7d  %-10s %6d  %8lld  %10.0f  %13.0f  %8.2f  %8.2f\n", clients, load, window, s.messages,
                double(s.messages) / s.seconds, double(s.deliveries) / s.seconds, p50, p99);
    std::fflush(stdout);
}

void raiseDescriptorLimit(int clients)
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    const rlim_t wanted = rlim_t(clients) + 128;
    if (rl.rlim_cur >= wanted)
        return;
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, rl.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur < wanted)
        std::fprintf(stderr, "bench: only %llu file descriptors\n", static_cast<unsigned long long>(rl.rlim_cur));
}

QString g_serverPath = QStringLiteral(QORCHAT_SERVER_EXE);

bool runFor(int clients, int messages, int window)
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("bench.sqlite"));
    {
        LobbyStore store;
        QString error;
        if (!store.open(db, &error)) {
            std::fprintf(stderr, "bench: %s\n", qPrintable(error));
            return false;
        }
        store.setHashParams({8, 1, 1});
        for (int i = 0; i < clients; ++i)
            store.createUser(QStringLiteral("u%1").arg(i), QStringLiteral("password"), QStringLiteral("b@x.jp"),
                             QString());
    }
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(g_serverPath, {QStringLiteral("--port"), QStringLiteral("0"),
                                                       QStringLiteral("--db"), db});
    QDeadlineTimer deadline(10000);
    while (!server.canReadLine() && server.state() != QProcess::NotRunning && !deadline.hasExpired())
        server.waitForReadyRead(int(deadline.remainingTime()));
    static const QRegularExpression re(QStringLiteral("listening on .*:(\\d+)"));
    const auto m = re.match(QString::fromUtf8(server.readLine()));
    if (!m.hasMatch()) {
        std::fprintf(stderr, "bench: the server did not start\n");
        return false;
    }
    bool ok = true;
    g_stopping = false;
    {
        Bench bench(clients, quint16(m.captured(1).toUInt()));
        const auto t0 = Clock::now();
        if (!bench.signInAll()) {
            std::fprintf(stderr, "bench: not all %d clients signed in\n", clients);
            ok = false;
        } else {
            std::fprintf(stderr, "bench: %d clients signed in in %.2f s\n", clients,
                         std::chrono::duration<double>(Clock::now() - t0).count());
            Stats one = bench.run(std::max(50, messages / 4), 1);
            report(clients, "one", 1, one);
            Stats loaded = bench.run(messages, window);
            report(clients, "windowed", window, loaded);
        }
        g_stopping = true;
    }
    g_stopping = true;
    ::kill(pid_t(server.processId()), SIGTERM);
    server.waitForFinished(10000);
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption clientsOpt(QStringLiteral("clients"), QStringLiteral("Comma-separated client counts."),
                                        QStringLiteral("N,..."), QStringLiteral("100,1000"));
    const QCommandLineOption messagesOpt(QStringLiteral("messages"), QStringLiteral("Messages in the windowed run."),
                                         QStringLiteral("M"), QStringLiteral("400"));
    const QCommandLineOption windowOpt(QStringLiteral("window"), QStringLiteral("Messages on their way at once."),
                                       QStringLiteral("W"), QStringLiteral("16"));
    const QCommandLineOption serverOpt(QStringLiteral("server"), QStringLiteral("The server executable."),
                                       QStringLiteral("PATH"), g_serverPath);
    parser.addOptions({clientsOpt, messagesOpt, windowOpt, serverOpt});
    parser.process(app);
    g_serverPath = parser.value(serverOpt);

    QList<int> counts;
    for (const QString &c : parser.value(clientsOpt).split(u',')) {
        if (c.toInt() > 0)
            counts << c.toInt();
    }
    if (counts.isEmpty())
        return std::fprintf(stderr, "bench: --clients needs positive numbers\n"), 2;
    raiseDescriptorLimit(*std::max_element(counts.begin(), counts.end()));
    const int messages = std::max(1, parser.value(messagesOpt).toInt());
    const int window = std::max(1, parser.value(windowOpt).toInt());

    std::printf("clients  load       window  messages  messages/s  deliveries/s  p50 (ms)  p99 (ms)\n");
    bool ok = true;
    for (int n : counts)
        ok = runFor(n, messages, window) && ok;
    return ok ? 0 : 1;
}
