// The lobby's side of the operators' tools: who is on, kicks, notices, mutes and
// the word list, and the figures the metrics read.
#include "lobbyserver.h"

#include <QSslSocket>

#include "clientconnection.h"
#include "lobbystore.h"
#include "moderation.h"
#include "net/protocol/protocol.h"
#include "serverlog.h"
#include "tlssocket.h"

using namespace protocol;

QList<LobbyServer::OnlinePlayer> LobbyServer::onlinePlayers() const
{
    QList<OnlinePlayer> out;
    for (const auto &g : std::as_const(m_games)) {
        for (const ClientConnection *p : std::as_const(g->players)) {
            out << OnlinePlayer{p->user, g->info.name, p->isRemote() ? QString() : p->peerKey(),
                                p->room ? p->room->name : QString(), p->host};
        }
    }
    std::sort(out.begin(), out.end(), [](const OnlinePlayer &a, const OnlinePlayer &b) {
        return std::tie(a.game, a.user) < std::tie(b.game, b.user);
    });
    return out;
}

void LobbyServer::setModeration(Moderation *moderation)
{
    m_moderation = moderation;
    if (m_moderation)
        m_moderation->setChangeHandler([this] {
            if (m_bus)
                m_bus->sanctionsChanged();
        });
}

void LobbyServer::clusterKick(const QString &folded) { kickLocal(folded); }

void LobbyServer::clusterSanctionsChanged()
{
    if (m_moderation)
        m_moderation->reloadMutes();
}

int LobbyServer::kickAccount(const QString &folded)
{
    int n = kickLocal(folded);
    if (!m_bus)
        return n;
    // A player on another node: that node closes it when the kick comes round.
    for (const ClientConnection *c : std::as_const(m_signedIn)) {
        if (c->isRemote() && LobbyStore::foldName(c->user) == folded && m_bus->kick(folded))
            ++n;
    }
    return n;
}

int LobbyServer::kickLocal(const QString &folded)
{
    int n = 0;
    const auto clients = m_clients;
    for (ClientConnection *c : clients) {
        if (c->signedIn() && !c->isClosing() && LobbyStore::foldName(c->user) == folded) {
            qCInfo(lcServer, "kicked: %s from %s", qPrintable(c->user), qPrintable(c->peerKey()));
            c->close(false);
            ++n;
        }
    }
    return n;
}

int LobbyServer::kickAddress(const QPair<QHostAddress, int> &subnet)
{
    int n = 0;
    const auto clients = m_clients;
    for (ClientConnection *c : clients) {
        const QString address = c->peerKey();
        if (!c->isClosing() && c->peerKeyAddress().isInSubnet(subnet)) {
            qCInfo(lcServer, "kicked: %s from %s", qPrintable(c->signedIn() ? c->user : QStringLiteral("(not signed in)")),
                   qPrintable(address));
            c->close(false);
            ++n;
        }
    }
    return n;
}

int LobbyServer::notice(const QString &game, const QString &text)
{
    const QString sender = QString::fromUtf16(Moderation::kNoticeSender);
    int n = 0;
    for (const auto &g : std::as_const(m_games)) {
        if (!game.isEmpty() && g->info.name != game)
            continue;
        // Through the bus every node's players of the game read it.
        if (m_bus && m_bus->lobbyMessage(g->info.name, sender, text)) {
            n += int(g->players.size());
            continue;
        }
        QList<ClientConnection *> local;
        for (ClientConnection *p : std::as_const(g->players)) {
            if (!p->isRemote())
                local << p;
        }
        n += int(local.size());
        m_counters.chatOut += quint64(local.size());
        broadcast(local, chatLine(false, sender, text));
    }
    return n;
}

QList<LobbyServer::GameLoad> LobbyServer::gameLoads() const
{
    QList<GameLoad> out;
    for (const auto &g : std::as_const(m_games))
        out << GameLoad{g->info.name, int(g->players.size()), int(g->rooms.size())};
    std::sort(out.begin(), out.end(), [](const GameLoad &a, const GameLoad &b) { return a.game < b.game; });
    return out;
}

QHash<QString, int> LobbyServer::connectionKinds() const
{
    QHash<QString, int> kinds{{QStringLiteral("plain"), 0}, {QStringLiteral("tls"), 0}};
    // Every connection holding a descriptor: also TLS handshakes and closing ones.
    for (const QTcpSocket *socket : m_budget.sockets())
        ++kinds[qobject_cast<const TlsSocket *>(socket) || qobject_cast<const QSslSocket *>(socket)
                    ? QStringLiteral("tls")
                    : QStringLiteral("plain")];
    return kinds;
}

bool LobbyServer::mayChat(ClientConnection *c, bool room)
{
    if (!m_moderation)
        return true;
    const QString account = LobbyStore::foldName(c->user);
    qint64 until = m_moderation->mutedUntil(account);
    if (!until && m_moderation->floodCrossed(account)) {
        const qint64 secs = m_moderation->nextAutoMuteSecs(account);
        qCInfo(lcServer, "muted: %s for %lld s, more than %d chat lines in %d ms", qPrintable(c->user), qlonglong(secs),
               m_moderation->floodLimit().lines, m_moderation->floodLimit().windowMs);
        if (!m_moderation->impose(QStringLiteral("mute"), QStringLiteral("account"), account, secs,
                                  QStringLiteral("flood"), QStringLiteral("server")))
            qCWarning(lcServer, "database error: mute of %s not stored: %s", qPrintable(c->user),
                      qPrintable(m_store.lastError()));
        until = m_moderation->now() + secs;
    }
    if (!until)
        return true;
    ++m_counters.chatDropped;
    // Instead of its own echo the sender reads why nobody else does.
    const QString end = until < 0 ? QString()
                                  : QStringLiteral("（%1まで）")
                                        .arg(QDateTime::fromSecsSinceEpoch(until).toString(QStringLiteral("yyyy/MM/dd HH:mm")));
    c->send(chatLine(room && c->room, QString::fromUtf16(Moderation::kNoticeSender),
                     QStringLiteral("発言は停止されています") + end));
    return false;
}

QString LobbyServer::masked(const QString &text, const ClientConnection *c) const
{
    return m_moderation && c->game ? m_moderation->mask(text, c->game->name) : text;
}

QString LobbyServer::roomArgument(const ClientConnection *c, const QString &name) const
{
    // Masked again on every command: the client names the room as the list shows it.
    return masked(name, c);
}
