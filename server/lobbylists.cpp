// Incremental lists: players who asked for them (LISTDELTA) get one line per
// player or room that came, changed or went, instead of whole lists. What they
// all hold is kept per game; a newcomer gets exactly that and then the same
// changes as everyone else.
#include "lobbyserver.h"

#include "clientconnection.h"
#include "net/protocol/protocol.h"

using namespace protocol;

bool LobbyServer::wantsWholeLists(const ClientConnection *c) { return !c->listDelta && !c->isRemote(); }

QStringList LobbyServer::playerEntries(const Game &g) const
{
    QStringList entries;
    entries.reserve(g.players.size());
    for (const ClientConnection *p : g.players)
        entries << playerEntry(p);
    return entries;
}

void LobbyServer::handle(ClientConnection *c, const protocol::client::ListDelta &)
{
    c->listDelta = true;
    ok(c);
    if (c->signedIn())
        sendWholeLists(c);
}

void LobbyServer::sendWholeLists(ClientConnection *c)
{
    Game *g = gameOf(c);
    if (!g)
        return;
    if (!g->sentPlayers || !g->sentRooms)
        flushGameDeltas(*g);
    c->send(listLine(QLatin1String(kw::PLAYERLIST), *g->sentPlayers));
    c->send(listLine(QLatin1String(kw::ROOMLIST), *g->sentRooms));
    c->hasLists = true;
}

void LobbyServer::flushDeltas()
{
    m_lastDeltaFlush.restart();
    const auto games = m_games.values();
    for (const auto &g : games) {
        if (!g->deltaDirty && g->sentPlayers)
            continue;
        const bool anyAsked = std::any_of(g->players.cbegin(), g->players.cend(),
                                          [](const ClientConnection *p) { return p->listDelta; });
        if (!anyAsked) {
            // Nobody to keep in step: a later newcomer starts from the state of then.
            g->sentPlayers.reset();
            g->sentRooms.reset();
            g->deltaDirty = false;
            continue;
        }
        flushGameDeltas(*g);
    }
}

void LobbyServer::flushGameDeltas(Game &g)
{
    g.deltaDirty = false;
    const QStringList players = playerEntries(g);
    const QStringList rooms = roomEntries(g);
    QByteArray out;
    if (g.sentPlayers && g.sentRooms) {
        for (const QString &line : listDeltaLines(ListDelta::Players, *g.sentPlayers, players))
            out += ClientConnection::encodeLine(line);
        for (const QString &line : listDeltaLines(ListDelta::Rooms, *g.sentRooms, rooms))
            out += ClientConnection::encodeLine(line);
    } else {
        // The game's state was rebuilt (the cluster's reset): start again from whole lists.
        out = ClientConnection::encodeLine(listLine(QLatin1String(kw::PLAYERLIST), players))
            + ClientConnection::encodeLine(listLine(QLatin1String(kw::ROOMLIST), rooms));
    }
    g.sentPlayers = players;
    g.sentRooms = rooms;
    if (out.isEmpty())
        return;
    for (ClientConnection *p : std::as_const(g.players)) {
        if (p->listDelta && p->hasLists)
            p->sendEncoded(out);
    }
}
