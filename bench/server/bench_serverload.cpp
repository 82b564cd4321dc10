// Load generator for qorchat-server: plain epoll, no Qt, so that the generator is
// not what limits the figures. It starts the server and bench_ceiling (a minimal
// epoll broadcaster) side by side and reports the server against the ceiling.
//
// Modes:
//   fanout  N clients in one game; M LMESSAGEs in flight, each delivered to all N.
//           Deliveries/s, p50/p99 send -> last delivery, server CPU per delivery
//           (from /proc), each as min/median/max of --runs runs.
//   burst   N members chat (1 in flight) while B new clients register and sign in
//           at once; chat p99 before, during and after the burst.
//   churn   N players on two servers side by side, on one all ask for incremental
//           lists, on the other none; one sign-in alone, then R sign-ins (and as
//           many sign-outs) per second: bytes received per sign-in and server CPU,
//           --runs periods of --seconds on each, alternating. With --baseline PATH
//           the whole-list server runs that binary.
//
//   --baseline PATH with fanout measures that binary too, beside --server.
//   --server-only-arg ARG goes to --server alone (not to the baseline).
//   lists   N players on two servers side by side, on one all ask for incremental
//           lists (LISTDELTA), on the other none: per sign-in the bytes all players
//           receive, the server's CPU and how long until every player lists the
//           newcomer; --runs sign-ins each.
//
//   cluster N clients spread over --nodes nodes sharing one lobby through a
//           throw-away Redis, beside one node with N clients: fan-out as above
//           (CPU summed over nodes and Redis) and the rate of a sign-in burst;
//           --db postgresql://... gives all of them one shared database;
//           --baseline PATH runs a cluster of another binary beside (before/after);
//           --burst 0 leaves out the sign-in burst; --cluster-query ?flush-pace=MS
//           tunes --server's nodes (not the baseline's).
//
//   tls     The same fan-out over TLS, three servers side by side: --ceiling (the
//           TLS ceiling, bench_tlsceiling), --baseline (an older qorchat-server)
//           and --server; before that server CPU per sign-in (handshake, GAMENAME,
//           HOST, LOGIN of a registered account, close), --signins one after another
//           on a server nobody else uses.
//           Needs --tls-cert and --tls-key; see bench/tls/run-tlsload.
//
//   bench_serverload --server PATH --ceiling PATH [--mode fanout|burst|churn|lists|cluster|tls]
//       [--clients 100,1000,3000] [--window 1,16] [--deliveries 300000] [--runs 3]
//       [--burst 200] [--rate 5] [--seconds 10] [--server-arg ARG]... [--server-only-arg ARG]...
//       [--nodes 3] [--redis PATH] [--db URL] [--cluster-query ?flush-pace=MS]
//       [--baseline PATH] [--tls-cert PEM] [--tls-key PEM] [--signins 200]
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Servers started and not yet stopped: a run that gives up stops them too, or they
// would hold the caller's output open (and their ports) forever.
std::vector<pid_t> g_children;

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "bench_serverload: %s\n", what);
    for (const pid_t pid : g_children)
        ::kill(pid, SIGTERM);
    std::exit(1);
}

// ---- Child processes -----------------------------------------------------------

// User plus system CPU seconds of a process so far.
double cpuOf(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = std::fopen(path, "r");
    if (!f)
        return 0;
    char buf[2048];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char *p = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

struct Process {
    pid_t pid = -1;
    int port = 0;

    Process(const std::string &exe, const std::vector<std::string> &args)
    {
        int out[2];
        if (::pipe(out) != 0)
            die("pipe");
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(exe.c_str()));
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            std::perror("exec");
            std::_Exit(127);
        }
        ::close(out[1]);
        g_children.push_back(pid);
        std::string text;
        char buf[256];
        while (text.find('\n') == std::string::npos) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0)
                die(("no \"listening on\" from " + exe).c_str());
            text.append(buf, size_t(n));
        }
        ::close(out[0]);
        // The first line only: a TLS server prints its fingerprint after it.
        text.resize(text.find('\n'));
        const size_t colon = text.rfind(':');
        port = std::atoi(text.c_str() + colon + 1);
        if (text.rfind("listening on", 0) != 0 || port <= 0)
            die(("unexpected first line from " + exe + ": " + text).c_str());
    }
    ~Process()
    {
        std::erase(g_children, pid);
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    // User plus system CPU seconds so far.
    double cpu() const { return cpuOf(pid); }
};

// CPU seconds of a process's live threads from the scheduler's nanosecond counts
// (the tick counts of /proc/PID/stat are too coarse for one sign-in).
double fineCpuOf(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return 0;
    double ns = 0;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        if (FILE *f = std::fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r")) {
            unsigned long long run = 0;
            if (std::fscanf(f, "%llu", &run) == 1)
                ns += double(run);
            std::fclose(f);
        }
    }
    ::closedir(d);
    return ns / 1e9;
}

double ownCpu()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// ---- Clients on one epoll loop -------------------------------------------------

class Loop;

// Set in --mode tls: every client speaks TLS.
SSL_CTX *g_tls = nullptr;

struct Client {
    int fd = -1;
    SSL *ssl = nullptr;
    int index = 0;
    std::string name;
    std::string in;
    std::string out;
    int statuses = 0;
    int expectedStatuses = 0; // greeting + sign-in lines
    bool signedIn = false;
    bool failed = false;
    bool fullList = false;
    bool sawWatched = false;
};

class Loop {
public:
    std::function<void(Client &, const std::string &)> onLine;
    std::function<void(Client &)> onSignedIn;
    long long bytesIn = 0;
    int expectedListEntries = 0;
    int signedInCount = 0;
    int fullLists = 0;
    // Lines holding this count once per client in sawWatchedCount.
    std::string watchFor;
    int sawWatchedCount = 0;

    Loop() : m_ep(epoll_create1(EPOLL_CLOEXEC)) {}
    ~Loop()
    {
        for (auto &c : m_clients)
            if (c && c->fd >= 0)
                ::close(c->fd);
        ::close(m_ep);
    }

