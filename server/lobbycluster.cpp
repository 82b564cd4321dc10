// The lobby's side of cluster mode: each node keeps every player and room of the
// cluster, its own clients as connections and the others' as remote stand-ins,
// and changes them only as the bus reports, in the bus's order.
#include "lobbyserver.h"

#include "clientconnection.h"
#include "net/protocol/protocol.h"
#include "serverlog.h"

using namespace protocol;

LobbyServer::Game *LobbyServer::gameNamed(const QString &name)
{
    const auto it = m_games.constFind(name);
    return it == m_games.constEnd() ? nullptr : it->get();
}

void LobbyServer::replaceWithRemote(ClientConnection *c)
{
    ClientConnection *stand = ClientConnection::remote(c->user, c->host, *c->game, m_bus->nodeId(), this);
    stand->room = c->room;
    if (Room *room = c->room) {
        if (room->owner == c)
            room->owner = stand;
        std::replace(room->members.begin(), room->members.end(), c, stand);
    }
    if (Game *g = gameOf(c))
        std::replace(g->players.begin(), g->players.end(), c, stand);
    m_signedIn.insert(c->user, stand);
    c->user.clear();
    c->room = nullptr;
}

void LobbyServer::clusterJoin(const QString &game, const QString &user, bool host, const QString &node)
{
    if (m_signedIn.contains(user))
        return;
    ClientConnection *c = node == m_bus->nodeId() ? m_pendingLogins.value(user) : nullptr;
    if (c && m_clients.contains(c)) {
        c->user = user;
    } else {
        const auto info = m_catalog.find(game);
        if (!info) {
            qCWarning(lcServer, "game \"%s\" of node %s is not in this node's catalog", qPrintable(game),
                     qPrintable(node));
            return;
        }
        c = ClientConnection::remote(user, host, *info, node, this);
    }
    addPlayer(c);
}

void LobbyServer::clusterPart(const QString &, const QString &user)
{
    ClientConnection *c = m_signedIn.value(user);
    if (!c)
        return;
    if (!c->isRemote()) {
        // Another node took this node for dead while its client is still here.
        qCWarning(lcServer, "%s was signed out by the cluster; restoring this node's players", qPrintable(user));
        m_bus->resync();
        return;
    }
    removePlayer(c);
    delete c;
}

void LobbyServer::clusterCreateRoom(const QString &game, const QString &room, const QString &owner)
{
    Game *g = gameNamed(game);
    ClientConnection *c = m_signedIn.value(owner);
    if (!g || !c || c->room || findRoom(*g, room))
        return;
    createRoom(*g, room, c);
}

void LobbyServer::clusterEnterRoom(const QString &game, const QString &room, const QString &user)
{
    Game *g = gameNamed(game);
    ClientConnection *c = m_signedIn.value(user);
    Room *r = g ? findRoom(*g, room) : nullptr;
    if (!r || !c || c->room)
        return;
    enterRoom(*g, r, c);
}

void LobbyServer::clusterLeaveRoom(const QString &game, const QString &room, const QString &user)
{
    Game *g = gameNamed(game);
    ClientConnection *c = m_signedIn.value(user);
    if (!g || !c || !c->room || c->room->name != room || c->room->owner == c)
        return;
    leaveRoom(c);
}

void LobbyServer::clusterDeleteRoom(const QString &game, const QString &room, bool notify, bool ownerToo)
{
    Game *g = gameNamed(game);
    Room *r = g ? findRoom(*g, room) : nullptr;
    if (!r)
        return;
    if (ownerToo)
        r->owner->send(deleteRoomLine(r->name));
    deleteRoom(*g, r, notify);
}

void LobbyServer::clusterStart(const QString &game, const QString &room, const QString &hostAddress)
{
    Game *g = gameNamed(game);
    if (Room *r = g ? findRoom(*g, room) : nullptr)
        startMatch(*g, r, hostAddress);
}

void LobbyServer::clusterLobbyMessage(const QString &game, const QString &user, const QString &text)
{
    if (Game *g = gameNamed(game)) {
        m_counters.chatOut += quint64(g->players.size());
        broadcast(g->players, chatLine(false, user, text));
    }
}

void LobbyServer::clusterRoomMessage(const QString &game, const QString &room, const QString &user,
                                     const QString &text)
{
    Game *g = gameNamed(game);
    if (Room *r = g ? findRoom(*g, room) : nullptr) {
        m_counters.chatOut += quint64(r->members.size());
        broadcast(r->members, chatLine(true, user, text));
    }
}

