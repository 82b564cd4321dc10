// Incremental lists: players who asked for them (LISTDELTA) get one line per
// player or room that came, changed or went, instead of whole lists. The server
// records the names it changes as it changes them; a pass costs what changed, not
// the size of the lists.
#include "lobbyserver.h"

#include <limits>

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
    // Changes not yet sent are in these already; the next pass repeats them, and a
    // change applied twice changes nothing.
    const QByteArray lines = ClientConnection::encodeLine(listLine(QLatin1String(kw::PLAYERLIST), playerEntries(*g)))
        + ClientConnection::encodeLine(listLine(QLatin1String(kw::ROOMLIST), roomEntries(*g)));
    m_counters.listBytes += quint64(lines.size());
    c->sendEncoded(lines);
    c->hasLists = true;
}

void LobbyServer::flushDeltas()
{
    m_lastDeltaFlush.restart();
    const auto games = m_games.values();
    for (const auto &g : games) {
        if (g->changedPlayers.isEmpty() && g->changedRooms.isEmpty() && !g->rebuilt)
            continue;
        const QByteArray out = deltaLines(*g);
        quint64 to = 0;
        for (ClientConnection *p : std::as_const(g->players)) {
            if (p->listDelta && p->hasLists) {
                p->sendEncoded(out);
                ++to;
            }
        }
        m_counters.listBytes += quint64(out.size()) * to;
    }
}

QByteArray LobbyServer::deltaLines(Game &g)
{
    QByteArray out;
    if (g.rebuilt) {
        // The cluster's state was read anew: nothing tells what changed.
        out = ClientConnection::encodeLine(listLine(QLatin1String(kw::PLAYERLIST), playerEntries(g)))
            + ClientConnection::encodeLine(listLine(QLatin1String(kw::ROOMLIST), roomEntries(g)));
    } else {
        out = deltaLines(g.changedPlayers, kw::PLAYERSET, kw::PLAYERREMOVE, [&](const QString &user) {
            const ClientConnection *p = m_signedIn.value(user);
            return p && p->game && p->game->name == g.info.name ? playerEntry(p) : QString();
        });
        out += deltaLines(g.changedRooms, kw::ROOMSET, kw::ROOMREMOVE, [&](const QString &name) {
            const Room *r = findRoom(g, name);
            return r ? roomListEntry(r->name, r->members.size(), g.info.maxPlayers) : QString();
        });
    }
    g.changedPlayers.clear();
    g.changedRooms.clear();
    g.rebuilt = false;
    return out;
}

QByteArray LobbyServer::deltaLines(const ListChanges &changes, const char *set, const char *remove,
                                   const std::function<QString(const QString &)> &entryOf)
{
    const auto line = [](const char *keyword, const QString &value) {
        return ClientConnection::encodeLine(QLatin1String(keyword) + u' ' + value);
    };
    QByteArray out;
    // Those that came are at the end of the list, in the order they came. One that
    // went and came back is moved there, and so is every one that came after it:
    // a newcomer's whole list may hold them in front of it.
    quint64 firstMoved = std::numeric_limits<quint64>::max();
    for (const QString &name : changes.names()) {
        const ListChanges::Change change = changes.change(name);
        if (change.went && change.came)
            firstMoved = std::min(firstMoved, change.came);
    }
    std::vector<std::pair<quint64, QString>> appended;
    for (const QString &name : changes.names()) {
        const ListChanges::Change change = changes.change(name);
        const QString entry = entryOf(name);
        if (entry.isEmpty() || change.went || (change.came && change.came >= firstMoved))
            out += line(remove, name);
        if (entry.isEmpty())
            continue;
        if (change.came)
            appended.emplace_back(change.came, entry);
        else
            out += line(set, entry);
    }
    std::sort(appended.begin(), appended.end());
    for (const auto &[came, entry] : appended)
        out += line(set, entry);
    return out;
}