    Client *connect(int port, const std::string &name, const std::string &signInLines, int statuses)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            die("socket (raise ulimit -n)");
        // Each client from its own loopback address, as players come from theirs:
        // sign-ins from one address queue behind each other (failure delays).
        const unsigned k = m_sourceSerial++ % 64000;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7f010000u + (k / 250) * 256 + k % 250 + 1);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0)
            die("bind to a loopback address");
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
            die("connect");
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SSL *ssl = nullptr;
        if (g_tls) {
            // Blocking: the handshake is the server's work, not the generator's.
            ssl = SSL_new(g_tls);
            SSL_set_fd(ssl, fd);
            if (SSL_connect(ssl) != 1) {
                ERR_print_errors_fp(stderr);
                die("TLS handshake failed");
            }
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->ssl = ssl;
        c->index = int(m_clients.size());
        c->name = name;
        c->expectedStatuses = statuses;
        c->out = signInLines;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = uint64_t(c->index);
        epoll_ctl(m_ep, EPOLL_CTL_ADD, fd, &ev);
        m_clients.push_back(std::move(c));
        return m_clients.back().get();
    }

    void close(Client &c)
    {
        epoll_ctl(m_ep, EPOLL_CTL_DEL, c.fd, nullptr);
        SSL_free(c.ssl);
        c.ssl = nullptr;
        ::close(c.fd);
        c.fd = -1;
        if (c.signedIn)
            --signedInCount;
        c.signedIn = false;
    }

    void send(Client &c, const std::string &bytes)
    {
        if (c.fd < 0)
            return;
        if (c.out.empty()) {
            const ssize_t n = write(c, bytes.data(), bytes.size());
            if (n == ssize_t(bytes.size()))
                return;
            c.out.assign(bytes, n > 0 ? size_t(n) : 0);
        } else {
            c.out += bytes;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = uint64_t(c.index);
        epoll_ctl(m_ep, EPOLL_CTL_MOD, c.fd, &ev);
    }

    // Runs until done() holds or the time is up; false on timeout.
    bool runUntil(const std::function<bool()> &done, Clock::duration timeout,
                  const std::function<void()> &tick = {})
    {
        const auto end = Clock::now() + timeout;
        std::vector<epoll_event> events(1024);
        char buf[65536];
        while (!done()) {
            const auto now = Clock::now();
            if (now >= end)
                return false;
            const int wait = tick ? 5 : int(std::chrono::duration_cast<Ms>(end - now).count()) + 1;
            const int n = epoll_wait(m_ep, events.data(), int(events.size()), wait);
            if (tick)
                tick();
            for (int i = 0; i < n; ++i) {
                Client &c = *m_clients[size_t(events[size_t(i)].data.u64)];
                if (c.fd < 0)
                    continue;
                if (events[size_t(i)].events & EPOLLOUT)
                    flush(c);
                if (!(events[size_t(i)].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                    continue;
                // A TLS session may hold more than the socket signals: read it dry.
                while (c.fd >= 0) {
                    const ssize_t r = read(c, buf, sizeof buf);
                    if (r == kWouldBlock)
                        break;
                    if (r <= 0) {
                        std::fprintf(stderr, "bench_serverload: client %s lost its connection\n", c.name.c_str());
                        close(c);
                        c.failed = true;
                        break;
                    }
                    bytesIn += r;
                    c.in.append(buf, size_t(r));
                    size_t start = 0;
                    for (size_t eol; (eol = c.in.find("\r\n", start)) != std::string::npos; start = eol + 2)
                        line(c, std::string_view(c.in).substr(start, eol - start));
                    c.in.erase(0, start);
                    if (!c.ssl)
                        break;
                }
            }
        }
        return true;
    }

    std::vector<std::unique_ptr<Client>> &clients() { return m_clients; }

private:
    static constexpr ssize_t kWouldBlock = -2;

    static ssize_t write(Client &c, const char *data, size_t size)
    {
        if (!c.ssl)
            return ::send(c.fd, data, size, MSG_NOSIGNAL);
        const int n = SSL_write(c.ssl, data, int(size));
        if (n <= 0)
            ERR_clear_error();
        return n;
    }

    // Bytes read, 0 at the end, kWouldBlock when there is nothing yet.
    static ssize_t read(Client &c, char *buf, size_t size)
    {
        if (!c.ssl) {
            const ssize_t r = ::recv(c.fd, buf, size, 0);
            return r < 0 && (errno == EAGAIN || errno == EINTR) ? kWouldBlock : r;
        }
        const int r = SSL_read(c.ssl, buf, int(size));
        if (r > 0)
            return r;
        const int e = SSL_get_error(c.ssl, r);
        ERR_clear_error();
        return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? kWouldBlock : 0;
    }

    void flush(Client &c)
    {
        if (!c.out.empty()) {
            const ssize_t n = write(c, c.out.data(), c.out.size());
            if (n > 0)
                c.out.erase(0, size_t(n));
        }
        if (c.out.empty()) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = uint64_t(c.index);
            epoll_ctl(m_ep, EPOLL_CTL_MOD, c.fd, &ev);
        }
    }

    void line(Client &c, std::string_view l)
    {
        if (!watchFor.empty() && !c.sawWatched && l.find(watchFor) != std::string_view::npos) {
            c.sawWatched = true;
            ++sawWatchedCount;
        }
        if (l.rfind("+OK", 0) == 0 || l.rfind("-ERR", 0) == 0) {
            if (++c.statuses == c.expectedStatuses) {
                if (l.rfind("+OK", 0) == 0) {
                    c.signedIn = true;
                    ++signedInCount;
                    if (onSignedIn)
                        onSignedIn(c);
                } else {
                    std::fprintf(stderr, "bench_serverload: sign-in of %s refused: %.*s\n", c.name.c_str(),
                                 int(l.size()), l.data());
                    c.failed = true;
                }
            }
            return;
        }
        if (l.rfind("PLAYERLIST", 0) == 0) {
            if (!c.fullList && std::count(l.begin(), l.end(), '\n') >= expectedListEntries) {
                c.fullList = true;
                ++fullLists;
            }
            return;
        }
        if (onLine)
            onLine(c, std::string(l));
    }

    int m_ep;
    uint32_t m_sourceSerial = 0;
    std::vector<std::unique_ptr<Client>> m_clients;
};

std::string signInLines(const std::string &name)
{
    return "GAMENAME Bench\r\nHOST no\r\nREGISTUSER " + name + " secret1 b@example.org\r\nLOGIN " + name +
           " secret1\r\n";
}

// Connects and signs in n clients, a batch at a time so that the backlog holds
// and the server's bounded hash queue takes every one on a busy machine.
bool signIn(Loop &loop, const std::vector<int> &ports, int n, const std::string &prefix, bool waitForLists)
{
    constexpr int kBatch = 25;
    const int first = int(loop.clients().size());
    for (int i = 0; i < n; i += kBatch) {
        for (int j = i; j < std::min(n, i + kBatch); ++j) {
            const std::string name = prefix + std::to_string(first + j);
            loop.connect(ports[size_t(first + j) % ports.size()], name, signInLines(name), 5);
        }
        const int target = loop.signedInCount + std::min(n, i + kBatch) - i;
        if (!loop.runUntil([&] { return loop.signedInCount >= target; }, std::chrono::seconds(300)))
            return false;
    }
    loop.expectedListEntries = loop.signedInCount;
    if (waitForLists &&
        !loop.runUntil([&] { return loop.fullLists >= loop.signedInCount; }, std::chrono::seconds(120)))
        return false;
    // Let the last pushes drain.
    loop.runUntil([] { return false; }, Ms(300));
    return true;
}

bool signIn(Loop &loop, int port, int n, const std::string &prefix, bool waitForLists)
{
    return signIn(loop, std::vector<int>{port}, n, prefix, waitForLists);
}

// The number a relayed "LMESSAGE user k ..." carries, or -1.
long long messageNumber(const std::string &l)
{
    if (l.rfind("LMESSAGE ", 0) != 0)
        return -1;
    const size_t sp = l.find(' ', 9);
    if (sp == std::string::npos)
        return -1;
    return std::strtoll(l.c_str() + sp + 1, nullptr, 10);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

struct Figures {
    double cpuPerDeliveryUs = 0;
    double deliveriesPerSec = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double generatorCpu = 0; // share of one core
};

// Messages are numbered; a new one goes out when fewer than window are on their way.
class Chat {
public:
    Chat(Loop &loop) : m_loop(loop)
    {
        // Clients that join during a run ("z...") are not counted as receivers.
        loop.onLine = [this](Client &c, const std::string &l) {
            if (c.name[0] != 'z')
                received(messageNumber(l));
        };
    }

    void start(int window, long long total)
    {
        m_window = window;
        m_total = total;
        m_sent.clear();
        m_pending.clear();
        m_latency.clear();
        m_sentAt.clear();
        m_next = m_done = 0;
        m_base = m_serial;
        m_receivers = m_loop.signedInCount;
        pump();
    }
    bool finished() const { return m_done >= m_total; }
    // Latency (ms) of each finished message and when it was sent.
    const std::vector<double> &latency() const { return m_latency; }
    const std::vector<Clock::time_point> &sentAt() const { return m_sentAt; }

private:
    void pump()
    {
        auto &cs = m_loop.clients();
        while (m_next < m_total && m_next - m_done < m_window) {
            const long long k = m_serial++;
            ++m_next;
            m_sent.push_back(Clock::now());
            m_pending.push_back(m_receivers);
            // A signed-in sender, round robin.
            Client *from = nullptr;
            for (size_t tries = 0; tries < cs.size() && !from; ++tries) {
                Client &c = *cs[size_t(m_sender++ % cs.size())];
                if (c.signedIn)
                    from = &c;
            }
            if (!from)
                die("no signed-in sender");
            m_loop.send(*from, "LMESSAGE " + std::to_string(k) + " load\r\n");
        }
    }

    void received(long long k)
    {
        const long long i = k - m_base;
        if (i < 0 || i >= (long long)m_pending.size())
            return;
        if (--m_pending[size_t(i)] == 0) {
            m_latency.push_back(seconds(Clock::now() - m_sent[size_t(i)]) * 1000);
            m_sentAt.push_back(m_sent[size_t(i)]);
            ++m_done;
            pump();
        }
    }

    Loop &m_loop;
    int m_window = 1;
    int m_receivers = 0;
    long long m_total = 0, m_next = 0, m_done = 0, m_serial = 0, m_base = 0;
    size_t m_sender = 0;
    std::vector<Clock::time_point> m_sent;
    std::vector<int> m_pending;
    std::vector<double> m_latency;
    std::vector<Clock::time_point> m_sentAt;
};

Figures measure(Loop &loop, Chat &chat, const std::function<double()> &serverCpu, int window, long long deliveries)
{
    const int n = loop.signedInCount;
    const long long messages = std::max<long long>(window * 4, deliveries / n);
    const double cpu0 = serverCpu();
    const double own0 = ownCpu();
    const auto t0 = Clock::now();
    chat.start(window, messages);
    if (!loop.runUntil([&] { return chat.finished(); }, std::chrono::seconds(600)))
        die("messages did not arrive");
    const double wall = seconds(Clock::now() - t0);
    Figures f;
    f.cpuPerDeliveryUs = (serverCpu() - cpu0) / double(messages * n) * 1e6;
    f.deliveriesPerSec = double(messages * n) / wall;
    f.p50Ms = percentile(chat.latency(), 0.5);
    f.p99Ms = percentile(chat.latency(), 0.99);
    f.generatorCpu = (ownCpu() - own0) / wall;
    return f;
}

std::vector<int> intList(const char *s)
{
    std::vector<int> out;
    for (const char *p = s; *p;) {
        out.push_back(std::atoi(p));
        p = std::strchr(p, ',');
        if (!p)
            break;
        ++p;
    }
    return out;
}

struct Options {
    std::string mode = "fanout";
    std::string server;
    std::string ceiling;
    std::vector<std::string> serverArgs;
    std::vector<std::string> ownArgs; // --server's alone
    std::vector<int> clients = {100, 1000, 3000};
    std::vector<int> windows = {1, 16};
    long long deliveries = 300000;
    int runs = 3;
    int burst = 200;
    double rate = 5;
    double secs = 10;
    int nodes = 3;
    std::string redis = "redis-server";
    std::string clusterQuery; // cluster: added to --server's Redis URL, e.g. ?flush-pace=5
    std::string db; // shared database of the cluster run (default: each node its own :memory:)
    std::string baseline; // tls, cluster, churn, fanout: an older server binary measured beside
    std::string tlsCert, tlsKey;
    int signins = 200;
};

std::vector<std::string> serverArgs(const Options &o)
{
    std::vector<std::string> a = {"--listen", "127.0.0.1", "--port", "0", "--db", ":memory:", "--max-clients", "20000",
                                  "--log-level", "warning"};
    // Cheap hashes, so that signing in thousands of clients does not dominate the
    // run; the burst sets its own (--server-arg).
    if (o.mode != "burst")
        a.insert(a.end(), {"--hash-memory", "8", "--hash-passes", "1"});
    else
        a.insert(a.end(), {"--signin-timeout", "0"});
    a.insert(a.end(), o.serverArgs.begin(), o.serverArgs.end());
    return a;
}

// What --server itself gets: the common arguments and its own.
std::vector<std::string> ownServerArgs(const Options &o)
{
    std::vector<std::string> a = serverArgs(o);
    a.insert(a.end(), o.ownArgs.begin(), o.ownArgs.end());
    return a;
}

struct Triple {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    std::string str(const char *fmt) const
    {
        std::vector<double> s = v;
        std::sort(s.begin(), s.end());
        char buf[128];
        char a[32], b[32], c[32];
        std::snprintf(a, sizeof a, fmt, s.front());
        std::snprintf(b, sizeof b, fmt, s[s.size() / 2]);
        std::snprintf(c, sizeof c, fmt, s.back());
        std::snprintf(buf, sizeof buf, "%s / %s / %s", a, b, c);
        return buf;
    }
};

int fanout(const Options &o)
{
    const bool withBase = !o.baseline.empty();
    std::printf("fan-out: min / median / max of %d runs; CPU per delivery in us; ratio = server / ceiling%s\n", o.runs,
                withBase ? "; vs base = server / baseline" : "");
    if (withBase)
        std::printf("  server %s, baseline %s\n", o.server.c_str(), o.baseline.c_str());
    for (int n : o.clients) {
        Process server(o.server, ownServerArgs(o));
        Process ceiling(o.ceiling, {});
        std::unique_ptr<Process> base = withBase ? std::make_unique<Process>(o.baseline, serverArgs(o)) : nullptr;
        Loop sl, cl, bl;
        if (!signIn(sl, server.port, n, "b", true) || !signIn(cl, ceiling.port, n, "b", false) ||
            (base && !signIn(bl, base->port, n, "b", true)))
            die("sign-in timed out");
        Chat schat(sl), cchat(cl), bchat(bl);
        for (int w : o.windows) {
            Triple sCpu, cCpu, bCpu, ratio, vsBase, sP50, sP99, cP99, bP99, sRate, cRate, bRate, gen;
            for (int r = 0; r < o.runs; ++r) {
                const Figures s = measure(sl, schat, [&] { return server.cpu(); }, w, o.deliveries);
                const Figures c = measure(cl, cchat, [&] { return ceiling.cpu(); }, w, o.deliveries);
                sCpu.add(s.cpuPerDeliveryUs);
                cCpu.add(c.cpuPerDeliveryUs);
                ratio.add(s.cpuPerDeliveryUs / c.cpuPerDeliveryUs);
                sP50.add(s.p50Ms);
                sP99.add(s.p99Ms);
                cP99.add(c.p99Ms);
                sRate.add(s.deliveriesPerSec / 1000);
                cRate.add(c.deliveriesPerSec / 1000);
                double g = std::max(s.generatorCpu, c.generatorCpu);
                if (base) {
                    const Figures b = measure(bl, bchat, [&] { return base->cpu(); }, w, o.deliveries);
                    bCpu.add(b.cpuPerDeliveryUs);
                    vsBase.add(s.cpuPerDeliveryUs / b.cpuPerDeliveryUs);
                    bP99.add(b.p99Ms);
                    bRate.add(b.deliveriesPerSec / 1000);
                    g = std::max(g, b.generatorCpu);
                }
                gen.add(g * 100);
            }
            std::printf("clients %d, in flight %d\n", n, w);
            std::printf("  CPU/delivery  server %s  ceiling %s  ratio %s\n", sCpu.str("%.1f").c_str(),
                        cCpu.str("%.1f").c_str(), ratio.str("%.2f").c_str());
            if (base)
                std::printf("  CPU/delivery  baseline %s  vs base %s\n", bCpu.str("%.1f").c_str(),
                            vsBase.str("%.2f").c_str());
            std::printf("  deliveries/s  server %s k  ceiling %s k\n", sRate.str("%.0f").c_str(),
                        cRate.str("%.0f").c_str());
            std::printf("  send->last    server p50 %s ms, p99 %s ms; ceiling p99 %s ms\n", sP50.str("%.1f").c_str(),
                        sP99.str("%.1f").c_str(), cP99.str("%.1f").c_str());
            if (base)
                std::printf("  baseline      deliveries/s %s k, p99 %s ms\n", bRate.str("%.0f").c_str(),
                            bP99.str("%.1f").c_str());
            std::printf("  generator CPU %s %% of a core\n", gen.str("%.0f").c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}

int burst(const Options &o)
{
    const int n = o.clients.front();
    Process server(o.server, ownServerArgs(o));
    Loop loop;
    if (!signIn(loop, server.port, n, "m", true))
        die("sign-in timed out");
    // The accounts of the burst exist beforehand: the burst is sign-ins.
    {
        Loop reg;
        int registered = 0;
        reg.onSignedIn = [&](Client &) { ++registered; };
        for (int i = 0; i < o.burst; ++i)
            reg.connect(server.port, "z" + std::to_string(i),
                        "REGISTUSER z" + std::to_string(i) + " secret1 b@example.org\r\nQUIT\r\n", 2);
        if (!reg.runUntil([&] { return registered == o.burst; }, std::chrono::seconds(600)))
            die("registration timed out");
    }
    Chat chat(loop);
    chat.start(1, 1LL << 40);
    const auto before = Clock::now();
    loop.runUntil([] { return false; }, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.secs / 2)));
    const auto burstStart = Clock::now();
    const double cpu0 = server.cpu();
    int burstDone = 0;
    loop.onSignedIn = [&](Client &c) {
        if (c.name[0] == 'z')
            ++burstDone;
    };
    for (int i = 0; i < o.burst; ++i) {
        const std::string name = "z" + std::to_string(i);
        loop.connect(server.port, name, "GAMENAME Bench\r\nHOST no\r\nLOGIN " + name + " secret1\r\n", 4);
    }
    if (!loop.runUntil([&] { return burstDone == o.burst; }, std::chrono::seconds(600)))
        die("burst did not finish");
    const auto burstEnd = Clock::now();
    const double burstCpu = server.cpu() - cpu0;
    loop.runUntil([] { return false; }, burstEnd - burstStart + std::chrono::seconds(1));
    const auto afterEnd = Clock::now();
    std::vector<double> pre, during, post;
    for (size_t i = 0; i < chat.latency().size(); ++i) {
        const auto t = chat.sentAt()[i];
        (t < burstStart ? pre : t < burstEnd ? during : post).push_back(chat.latency()[i]);
    }
    std::printf("burst: %d members chatting (1 in flight), %d sign in at once\n", n, o.burst);
    std::printf("  burst took %.2f s, server CPU %.2f s (%.1f ms per sign-in)\n",
                seconds(burstEnd - burstStart), burstCpu, burstCpu * 1000 / o.burst);
    std::printf("  chat p50 / p99 (ms): before %.1f / %.1f (%zu msgs), during %.1f / %.1f (%zu), after %.1f / %.1f (%zu)\n",
                percentile(pre, .5), percentile(pre, .99), pre.size(), percentile(during, .5),
                percentile(during, .99), during.size(), percentile(post, .5), percentile(post, .99), post.size());
    std::printf("  window: before %.1f s, after %.1f s\n", seconds(burstStart - before), seconds(afterEnd - burstEnd));
    return 0;
}

std::string listSignInLines(const std::string &name, bool delta);
bool signInLists(Loop &loop, int port, int n, bool delta);

struct ChurnCost {
    double cpu = 0;       // server, share of a core
    double mbPerSignIn = 0;
    double generator = 0; // share of a core
};

// Steady churn for secs: every 1/rate s the oldest player leaves and a new one signs in.
ChurnCost churnFor(Loop &loop, Process &server, const Options &o, bool delta, int &serial)
{
    size_t oldest = 0;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.rate));
    auto next = Clock::now();
    const long long b1 = loop.bytesIn;
    const double cpu0 = server.cpu();
    const double own0 = ownCpu();
    const auto t0 = Clock::now();
    int joined = 0;
    loop.runUntil([&] { return seconds(Clock::now() - t0) >= o.secs; }, std::chrono::seconds(3600), [&] {
        while (Clock::now() >= next) {
            next += period;
            auto &cs = loop.clients();
            while (oldest < cs.size() && cs[oldest]->fd < 0)
                ++oldest;
            if (oldest < cs.size())
                loop.close(*cs[oldest]);
            const std::string name = "q" + std::to_string(serial++);
            loop.connect(server.port, name, listSignInLines(name, delta), delta ? 6 : 5);
            ++joined;
        }
    });
    const double wall = seconds(Clock::now() - t0);
    ChurnCost out;
    out.cpu = (server.cpu() - cpu0) / wall;
    out.mbPerSignIn = double(loop.bytesIn - b1) / 1e6 / std::max(1, joined);
    out.generator = (ownCpu() - own0) / wall;
    return out;
}

// Two servers side by side, one whose players all ask for incremental lists
// (LISTDELTA) and one whose players do not; their churn periods alternate.
int churn(const Options &o)
{
    const int n = o.clients.front();
    // Before/after: the older binary gets the players that do not ask for incremental lists.
    Process whole(o.baseline.empty() ? o.server : o.baseline, o.baseline.empty() ? ownServerArgs(o) : serverArgs(o));
    Process delta(o.server, ownServerArgs(o));
    Loop wl, dl;
    if (!signInLists(wl, whole.port, n, false) || !signInLists(dl, delta.port, n, true))
        die("sign-in timed out");
    const int interval = std::max(200, n);
    wl.runUntil([] { return false; }, Ms(2 * interval + 500));
    dl.runUntil([] { return false; }, Ms(2 * interval + 500));
    // One sign-in alone: what all players receive until the pushes settle.
    double single[2] = {0, 0};
    for (int d = 0; d < 2; ++d) {
        Loop &loop = d ? dl : wl;
        const long long b0 = loop.bytesIn;
        loop.connect((d ? delta : whole).port, "solo", listSignInLines("solo", d), d ? 6 : 5);
        const int target = loop.signedInCount + 1;
        loop.runUntil([&] { return loop.signedInCount >= target; }, std::chrono::seconds(60));
        loop.runUntil([] { return false; }, Ms(2 * interval + 500));
        single[d] = double(loop.bytesIn - b0) / 1e6;
    }
    Triple wCpu, dCpu, ratio, wMb, dMb, gen;
    int wSerial = 0, dSerial = 0;
    for (int r = 0; r < o.runs; ++r) {
        const ChurnCost w = churnFor(wl, whole, o, false, wSerial);
        const ChurnCost d = churnFor(dl, delta, o, true, dSerial);
        wCpu.add(w.cpu * 100);
        dCpu.add(d.cpu * 100);
        ratio.add(d.cpu / w.cpu);
        wMb.add(w.mbPerSignIn);
        dMb.add(d.mbPerSignIn);
        gen.add(std::max(w.generator, d.generator) * 100);
    }
    std::printf("churn: %d players, %.1f sign-ins (and sign-outs)/s, %.0f s per run; whole lists vs incremental "
                "(LISTDELTA) side by side; min / median / max of %d\n",
                n, o.rate, o.secs, o.runs);
    if (!o.baseline.empty())
        std::printf("  whole lists: %s; incremental: %s\n", o.baseline.c_str(), o.server.c_str());
    std::printf("  one sign-in alone, MB received by all  whole %.2f  incremental %.3f\n", single[0], single[1]);
    std::printf("  server CPU %% of a core   whole %s  incremental %s  ratio %s\n", wCpu.str("%.1f").c_str(),
                dCpu.str("%.1f").c_str(), ratio.str("%.2f").c_str());
    std::printf("  MB received per sign-in  whole %s  incremental %s\n", wMb.str("%.2f").c_str(),
                dMb.str("%.3f").c_str());
    std::printf("  generator CPU %s %% of a core\n", gen.str("%.0f").c_str());
    return 0;
}

// Players who ask for incremental lists send LISTDELTA first; its "+OK" is one
// more status before the sign-in is complete.
std::string listSignInLines(const std::string &name, bool delta)
{
    return (delta ? "LISTDELTA\r\n" : "") + signInLines(name);
}

bool signInLists(Loop &loop, int port, int n, bool delta)
{
    // Small steps: on a busy machine the server's hash queue holds fewer.
    const int step = 25;
    for (int i = 0; i < n; i += step) {
        for (int j = i; j < std::min(n, i + step); ++j) {
            const std::string name = "p" + std::to_string(j);
            loop.connect(port, name, listSignInLines(name, delta), delta ? 6 : 5);
        }
        const int target = loop.signedInCount + std::min(n, i + step) - i;
        if (!loop.runUntil([&] { return loop.signedInCount >= target; }, std::chrono::seconds(300)))
            return false;
    }
    return true;
}

struct SignInCost {
    double bytes = 0;     // received by all players, the newcomer included
    double cpuMs = 0;     // of the server
    double visibleMs = -1; // until every other player lists the newcomer
    double generator = 0; // share of a core
};

SignInCost oneSignIn(Loop &loop, Process &server, const std::string &name, bool delta, int settleMs)
{
    for (auto &c : loop.clients())
        c->sawWatched = false;
    loop.sawWatchedCount = 0;
    loop.watchFor = (delta ? "PLAYERSET " + name + " " : "\n" + name + " ");
    const int others = loop.signedInCount;
    const long long b0 = loop.bytesIn;
    const double cpu0 = fineCpuOf(server.pid);
    const double own0 = ownCpu();
    const auto t0 = Clock::now();
    Client *solo = loop.connect(server.port, name, listSignInLines(name, delta), delta ? 6 : 5);
    SignInCost out;
    if (loop.runUntil([&] { return loop.sawWatchedCount - int(solo->sawWatched) >= others; }, std::chrono::seconds(30)))
        out.visibleMs = seconds(Clock::now() - t0) * 1000;
    loop.runUntil([] { return false; }, Ms(settleMs));
    const double wall = seconds(Clock::now() - t0);
    out.bytes = double(loop.bytesIn - b0);
    out.cpuMs = (fineCpuOf(server.pid) - cpu0) * 1000;
    out.generator = (ownCpu() - own0) / wall;
    loop.watchFor.clear();
    return out;
}

int lists(const Options &o)
{
    std::printf("lists: one sign-in among N players, whole lists vs incremental (LISTDELTA); min / median / max of %d\n",
                o.runs);
    for (int n : o.clients) {
        Process whole(o.server, ownServerArgs(o));
        Process delta(o.server, ownServerArgs(o));
        Loop wl, dl;
        if (!signInLists(wl, whole.port, n, false) || !signInLists(dl, delta.port, n, true))
            die("sign-in timed out");
        // Until the merged pushes of the sign-ins are over.
        const int settle = 2 * std::max(200, n + 1 + o.runs) + 500;
        wl.runUntil([] { return false; }, Ms(settle));
        dl.runUntil([] { return false; }, Ms(settle));
        Triple wBytes, dBytes, ratio, wCpu, dCpu, wVis, dVis, gen;
        for (int r = 0; r < o.runs; ++r) {
            const std::string name = "solo" + std::to_string(r);
            const SignInCost w = oneSignIn(wl, whole, name, false, settle);
            const SignInCost d = oneSignIn(dl, delta, name, true, settle);
            wBytes.add(w.bytes / 1e3);
            dBytes.add(d.bytes / 1e3);
            ratio.add(d.bytes / w.bytes);
            wCpu.add(w.cpuMs);
            dCpu.add(d.cpuMs);
            wVis.add(w.visibleMs);
            dVis.add(d.visibleMs);
            gen.add(std::max(w.generator, d.generator) * 100);
        }
        std::printf("players %d\n", n);
        std::printf("  KB received per sign-in   whole %s  incremental %s  ratio %s\n", wBytes.str("%.1f").c_str(),
                    dBytes.str("%.1f").c_str(), ratio.str("%.4f").c_str());
        std::printf("  server CPU per sign-in ms whole %s  incremental %s\n", wCpu.str("%.2f").c_str(),
                    dCpu.str("%.2f").c_str());
        std::printf("  newcomer listed by all ms whole %s  incremental %s (-1: not within 30 s)\n",
                    wVis.str("%.0f").c_str(), dVis.str("%.0f").c_str());
        std::printf("  generator CPU %s %% of a core\n", gen.str("%.0f").c_str());
        std::fflush(stdout);
    }
    return 0;
}

// ---- Cluster -------------------------------------------------------------------

int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        die("no free port");
    ::close(fd);
    return ntohs(sa.sin_port);
}

