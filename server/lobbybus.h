#pragma once
// The seam between the lobby and the other nodes of a cluster. The lobby asks the
// bus to change the shared state (LobbyBus); the bus tells every node, the asking
// one included, what changed, in one order for all (LobbyEvents).
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

struct ClusterPlayer {
    QString user;
    bool host = false;
    QString node;
};

struct ClusterRoom {
    QString name;
    QStringList members; // the owner first
    int maxPlayers = 0;
};

struct ClusterGame {
    QString name;
    QList<ClusterPlayer> players; // in order of sign-in
    QList<ClusterRoom> rooms;     // in order of creation
};

class LobbyEvents {
public:
    virtual ~LobbyEvents() = default;
    virtual void clusterJoin(const QString &game, const QString &user, bool host, const QString &node) = 0;
    virtual void clusterPart(const QString &game, const QString &user) = 0;
    virtual void clusterCreateRoom(const QString &game, const QString &room, const QString &owner) = 0;
    virtual void clusterEnterRoom(const QString &game, const QString &room, const QString &user) = 0;
    virtual void clusterLeaveRoom(const QString &game, const QString &room, const QString &user) = 0;
    // notify: the members other than the owner get DELETEROOM; ownerToo: the owner
    // as well (the room was closed by the cluster, not by its owner).
    virtual void clusterDeleteRoom(const QString &game, const QString &room, bool notify, bool ownerToo) = 0;
    virtual void clusterStart(const QString &game, const QString &room, const QString &hostAddress) = 0;
    // Chat of other nodes' players; a node delivers its own players' chat itself.
    virtual void clusterLobbyMessage(const QString &game, const QString &user, const QString &text) = 0;
    virtual void clusterRoomMessage(const QString &game, const QString &room, const QString &user,
                                    const QString &text) = 0;
    // The whole shared state, after the node lost track of it (start, reconnection).
    virtual void clusterReset(const QList<ClusterGame> &games) = 0;
    // What this node must put back into a shared state that lost it: its own
    // players and the rooms they are in.
    virtual QList<ClusterGame> clusterLocalState() const = 0;
    // Players of this node that another node holds now; they are signed out here.
    virtual void clusterLost(const QStringList &users) = 0;
    // An operator's kick of an account (its folded ID), for whichever node holds it.
    virtual void clusterKick(const QString &) {}
    // Bans or mutes changed in the shared database.
    virtual void clusterSanctionsChanged() {}
};

class LobbyBus {
public:
    // 0 for done, else the number of the "-ERR" answer.
    using Reply = std::function<void(int error)>;

    virtual ~LobbyBus() = default;
    virtual QString nodeId() const = 0;
    // False while the shared state cannot be reached: no new sign-ins then.
    virtual bool isReady() const = 0;

    virtual void join(const QString &game, const QString &user, bool host, Reply reply) = 0;
    virtual void part(const QString &user) = 0;
    virtual void createRoom(const QString &game, const QString &room, const QString &user, Reply reply) = 0;
    virtual void enterRoom(const QString &game, const QString &room, const QString &user, int maxPlayers,
                           Reply reply) = 0;
    virtual void leaveRoom(const QString &user, int maxPlayers, Reply reply) = 0;
    virtual void deleteRoom(const QString &game, const QString &room, const QString &user, Reply reply) = 0;
    virtual void start(const QString &user, int minPlayers, const QString &hostAddress, Reply reply) = 0;
    // For the other nodes; the caller delivers to this node's players. False when
    // the message could not be sent.
    virtual bool lobbyMessage(const QString &game, const QString &user, const QString &text) = 0;
    virtual bool roomMessage(const QString &game, const QString &room, const QString &user, const QString &text) = 0;
    // The shared state and this node disagree; put this node's part back.
    virtual void resync() = 0;
    // Tell every node (this one too); false when it could not be sent.
    virtual bool kick(const QString &) { return false; }
    virtual bool sanctionsChanged() { return false; }
};
