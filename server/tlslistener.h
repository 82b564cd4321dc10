#pragma once
// A listening port that speaks TLS: each accepted socket is handed on as a
// ready TlsSocket only once its handshake has finished. A handshake that fails
// or passes its deadline is logged and closed; it never reaches the lobby.
#include <QSslConfiguration>
#include <QTcpServer>

#include <memory>
#include <optional>

class ConnectionBudget;
class TlsContext;

class TlsListener : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int kDefaultHandshakeTimeoutMs = 10000;

    // Certificate (PEM, optionally followed by its chain) and unencrypted private
    // key (PEM, RSA or EC); TLS 1.2 at least. nullopt with the reason in error.
    static std::optional<QSslConfiguration> loadConfiguration(const QString &certFile, const QString &keyFile,
                                                              QString *error);
    // "AB:CD:..." SHA-256 of the certificate, what players pin.
    static QString fingerprint(const QSslCertificate &certificate);

    explicit TlsListener(const QSslConfiguration &configuration, QObject *parent = nullptr);
    ~TlsListener() override;

    // For connections accepted from now on (a renewed certificate). False (and
    // the old one stays) when OpenSSL refuses it, with the reason in error.
    bool setConfiguration(const QSslConfiguration &configuration, QString *error = nullptr);
    void setHandshakeTimeout(int ms) { m_handshakeTimeoutMs = ms > 0 ? ms : 1; }
    int handshakeTimeout() const { return m_handshakeTimeoutMs; }
    // Handshakes beyond this many at once are refused at once.
    void setMaxHandshakes(int n) { m_maxHandshakes = n > 0 ? n : 1; }
    int handshakesInProgress() const { return m_handshaking; }
    // A handshake holds a connection of the server's budget (and of its address)
    // from its first byte; without a budget only setMaxHandshakes applies.
    void setBudget(ConnectionBudget *budget) { m_budget = budget; }

signals:
    // A handshake was given up (after the log line); for tests and counters.
    void handshakeFailed(const QString &reason);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::shared_ptr<TlsContext> m_context;
    int m_handshakeTimeoutMs = kDefaultHandshakeTimeoutMs;
    int m_maxHandshakes = 1000;
    int m_handshaking = 0;
    ConnectionBudget *m_budget = nullptr;
};