// A throw-away redis-server, no persistence.
struct Redis {
    pid_t pid = -1;
    int port = 0;
    explicit Redis(const std::string &exe) : port(freePort())
    {
        pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            const std::string p = std::to_string(port);
            ::execlp(exe.c_str(), exe.c_str(), "--port", p.c_str(), "--bind", "127.0.0.1", "--save", "",
                     "--appendonly", "no", static_cast<char *>(nullptr));
            std::perror("exec redis-server");
            std::_Exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(uint16_t(port));
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
            ::close(fd);
            if (up)
                return;
            ::usleep(50000);
        }
        die("redis-server did not start");
    }
    ~Redis()
    {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
};

std::vector<std::string> nodeArgs(const Options &o, const std::string &cluster)
{
    std::vector<std::string> a = serverArgs(o);
    if (!o.db.empty()) {
        for (size_t i = 0; i + 1 < a.size(); ++i) {
            if (a[i] == "--db")
                a[i + 1] = o.db;
        }
    }
    if (!cluster.empty())
        a.insert(a.end(), {"--cluster", cluster});
    return a;
}

// Registers and signs in b new clients at once, spread over the ports: sign-ins/s.
double signInRate(Loop &loop, const std::vector<int> &ports, int b, const std::string &prefix)
{
    const int target = loop.signedInCount + b;
    const auto t0 = Clock::now();
    for (int i = 0; i < b; ++i) {
        const std::string name = prefix + std::to_string(i);
        loop.connect(ports[size_t(i) % ports.size()], name, signInLines(name), 5);
    }
    if (!loop.runUntil([&] { return loop.signedInCount >= target; }, std::chrono::seconds(600)))
        die("sign-in burst did not finish");
    return b / seconds(Clock::now() - t0);
}

