#pragma once
// The lobby: accepts clients, signs them in, keeps the players and rooms of each
// game and answers every client command. Single-threaded on the Qt event loop.
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QThreadPool>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "gamecatalog.h"
#include "lobbybus.h"
#include "passwordhash.h"
#include "signinthrottle.h"

class ClientConnection;
class LobbyStore;

struct Room {
    QString name;
    ClientConnection *owner = nullptr;
    QList<ClientConnection *> members; // the owner first
};

class LobbyServer : public QObject, public LobbyEvents {
    Q_OBJECT
public:
    // List lines of a game go out at most this often, and at most once per
    // kListMsPerPlayer for each player of the largest game; changes in between
    // are merged.
    static constexpr int kListIntervalMs = 200;
    static constexpr int kListMsPerPlayer = 1;
    static constexpr int kDefaultSignInTimeoutMs = 60000;
    // Changes reach the players who asked for incremental lists at most this often,
    // and at most once per ms for each kDeltaPlayersPerMs players of the largest game.
    static constexpr int kDeltaIntervalMs = 100;
    static constexpr int kDeltaPlayersPerMs = 8;

    LobbyServer(LobbyStore &store, GameCatalog catalog, int maxClients, QObject *parent = nullptr);
    ~LobbyServer() override;

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    // Another listening port (TLS) whose connections join the same lobby.
    void addListener(QTcpServer *listener);
    QHostAddress serverAddress() const { return m_server.serverAddress(); }
    quint16 serverPort() const { return m_server.serverPort(); }

    int clientCount() const { return int(m_clients.size()); }
    int signedInCount() const { return int(m_signedIn.size()); }
    // For the access counts; the system clock unless a test sets another.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    // A connection not signed in after this long is closed; 0: never.
    void setSignInTimeout(int ms) { m_signInTimeoutMs = ms; }
    // Connections from one address served at once; 0: no limit.
    void setMaxPerAddress(int n) { m_maxPerAddress = n; }
    void setFailureDelays(qint64 baseMs, qint64 maxMs) { m_throttle.setDelays(baseMs, maxMs); }
    // Password hashes being computed on the pool.
    int pendingHashes() const { return int(m_hashJobs.size()); }
    // Cluster mode: presence, rooms and chat go through the bus to every node.
    void setBus(LobbyBus *bus) { m_bus = bus; }

    void clusterJoin(const QString &game, const QString &user, bool host, const QString &node) override;
    void clusterPart(const QString &game, const QString &user) override;
    void clusterCreateRoom(const QString &game, const QString &room, const QString &owner) override;
    void clusterEnterRoom(const QString &game, const QString &room, const QString &user) override;
    void clusterLeaveRoom(const QString &game, const QString &room, const QString &user) override;
    void clusterDeleteRoom(const QString &game, const QString &room, bool notify) override;
    void clusterStart(const QString &game, const QString &room, const QString &hostAddress) override;
    void clusterLobbyMessage(const QString &game, const QString &user, const QString &text) override;
    void clusterRoomMessage(const QString &game, const QString &room, const QString &user,
                            const QString &text) override;
    void clusterReset(const QList<ClusterGame> &games) override;
    QList<ClusterGame> clusterLocalState() const override;
    void clusterLost(const QStringList &users) override;

private:
    struct Game {
        GameInfo info;
        QList<ClientConnection *> players; // in order of sign-in
        std::vector<std::unique_ptr<Room>> rooms;
        bool playersDirty = false;
        bool roomsDirty = false;
        // Incremental lists: what the players who asked for them hold now (none yet:
        // they get whole lists), and whether that may be out of date.
        std::optional<QStringList> sentPlayers;
        std::optional<QStringList> sentRooms;
        bool deltaDirty = false;
    };

    struct HashResult {
        passwordhash::Check check = passwordhash::Check::Invalid;
        passwordhash::Stored fresh;
    };
    using HashDone = std::function<void(ClientConnection *, const HashResult &)>;
    struct HashJob {
        QPointer<ClientConnection> client;
        HashDone done;
    };

    void accept(QTcpServer *listener);
    void refuse(QTcpSocket *socket, int code, const QString &text);
    static QString addressKey(const QHostAddress &address);
    // Runs work on the pool; the client's later lines wait until done has answered.
    void runHash(ClientConnection *c, std::function<HashResult()> work, HashDone done);
    void finishHash(quint64 id, const HashResult &result);
    void completeSignIn(ClientConnection *c, const QString &user);
    void handleLine(ClientConnection *c, const QString &line);
    void dropClient(ClientConnection *c);

