#include "metrics.h"

#include <QHttpServer>
#include <QHttpServerResponse>

#include "lobbybus.h"
#include "lobbyserver.h"
#include "lobbystore.h"
#include "moderation.h"

namespace {

// A label value: backslash, double quote and line feed escaped.
QString label(const QString &value)
{
    QString out = value;
    out.replace(u'\\', QLatin1String("\\\\")).replace(u'"', QLatin1String("\\\"")).replace(u'\n', QLatin1String("\\n"));
    return out;
}

class Page {
public:
    void family(const char *name, const char *type, const char *help)
    {
        m_name = QLatin1String(name);
        m_text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n").arg(m_name, QLatin1String(help), QLatin1String(type));
    }
    void sample(double value, const QString &labels = QString())
    {
        m_text += m_name;
        if (!labels.isEmpty())
            m_text += u'{' + labels + u'}';
        m_text += u' ' + QString::number(value, 'g', 17) + u'\n';
    }
    QByteArray bytes() const { return m_text.toUtf8(); }

private:
    QString m_name;
    QString m_text;
};

} // namespace

MetricsEndpoint::MetricsEndpoint(LobbyServer &server, LobbyStore &store, Moderation *moderation, QObject *parent)
    : QObject(parent), m_server(server), m_store(store), m_moderation(moderation), m_http(std::make_unique<QHttpServer>())
{
    m_http->route(QStringLiteral("/metrics"), [this] {
        return QHttpServerResponse(QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"), render());
    });
    m_http->route(QStringLiteral("/healthz"), [] { return QHttpServerResponse(QByteArrayLiteral("text/plain"), "ok\n"); });
    m_http->route(QStringLiteral("/readyz"), [this] {
        const QString why = notReady();
        return why.isEmpty() ? QHttpServerResponse(QByteArrayLiteral("text/plain"), "ready\n")
                             : QHttpServerResponse(QByteArrayLiteral("text/plain"), (why + u'\n').toUtf8(),
                                                   QHttpServerResponse::StatusCode::ServiceUnavailable);
    });
}

MetricsEndpoint::~MetricsEndpoint() = default;

quint16 MetricsEndpoint::listen(const QHostAddress &address, quint16 port, QString *error)
{
    const quint16 bound = m_http->listen(address, port);
    if (!bound)
        *error = QStringLiteral("cannot listen on %1:%2").arg(address.toString()).arg(port);
    return bound;
}

QString MetricsEndpoint::notReady() const
{
    if (!m_store.ping())
        return QStringLiteral("database: %1").arg(m_store.lastError());
    if (m_server.bus() && !m_server.bus()->isReady())
        return QStringLiteral("cluster: Redis not reachable");
    return QString();
}

QByteArray MetricsEndpoint::render() const
{
    Page p;
    const auto kinds = m_server.connectionKinds();
    p.family("qorchat_connections", "gauge", "Connections held by this node (clients, TLS handshakes, closing ones), by kind.");
    for (const char *kind : {"plain", "tls"})
        p.sample(kinds.value(QLatin1String(kind)), QStringLiteral("kind=\"%1\"").arg(QLatin1String(kind)));
    p.family("qorchat_signed_in", "gauge", "Players signed in on this node.");
    p.sample(m_server.signedInCount());
    const auto loads = m_server.gameLoads();
    p.family("qorchat_players", "gauge", "Players in the lobby of each game (in a cluster, of every node).");
    for (const auto &g : loads)
        p.sample(g.players, QStringLiteral("game=\"%1\"").arg(label(g.game)));
    p.family("qorchat_rooms", "gauge", "Rooms open in each game.");
    for (const auto &g : loads)
        p.sample(g.rooms, QStringLiteral("game=\"%1\"").arg(label(g.game)));
    const LobbyServer::Counters &c = m_server.counters();
    p.family("qorchat_signins_total", "counter", "Sign-ins by result.");
    p.sample(double(c.signInsOk), QStringLiteral("result=\"ok\""));
    p.sample(double(c.signInsFailed), QStringLiteral("result=\"failed\""));
    p.sample(double(c.signInsThrottled), QStringLiteral("result=\"throttled\""));
    p.sample(double(c.signInsRefused), QStringLiteral("result=\"refused\""));
    p.family("qorchat_hash_queue", "gauge", "Password hashes waiting or running.");
    p.sample(m_server.pendingHashes());
    p.family("qorchat_chat_lines_in_total", "counter", "Chat lines received from players on this node.");
    p.sample(double(c.chatIn));
    p.family("qorchat_chat_lines_out_total", "counter", "Chat lines written to players on this node.");
    p.sample(double(c.chatOut));
    p.family("qorchat_chat_lines_dropped_total", "counter", "Chat lines not relayed: sender muted or flooding.");
    p.sample(double(c.chatDropped));
    p.family("qorchat_deliveries_total", "counter", "Lines fanned out to players (chat, lists, room events).");
    p.sample(double(c.deliveries));
    p.family("qorchat_list_push_bytes_total", "counter", "Bytes of pushed player and room lists.");
    p.sample(double(c.listBytes));
    p.family("qorchat_moderation_actions_total", "counter", "Moderation actions recorded on this node, by action.");
    if (m_moderation) {
        for (auto it = m_moderation->actionCounts().cbegin(); it != m_moderation->actionCounts().cend(); ++it)
            p.sample(double(it.value()), QStringLiteral("action=\"%1\"").arg(label(it.key())));
    }
    p.family("qorchat_tls_handshake_failures_total", "counter", "TLS handshakes given up.");
    p.sample(double(m_tlsFailures));
    p.family("qorchat_database_errors_total", "counter", "Failed database statements.");
    p.sample(double(m_store.errorCount()));
    if (m_server.bus()) {
        p.family("qorchat_cluster_bus_up", "gauge", "1 while the cluster's Redis is reachable.");
        p.sample(m_server.bus()->isReady() ? 1 : 0);
    }
    return p.bytes();
}