// N clients spread over --nodes nodes sharing one lobby through Redis.
struct Cluster {
    std::unique_ptr<Redis> redis;
    std::vector<std::unique_ptr<Process>> nodes;
    std::vector<int> ports;
    Cluster(const Options &o, const std::string &exe, const std::string &query = "")
        : redis(std::make_unique<Redis>(o.redis))
    {
        const std::string url = "redis://127.0.0.1:" + std::to_string(redis->port) + query;
        for (int i = 0; i < o.nodes; ++i) {
            nodes.push_back(std::make_unique<Process>(exe, nodeArgs(o, url)));
            ports.push_back(nodes.back()->port);
        }
    }
    double cpu() const
    {
        double t = cpuOf(redis->pid);
        for (const auto &p : nodes)
            t += p->cpu();
        return t;
    }
};

// N clients spread over --nodes nodes sharing one lobby through Redis, beside one
// node with the same N clients, in the same invocation; with --baseline PATH also
// a cluster of that binary, measured in turn with the others.
int cluster(const Options &o)
{
    const int n = o.clients.front();
    const bool withBase = !o.baseline.empty();
    std::printf("cluster: %d clients, %d nodes + Redis vs one node%s; min / median / max of %d runs;\n"
                "CPU per delivery in us, summed over the nodes and Redis; ratio = cluster / single\n",
                n, o.nodes, withBase ? " and a cluster of the baseline binary" : "", o.runs);
    Cluster k(o, o.server, o.clusterQuery);
    std::unique_ptr<Cluster> b = withBase ? std::make_unique<Cluster>(o, o.baseline) : nullptr;
    Process single(o.server, nodeArgs(o, ""));
    // The nodes listen before they have joined the cluster.
    ::sleep(2);
    Loop kl, sl, bl;
    if (!signIn(kl, k.ports, n, "k", true) || !signIn(sl, single.port, n, "s", true) ||
        (b && !signIn(bl, b->ports, n, "b", true)))
        die("sign-in timed out");
    Chat kchat(kl), schat(sl), bchat(bl);
    for (int w : o.windows) {
        Triple kCpu, sCpu, bCpu, ratio, bRatio, kP99, sP99, bP99, kRate, sRate, bRate, gen;
        for (int r = 0; r < o.runs; ++r) {
            const Figures kf = measure(kl, kchat, [&] { return k.cpu(); }, w, o.deliveries);
            const Figures sf = measure(sl, schat, [&] { return single.cpu(); }, w, o.deliveries);
            Figures bf;
            if (b)
                bf = measure(bl, bchat, [&] { return b->cpu(); }, w, o.deliveries);
            kCpu.add(kf.cpuPerDeliveryUs);
            sCpu.add(sf.cpuPerDeliveryUs);
            ratio.add(kf.cpuPerDeliveryUs / sf.cpuPerDeliveryUs);
            kP99.add(kf.p99Ms);
            sP99.add(sf.p99Ms);
            kRate.add(kf.deliveriesPerSec / 1000);
            sRate.add(sf.deliveriesPerSec / 1000);
            gen.add(std::max({kf.generatorCpu, sf.generatorCpu, bf.generatorCpu}) * 100);
            if (b) {
                bCpu.add(bf.cpuPerDeliveryUs);
                bRatio.add(bf.cpuPerDeliveryUs / sf.cpuPerDeliveryUs);
                bP99.add(bf.p99Ms);
                bRate.add(bf.deliveriesPerSec / 1000);
            }
        }
        std::printf("clients %d, in flight %d\n", n, w);
        std::printf("  CPU/delivery  cluster %s  single %s  ratio %s\n", kCpu.str("%.1f").c_str(),
                    sCpu.str("%.1f").c_str(), ratio.str("%.2f").c_str());
        std::printf("  deliveries/s  cluster %s k  single %s k\n", kRate.str("%.0f").c_str(), sRate.str("%.0f").c_str());
        std::printf("  p99 send->last  cluster %s ms  single %s ms\n", kP99.str("%.1f").c_str(), sP99.str("%.1f").c_str());
        if (b) {
            std::printf("  baseline cluster: CPU/delivery %s  ratio %s  deliveries/s %s k  p99 %s ms\n",
                        bCpu.str("%.1f").c_str(), bRatio.str("%.2f").c_str(), bRate.str("%.0f").c_str(),
                        bP99.str("%.1f").c_str());
        }
        std::printf("  generator CPU %s %% of a core\n", gen.str("%.0f").c_str());
        std::fflush(stdout);
    }
    if (o.burst <= 0)
        return 0;
    Triple kSign, sSign;
    for (int r = 0; r < o.runs; ++r) {
        kSign.add(signInRate(kl, k.ports, o.burst, "kb" + std::to_string(r) + "_"));
        sSign.add(signInRate(sl, {single.port}, o.burst, "sb" + std::to_string(r) + "_"));
    }
    std::printf("sign-in (register + login) of %d new clients at once, database %s:\n", o.burst,
                o.db.empty() ? ":memory: per node" : "shared");
    std::printf("  cluster %s /s  single %s /s\n", kSign.str("%.0f").c_str(), sSign.str("%.0f").c_str());
    return 0;
}