    void onGameName(ClientConnection *c, const QString &line);
    void onHost(ClientConnection *c, const QString &line);
    void onRegistUser(ClientConnection *c, const QString &line);
    void onLogin(ClientConnection *c, const QString &line);
    void onChatData(ClientConnection *c, const QString &line);
    void onRoomList(ClientConnection *c, const QString &line);
    void onDayChart(ClientConnection *c, const QString &line);
    void onWeekChart(ClientConnection *c, const QString &line);
    void onCreateRoom(ClientConnection *c, const QString &line);
    void onEnterRoom(ClientConnection *c, const QString &line);
    void onRoomPlayerList(ClientConnection *c, const QString &line);
    void onLeaveRoom(ClientConnection *c, const QString &line);
    void onDeleteRoom(ClientConnection *c, const QString &line);
    void onPlayerInfo(ClientConnection *c, const QString &line);
    void onLobbyMessage(ClientConnection *c, const QString &line);
    void onRoomMessage(ClientConnection *c, const QString &line);
    void sendMessage(ClientConnection *c, const QString &line, bool room);
    void onUpdateUser(ClientConnection *c, const QString &line);
    void onIp(ClientConnection *c, const QString &line);
    void onStart(ClientConnection *c, const QString &line);

    Game *gameOf(ClientConnection *c);
    Game *gameNamed(const QString &name);
    Game &addPlayer(ClientConnection *c);
    void removePlayer(ClientConnection *c);
    void createRoom(Game &g, const QString &name, ClientConnection *owner);
    void enterRoom(Game &g, Room *room, ClientConnection *c);
    void startMatch(Game &g, Room *room, const QString &hostAddress);
    // Holds c's input and output until the bus answers; the answer goes out first.
    LobbyBus::Reply answer(ClientConnection *c, std::function<void(ClientConnection *)> onOk = {});
    // A local client that went away stands in the shared lists until the bus removes it.
    void replaceWithRemote(ClientConnection *c);
    void refuseSignIn(ClientConnection *c);
    Room *findRoom(Game &g, const QString &name);
    static QString playerEntry(const ClientConnection *c);
    QStringList roomEntries(const Game &g) const;
    void sendRoomPlayers(const Room &room);
    // Takes c out of its room; a room whose owner leaves is deleted.
    void leaveRoom(ClientConnection *c);
    void deleteRoom(Game &g, Room *room, bool tellMembers);
    void closeRoom(Game &g, Room *room);
    void markPlayers(Game &g);
    void markRooms(Game &g);
    void scheduleListFlush();
    void flushLists();
    // Incremental lists (lobbylists.cpp).
    void onListDelta(ClientConnection *c, const QString &line);
    void sendWholeLists(ClientConnection *c);
    QStringList playerEntries(const Game &g) const;
    void flushDeltas();
    void flushGameDeltas(Game &g);
    static bool wantsWholeLists(const ClientConnection *c);
    static void broadcast(const QList<ClientConnection *> &to, const QString &line);
    static void ok(ClientConnection *c);
    static void err(ClientConnection *c, int code);

    LobbyStore &m_store;
    GameCatalog m_catalog;
    int m_maxClients;
    QTcpServer m_server;
    QSet<ClientConnection *> m_clients;
    QHash<QString, ClientConnection *> m_signedIn; // user -> connection
    QHash<QString, std::shared_ptr<Game>> m_games;
    QTimer m_listTimer;
    QTimer m_deltaTimer;
    QElapsedTimer m_lastDeltaFlush;
    QElapsedTimer m_lastListFlush;
    std::function<QDateTime()> m_clock;
    int m_signInTimeoutMs = kDefaultSignInTimeoutMs;
    int m_maxPerAddress = 0;
    QHash<QString, int> m_perAddress;
    SignInThrottle m_throttle;
    QElapsedTimer m_uptime;
    QThreadPool m_pool;
    QHash<quint64, HashJob> m_hashJobs;
    quint64 m_nextHashJob = 0;
    LobbyBus *m_bus = nullptr;
    QHash<QString, ClientConnection *> m_pendingLogins; // user -> connection, while the bus claims the name
};