QList<ClusterGame> LobbyServer::clusterLocalState() const
{
    QList<ClusterGame> out;
    for (const auto &g : m_games) {
        ClusterGame game;
        game.name = g->info.name;
        for (const ClientConnection *p : std::as_const(g->players)) {
            if (!p->isRemote())
                game.players.append({p->user, p->host, m_bus->nodeId()});
        }
        for (const auto &r : g->rooms) {
            const bool local = std::any_of(r->members.cbegin(), r->members.cend(),
                                           [](const ClientConnection *m) { return !m->isRemote(); });
            if (!local)
                continue;
            ClusterRoom room{r->name, {}, g->info.maxPlayers};
            for (const ClientConnection *m : std::as_const(r->members))
                room.members.append(m->user);
            game.rooms.append(room);
        }
        if (!game.players.isEmpty())
            out.append(game);
    }
    return out;
}

void LobbyServer::clusterLost(const QStringList &users)
{
    for (const QString &user : users) {
        ClientConnection *c = m_signedIn.value(user);
        if (!c || c->isRemote())
            continue;
        qCWarning(lcServer, "%s signed in on another node while this one was cut off; closing here",
                 qPrintable(user));
        replaceWithRemote(c);
        c->close(true);
    }
}

void LobbyServer::clusterReset(const QList<ClusterGame> &games)
{
    // What this node's players saw of their rooms, to tell them what changed.
    struct Seen {
        QString room;
        QStringList entries;
        bool owner = false;
    };
    QHash<ClientConnection *, Seen> seen;
    QHash<QString, ClientConnection *> local;
    for (ClientConnection *c : std::as_const(m_clients)) {
        if (!c->signedIn())
            continue;
        local.insert(c->user, c);
        if (Room *r = c->room) {
            Seen s{r->name, {}, r->owner == c};
            for (const ClientConnection *m : std::as_const(r->members))
                s.entries << playerEntry(m);
            seen.insert(c, s);
        }
        c->room = nullptr;
    }
    for (const auto &g : std::as_const(m_games)) {
        for (ClientConnection *p : std::as_const(g->players)) {
            if (p->isRemote())
                delete p;
        }
    }
    m_games.clear();
    m_signedIn.clear();

    for (const ClusterGame &cg : games) {
        const auto info = m_catalog.find(cg.name);
        if (!info) {
            qCWarning(lcServer, "game \"%s\" of the cluster is not in this node's catalog", qPrintable(cg.name));
            continue;
        }
        auto g = std::make_shared<Game>();
        g->info = *info;
        for (const ClusterPlayer &p : cg.players) {
            if (m_signedIn.contains(p.user))
                continue;
            ClientConnection *c = nullptr;
            if (p.node == m_bus->nodeId()) {
                c = local.take(p.user);
                // Claimed, but its event was lost with the old connection.
                ClientConnection *pending = m_pendingLogins.value(p.user);
                if (!c && pending && m_clients.contains(pending)) {
                    c = pending;
                    c->user = p.user;
                }
            }
            if (!c)
                c = ClientConnection::remote(p.user, p.host, *info, p.node, this);
            g->players.append(c);
            m_signedIn.insert(p.user, c);
        }
        for (const ClusterRoom &cr : cg.rooms) {
            auto room = std::make_unique<Room>();
            room->name = cr.name;
            for (const QString &user : cr.members) {
                ClientConnection *m = m_signedIn.value(user);
                if (m && !m->room && m->game && m->game->name == cg.name) {
                    room->members.append(m);
                    m->room = room.get();
                }
            }
            if (room->members.isEmpty())
                continue;
            room->owner = room->members.first();
            g->rooms.push_back(std::move(room));
        }
        g->playersDirty = g->roomsDirty = g->rebuilt = true;
        if (!g->players.isEmpty())
            m_games.insert(cg.name, g);
    }
    // Players the shared state no longer has cannot stay: their name may be taken.
    for (ClientConnection *c : std::as_const(local)) {
        qCWarning(lcServer, "%s is no longer known to the cluster; closing", qPrintable(c->user));
        c->user.clear();
        c->close(true);
    }
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        ClientConnection *c = it.key();
        if (!c->signedIn())
            continue;
        // The owner too: its room was closed without its asking.
        if (!c->room || c->room->name != it->room) {
            c->send(deleteRoomLine(it->room));
            continue;
        }
        QStringList entries;
        for (const ClientConnection *m : std::as_const(c->room->members))
            entries << playerEntry(m);
        if (entries != it->entries)
            c->send(listLine(QLatin1String(kw::ROOMPLAYERLIST), entries));
    }
    scheduleListFlush();
}
