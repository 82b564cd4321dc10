#include "tlssocket.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

namespace {

QString lastError(const char *fallback)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code)
        return QString::fromLatin1(fallback);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

X509 *fromDer(const QByteArray &der)
{
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    return d2i_X509(nullptr, &p, long(der.size()));
}

} // namespace

std::shared_ptr<TlsContext> TlsContext::fromConfiguration(const QSslConfiguration &configuration, QString *error)
{
    const QList<QSslCertificate> chain = configuration.localCertificateChain();
    if (chain.isEmpty() || configuration.privateKey().isNull()) {
        *error = QStringLiteral("no certificate or no key");
        return nullptr;
    }
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        *error = lastError("cannot make a TLS context");
        return nullptr;
    }
    auto context = std::shared_ptr<TlsContext>(new TlsContext(ctx));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Renegotiation is a handshake's CPU on the client's demand.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET);
    // Our client keeps no session from one connection to the next (Qt does not,
    // unless asked): tickets and cached sessions would be work and bytes for nobody.
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    X509 *leaf = fromDer(chain.first().toDer());
    const bool leafOk = leaf && SSL_CTX_use_certificate(ctx, leaf) == 1;
    X509_free(leaf);
    if (!leafOk) {
        *error = lastError("the certificate is not usable");
        return nullptr;
    }
    for (qsizetype i = 1; i < chain.size(); ++i) {
        X509 *link = fromDer(chain.at(i).toDer());
        if (!link || SSL_CTX_add0_chain_cert(ctx, link) != 1) { // owns link from here on success
            X509_free(link);
            *error = lastError("a certificate of the chain is not usable");
            return nullptr;
        }
    }
    const QByteArray keyPem = configuration.privateKey().toPem();
    BIO *keyBio = BIO_new_mem_buf(keyPem.constData(), int(keyPem.size()));
    EVP_PKEY *key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(keyBio);
    const bool keyOk = key && SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    EVP_PKEY_free(key);
    if (!keyOk) {
        *error = lastError("the key is not usable with the certificate");
        return nullptr;
    }
    return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(m_ctx); }

TlsSocket::TlsSocket(const TlsContext &context, QObject *parent)
    : QTcpSocket(parent), m_ssl(SSL_new(context.handle())), m_in(BIO_new(BIO_s_mem())), m_out(BIO_new(BIO_s_mem()))
{
    if (!m_ssl || !m_in || !m_out)
        qFatal("tls: out of memory for a session");
    // An empty memory buffer means "wait for more", not end of stream.
    BIO_set_mem_eof_return(m_in, -1);
    SSL_set_bio(m_ssl, m_in, m_out);
    SSL_set_accept_state(m_ssl);
}

TlsSocket::~TlsSocket() { SSL_free(m_ssl); }

bool TlsSocket::feed(qint64 maxBytes)
{
    char buf[16 * 1024];
    bool any = false;
    while (maxBytes > 0) {
        const qint64 n = read(buf, std::min<qint64>(maxBytes, qint64(sizeof buf)));
        if (n <= 0)
            break;
        BIO_write(m_in, buf, int(n));
        maxBytes -= n;
        any = true;
    }
    return any;
}

TlsSocket::Handshake TlsSocket::continueHandshake(QString *error)
{
    feed(1 << 20);
    ERR_clear_error();
    const int r = SSL_do_handshake(m_ssl);
    Handshake result = Handshake::Done;
    if (r != 1) {
        const int why = SSL_get_error(m_ssl, r);
        if (why == SSL_ERROR_WANT_READ) {
            result = Handshake::Waiting;
        } else {
            *error = lastError(why == SSL_ERROR_SYSCALL || why == SSL_ERROR_ZERO_RETURN ? "the peer ended the handshake"
                                                                                        : "handshake failed");
            result = Handshake::Failed;
        }
    }
    // The answer, or the alert telling why not. Once done, what the session adds
    // (its tickets) waits for the connection's first output: one write, not two.
    if (result != Handshake::Done)
        sendOutput();
    m_unread = result == Handshake::Done && BIO_ctrl_pending(m_in) > 0;
    return result;
}

bool TlsSocket::decrypt(QByteArray &out, qint64 maxBytes, QString *error)
{
    const bool fed = feed(maxBytes);
    if (!fed && !m_unread)
        return true;
    m_unread = false;
    ERR_clear_error();
    for (;;) {
        const qsizetype at = out.size();
        out.resize(at + 16 * 1024);
        const int n = SSL_read(m_ssl, out.data() + at, 16 * 1024);
        out.resize(at + std::max(n, 0));
        if (n > 0)
            continue;
        switch (SSL_get_error(m_ssl, n)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_ZERO_RETURN: // close_notify: the TCP close follows
            return true;
        default:
            *error = lastError("broken record");
            return false;
        }
    }
}

void TlsSocket::encrypt(const char *data, qsizetype size)
{
    // A memory sink takes everything: SSL_write never stops short here.
    while (size > 0) {
        const int chunk = int(std::min<qsizetype>(size, 1 << 30));
        if (SSL_write(m_ssl, data, chunk) <= 0) {
            ERR_clear_error();
            return; // a session that failed sends nothing more; the read side ends it
        }
        data += chunk;
        size -= chunk;
    }
}

void TlsSocket::encryptClose()
{
    SSL_shutdown(m_ssl);
    ERR_clear_error();
}

bool TlsSocket::hasOutput() const { return BIO_ctrl_pending(m_out) > 0; }

QByteArray TlsSocket::takeOutput()
{
    // Read out, not reset: a reset clears the whole buffer, every pass.
    QByteArray bytes(qsizetype(BIO_ctrl_pending(m_out)), Qt::Uninitialized);
    const int n = BIO_read(m_out, bytes.data(), int(bytes.size()));
    bytes.truncate(std::max(n, 0));
    return bytes;
}

void TlsSocket::sendOutput()
{
    if (!hasOutput())
        return;
    const QByteArray bytes = takeOutput();
    qsizetype sent = 0;
    const qintptr fd = socketDescriptor();
    if (fd >= 0 && bytesToWrite() == 0 && state() == ConnectedState) {
        const ssize_t n = ::send(int(fd), bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        sent = n > 0 ? qsizetype(n) : 0;
    }
    if (sent < bytes.size())
        write(bytes.constData() + sent, bytes.size() - sent);
}
