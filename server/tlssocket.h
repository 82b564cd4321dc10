#pragma once
// A server-side TLS connection: a plain QTcpSocket for the descriptor and its
// reads, with an OpenSSL session in memory beside it. Nothing is encrypted or
// sent behind the owner's back: the owner feeds what arrived (handshake,
// decrypt), encrypts whole batches of output (encrypt) and takes the records to
// send (takeOutput), so a connection's output of one loop pass becomes one write.
#include <QByteArray>
#include <QTcpSocket>

#include <memory>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;
class QSslConfiguration;

// The certificate and key every new session starts from; sessions keep the
// context they started with when it is replaced.
class TlsContext {
public:
    static std::shared_ptr<TlsContext> fromConfiguration(const QSslConfiguration &configuration, QString *error);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;
    ssl_ctx_st *handle() const { return m_ctx; }

private:
    explicit TlsContext(ssl_ctx_st *ctx) : m_ctx(ctx) {}
    ssl_ctx_st *m_ctx;
};

class TlsSocket : public QTcpSocket {
    Q_OBJECT
public:
    explicit TlsSocket(const TlsContext &context, QObject *parent = nullptr);
    ~TlsSocket() override;

    enum class Handshake { Done, Waiting, Failed };
    // Takes what arrived and goes on; the answer goes out at once, except what
    // follows the end (session tickets): hasOutput says so.
    Handshake continueHandshake(QString *error);

    // Reads at most maxBytes of records from the socket and appends their
    // plaintext to out. False when the stream is broken (error says why).
    bool decrypt(QByteArray &out, qint64 maxBytes, QString *error);
    // Records fed before the handshake ended that decrypt has not looked at.
    bool hasUnreadRecords() const { return m_unread; }

    void encrypt(const char *data, qsizetype size);
    // close_notify, after everything encrypted so far.
    void encryptClose();
    // Records made by encrypt or by the session itself (handshake, key updates).
    bool hasOutput() const;
    QByteArray takeOutput();
    // Sends takeOutput() as far as the kernel takes it now, the rest through Qt.
    void sendOutput();

private:
    bool feed(qint64 maxBytes);

    ssl_st *m_ssl;
    bio_st *m_in;  // records received, owned by m_ssl
    bio_st *m_out; // records to send, owned by m_ssl
    bool m_unread = false;
};