// ---- TLS -----------------------------------------------------------------------

// Server CPU (ms) per sign-in: n clients one after another connect, shake hands,
// sign in (GAMENAME, HOST, LOGIN) and close; the server has nobody else. The
// accounts are registered beforehand, at the minimal hashing cost of the bench.
double signInCost(const Process &p, int n, const std::string &prefix, double *generator)
{
    {
        Loop accounts;
        if (!signIn(accounts, p.port, n, prefix, false))
            die("registering the sign-in accounts timed out");
        for (auto &c : accounts.clients())
            accounts.close(*c);
        accounts.runUntil([] { return false; }, Ms(300));
    }
    Loop loop;
    const double cpu0 = fineCpuOf(p.pid);
    const double own0 = ownCpu();
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        const std::string name = prefix + std::to_string(i);
        Client *c = loop.connect(p.port, name, "GAMENAME Bench\r\nHOST no\r\nLOGIN " + name + " secret1\r\n", 4);
        if (!loop.runUntil([&] { return c->signedIn || c->failed; }, std::chrono::seconds(60)) || c->failed)
            die("TLS sign-in failed");
        loop.close(*c);
    }
    // Its closes, too.
    loop.runUntil([] { return false; }, Ms(200));
    *generator = std::max(*generator, (ownCpu() - own0) / seconds(Clock::now() - t0));
    return (fineCpuOf(p.pid) - cpu0) / n * 1000;
}

