// The least a lobby chat server can do over TLS: bench_ceiling's epoll loop with
// an OpenSSL session on each socket. Greets after the handshake, says "+OK" to
// the sign-in lines and relays LMESSAGE to every signed-in client, output gathered
// per client and encrypted and sent once per loop pass. The load generator runs
// it beside qorchat-server as the TLS ceiling.
//
//   bench_tlsceiling --cert PEM --key PEM [--port N]   prints "listening on 127.0.0.1:PORT"
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Client {
    int fd = -1;
    SSL *ssl = nullptr;
    bool ready = false; // handshake done
    std::string in;
    std::string out;
    std::string name;
    bool member = false;
    bool dirty = false;
};

std::vector<Client *> g_byFd;
std::vector<Client *> g_members;
std::vector<Client *> g_dirty;

void queue(Client *c, const std::string &bytes)
{
    c->out += bytes;
    if (!c->dirty) {
        c->dirty = true;
        g_dirty.push_back(c);
    }
}

void drop(int ep, Client *c)
{
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
    SSL_free(c->ssl);
    ::close(c->fd);
    g_byFd[size_t(c->fd)] = nullptr;
    std::erase(g_members, c);
    std::erase(g_dirty, c);
    delete c;
}

void handleLine(Client *c, const std::string &line)
{
    const std::string k = line.substr(0, line.find(' '));
    if (k == "LMESSAGE") {
        if (!c->member)
            return;
        const std::string out = "LMESSAGE " + c->name + line.substr(8) + "\r\n";
        for (Client *m : g_members)
            queue(m, out);
        return;
    }
    if (k == "LOGIN") {
        const size_t a = line.find(' ');
        const size_t b = line.find(' ', a + 1);
        c->name = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        c->member = true;
        g_members.push_back(c);
    }
    queue(c, "+OK\r\n");
}

// False when the client is to be dropped.
bool readable(Client *c)
{
    ERR_clear_error();
    if (!c->ready) {
        const int r = SSL_accept(c->ssl);
        if (r != 1) {
            const int e = SSL_get_error(c->ssl, r);
            return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
        }
        c->ready = true;
        queue(c, "+OK ceiling\r\n");
    }
    char buf[16384];
    for (;;) {
        const int r = SSL_read(c->ssl, buf, sizeof buf);
        if (r <= 0) {
            const int e = SSL_get_error(c->ssl, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
                return false;
            break;
        }
        c->in.append(buf, size_t(r));
    }
    size_t start = 0;
    for (size_t eol; (eol = c->in.find("\r\n", start)) != std::string::npos; start = eol + 2)
        handleLine(c, c->in.substr(start, eol - start));
    c->in.erase(0, start);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int port = 0;
    const char *cert = nullptr;
    const char *key = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0)
            port = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--cert") == 0)
            cert = argv[++i];
        else if (std::strcmp(argv[i], "--key") == 0)
            key = argv[++i];
    }
    if (!cert || !key) {
        std::fprintf(stderr, "usage: bench_tlsceiling --cert PEM --key PEM [--port N]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // As the server sets its context up.
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(lfd, 1024) != 0) {
        std::perror("bench_tlsceiling: listen");
        return 1;
    }
    socklen_t len = sizeof sa;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
    std::printf("listening on 127.0.0.1:%u\n", unsigned(ntohs(sa.sin_port)));
    std::fflush(stdout);

    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    std::vector<epoll_event> events(512);
    for (;;) {
        // Gathered output is encrypted and goes out when the loop would block.
        for (Client *c : g_dirty) {
            c->dirty = false;
            const int n = SSL_write(c->ssl, c->out.data(), int(c->out.size()));
            if (n <= 0)
                ERR_clear_error();
            c->out.clear(); // a reader this slow is not what this measures
        }
        g_dirty.clear();
        const int n = epoll_wait(ep, events.data(), int(events.size()), -1);
        if (n < 0 && errno != EINTR)
            return 1;
        for (int i = 0; i < n; ++i) {
            const int fd = events[size_t(i)].data.fd;
            if (fd == lfd) {
                for (;;) {
                    const int cfd = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (cfd < 0)
                        break;
                    setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    if (g_byFd.size() <= size_t(cfd))
                        g_byFd.resize(size_t(cfd) + 1);
                    auto *c = new Client;
                    c->fd = cfd;
                    c->ssl = SSL_new(ctx);
                    SSL_set_fd(c->ssl, cfd);
                    SSL_set_accept_state(c->ssl);
                    g_byFd[size_t(cfd)] = c;
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = cfd;
                    epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &cev);
                }
                continue;
            }
            Client *c = size_t(fd) < g_byFd.size() ? g_byFd[size_t(fd)] : nullptr;
            if (c && !readable(c))
                drop(ep, c);
        }
    }
}
