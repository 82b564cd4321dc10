#pragma once
// What qorchat-admin asks of a running server. A request is a JSON object:
// {"command": NAME, "args": [..], "for": SECONDS, "reason": TEXT, "game": NAME,
//  "limit": N, "target": TEXT, "actor": NAME}; the answer is {"ok": true, ...} or
// {"ok": false, "error": ONE LINE}. Every argument is checked before anything is done.
#include <QJsonObject>
#include <QString>

#include <functional>

class LobbyServer;
class LobbyStore;
class Moderation;

class AdminCommands {
public:
    AdminCommands(LobbyServer &server, LobbyStore &store, Moderation &moderation);
    // What "reload" does (as SIGHUP); false with the reason when something failed.
    void setReload(std::function<bool(QString *)> reload) { m_reload = std::move(reload); }
    // actor: who asked, as the channel knows it (user and uid of the peer).
    QJsonObject run(const QJsonObject &request, const QString &actor);

private:
    LobbyServer &m_server;
    LobbyStore &m_store;
    Moderation &m_moderation;
    std::function<bool(QString *)> m_reload;
};