int tlsLoad(const Options &o)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    g_tls = ctx;
    std::vector<std::string> args = serverArgs(o);
    args.insert(args.end(), {"--tls-cert", o.tlsCert, "--tls-key", o.tlsKey});
    const char *names[3] = {"ceiling", "old", "new"};
    const auto start = [&](int i) {
        return i == 0 ? std::make_unique<Process>(o.ceiling, std::vector<std::string>{"--cert", o.tlsCert, "--key", o.tlsKey})
                      : std::make_unique<Process>(i == 1 ? o.baseline : o.server, args);
    };
    std::printf("TLS: min / median / max of %d runs; ratio = server / TLS ceiling\n", o.runs);
    {
        // And the plain ports of the old and the new server: what a sign-in costs
        // them without TLS.
        std::unique_ptr<Process> p[5] = {start(0), start(1), start(2),
                                         std::make_unique<Process>(o.baseline, serverArgs(o)),
                                         std::make_unique<Process>(o.server, serverArgs(o))};
        Triple cost[5], ratio[5];
        double gen = 0;
        for (int r = 0; r < o.runs; ++r) {
            double ms[5];
            for (int i = 0; i < 5; ++i) {
                g_tls = i < 3 ? ctx : nullptr;
                cost[i].add(ms[i] = signInCost(*p[i], o.signins, "s" + std::to_string(r) + "_", &gen));
            }
            g_tls = ctx;
            for (int i = 1; i < 3; ++i)
                ratio[i].add(ms[i] / ms[0]);
            ratio[4].add(ms[4] / ms[3]);
        }
        std::printf("sign-ins, %d one after another on an empty server\n", o.signins);
        std::printf("  CPU/sign-in   ceiling %s ms  old %s ms  new %s ms\n", cost[0].str("%.3f").c_str(),
                    cost[1].str("%.3f").c_str(), cost[2].str("%.3f").c_str());
        std::printf("  ratio         old %s  new %s\n", ratio[1].str("%.2f").c_str(), ratio[2].str("%.2f").c_str());
        std::printf("  plain port    old %s ms  new %s ms  new/old %s\n", cost[3].str("%.3f").c_str(),
                    cost[4].str("%.3f").c_str(), ratio[4].str("%.2f").c_str());
        std::printf("  generator CPU %.0f %% of a core at most\n", gen * 100);
        std::fflush(stdout);
    }
    for (int n : o.clients) {
        std::unique_ptr<Process> p[3] = {start(0), start(1), start(2)};
        Loop loops[3];
        for (int i = 0; i < 3; ++i)
            if (!signIn(loops[i], p[i]->port, n, "b", i != 0))
                die("sign-in timed out");
        Chat c0(loops[0]), c1(loops[1]), c2(loops[2]);
        Chat *chats[3] = {&c0, &c1, &c2};
        for (int w : o.windows) {
            Triple cpu[3], ratio[3], p99[3], gen;
            for (int r = 0; r < o.runs; ++r) {
                Figures f[3];
                for (int i = 0; i < 3; ++i) {
                    f[i] = measure(loops[i], *chats[i], [&, i] { return fineCpuOf(p[i]->pid); }, w, o.deliveries);
                    cpu[i].add(f[i].cpuPerDeliveryUs);
                    p99[i].add(f[i].p99Ms);
                }
                for (int i = 1; i < 3; ++i)
                    ratio[i].add(f[i].cpuPerDeliveryUs / f[0].cpuPerDeliveryUs);
                gen.add(std::max({f[0].generatorCpu, f[1].generatorCpu, f[2].generatorCpu}) * 100);
            }
            std::printf("clients %d, in flight %d\n", n, w);
            for (int i = 0; i < 3; ++i)
                std::printf("  %-8s CPU/delivery %s us  p99 %s ms%s%s\n", names[i], cpu[i].str("%.2f").c_str(),
                            p99[i].str("%.1f").c_str(), i ? "  ratio " : "", i ? ratio[i].str("%.2f").c_str() : "");
            std::printf("  generator CPU %s %% of a core\n", gen.str("%.0f").c_str());
            std::fflush(stdout);
        }
    }
    g_tls = nullptr;
    SSL_CTX_free(ctx);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v)
            die(("missing value for " + a).c_str());
        ++i;
        if (a == "--mode") o.mode = v;
        else if (a == "--server") o.server = v;
        else if (a == "--ceiling") o.ceiling = v;
        else if (a == "--server-arg") o.serverArgs.push_back(v);
        else if (a == "--server-only-arg") o.ownArgs.push_back(v);
        else if (a == "--clients") o.clients = intList(v);
        else if (a == "--window") o.windows = intList(v);
        else if (a == "--deliveries") o.deliveries = std::atoll(v);
        else if (a == "--runs") o.runs = std::max(1, std::atoi(v));
        else if (a == "--burst") o.burst = std::atoi(v);
        else if (a == "--rate") o.rate = std::atof(v);
        else if (a == "--seconds") o.secs = std::atof(v);
        else if (a == "--nodes") o.nodes = std::max(1, std::atoi(v));
        else if (a == "--redis") o.redis = v;
        else if (a == "--cluster-query") o.clusterQuery = v;
        else if (a == "--db") o.db = v;
        else if (a == "--baseline") o.baseline = v;
        else if (a == "--tls-cert") o.tlsCert = v;
        else if (a == "--tls-key") o.tlsKey = v;
        else if (a == "--signins") o.signins = std::max(1, std::atoi(v));
        else die(("unknown option " + a).c_str());
    }
    if (o.server.empty())
        die("--server PATH is required");
    if (o.mode == "fanout") {
        if (o.ceiling.empty())
            die("--ceiling PATH is required");
        return fanout(o);
    }
    if (o.mode == "burst")
        return burst(o);
    if (o.mode == "churn")
        return churn(o);
    if (o.mode == "lists")
        return lists(o);
    if (o.mode == "cluster")
        return cluster(o);
    if (o.mode == "tls") {
        if (o.ceiling.empty() || o.baseline.empty() || o.tlsCert.empty() || o.tlsKey.empty())
            die("--mode tls needs --ceiling, --baseline, --tls-cert and --tls-key");
        return tlsLoad(o);
    }
    die("unknown mode");
}
