#pragma once
// The HTTP endpoint for monitoring: /metrics (Prometheus text format), /healthz
// (the event loop answers) and /readyz (the database and, in a cluster, Redis
// answer). Runs on the server's event loop, so a scrape sees one consistent state.
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

class LobbyServer;
class LobbyStore;
class Moderation;
class QHttpServer;

class MetricsEndpoint : public QObject {
    Q_OBJECT
public:
    MetricsEndpoint(LobbyServer &server, LobbyStore &store, Moderation *moderation, QObject *parent = nullptr);
    ~MetricsEndpoint() override;
    // port 0 picks a free one; the port, or 0 with the reason in error.
    quint16 listen(const QHostAddress &address, quint16 port, QString *error);
    // TLS handshakes given up, counted by whoever watches the TLS listener.
    void countTlsFailure() { ++m_tlsFailures; }

    // The /metrics page.
    QByteArray render() const;
    // Empty when ready, else why not.
    QString notReady() const;

private:
    LobbyServer &m_server;
    LobbyStore &m_store;
    Moderation *m_moderation;
    std::unique_ptr<QHttpServer> m_http;
    quint64 m_tlsFailures = 0;
};
