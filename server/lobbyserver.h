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
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "connectionbudget.h"
#include "gamecatalog.h"
#include "hashqueue.h"
#include "lobbybus.h"
#include "net/protocol/clientlines.h"
#include "passwordhash.h"
#include "signinthrottle.h"

class ClientConnection;
class LobbyStore;
class Moderation;

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
    // A client gives up on an answer after about ten seconds: a sign-in that could
    // not be answered within this is refused instead ("try again later").
    static constexpr qint64 kReplyBudgetMs = 9000;
    // Changes reach the players who asked for incremental lists at most this often,
    // and at most once per ms for each kDeltaPlayersPerMs players of the largest game,
    // but no change waits longer than kDeltaMaxIntervalMs: a newcomer is listed by
    // all within half a second, with the pass's own writes.
    static constexpr int kDeltaIntervalMs = 100;
    static constexpr int kDeltaPlayersPerMs = 6;
    static constexpr int kDeltaMaxIntervalMs = 450;

    LobbyServer(LobbyStore &store, GameCatalog catalog, int maxClients, QObject *parent = nullptr);
    ~LobbyServer() override;

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    // Another listening port (TLS) whose connections join the same lobby.
    void addListener(QTcpServer *listener);
    // Stops listening, drops the hashes still queued and waits for the running
    // ones; before the server is destroyed on a signal.
    void shutdown();
    QHostAddress serverAddress() const { return m_server.serverAddress(); }
    quint16 serverPort() const { return m_server.serverPort(); }

    int clientCount() const { return int(m_clients.size()); }
    int signedInCount() const { return int(m_signedIn.size()); }
    // For the access counts; the system clock unless a test sets another.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    // A connection not signed in after this long is closed; 0: never.
    void setSignInTimeout(int ms) { m_signInTimeoutMs = ms; }
    // Connections from one address served at once; 0: no limit.
    void setMaxPerAddress(int n) { m_budget.setMaxPerAddress(n); }
    // Every connection's descriptor: clients, TLS handshakes, refusals.
    const ConnectionBudget &budget() const { return m_budget; }
    // Worker threads for password hashes.
    static int hashThreads();
    void setFailureDelays(qint64 baseMs, qint64 maxMs) { m_throttle.setDelays(baseMs, maxMs); }
    // Password hashes queued or being computed.
    int pendingHashes() const { return m_hashes.queued() + m_hashes.running(); }
    // Incremental lists go out at most this often (kDeltaIntervalMs unless a test sets another).
    void setDeltaInterval(int ms) { m_deltaIntervalMs = ms; }
    // Cluster mode: presence, rooms and chat go through the bus to every node.
    void setBus(LobbyBus *bus) { m_bus = bus; }
    LobbyBus *bus() const { return m_bus; }

    // ---- Operators' tools ----
    // Bans, mutes, word list and flood limit; without it nobody is moderated.
    void setModeration(Moderation *moderation);
    // Games not yet played keep their settings until their last player leaves.
    void setCatalog(GameCatalog catalog) { m_catalog = std::move(catalog); }
    struct OnlinePlayer {
        QString user;
        QString game;
        QString address; // empty for a player on another node
        QString room;
        bool host = false;
    };
    QList<OnlinePlayer> onlinePlayers() const;
    // Closes the connections of the account (any look-alike of the ID) or of every
    // address in subnet on this node; how many.
    int kickAccount(const QString &folded);
    int kickAddress(const QPair<QHostAddress, int> &subnet);
    // A lobby chat line from Moderation::kNoticeSender to every player of game, or of
    // every game when game is empty; the number of players reached.
    int notice(const QString &game, const QString &text);

    struct Counters {
        quint64 signInsOk = 0;
        quint64 signInsFailed = 0;    // wrong password or unknown user
        quint64 signInsThrottled = 0; // made to wait, or refused, after failures
        quint64 signInsRefused = 0;   // banned, disabled, or the server busy
        quint64 chatIn = 0;           // chat lines received from players
        quint64 chatOut = 0;          // chat lines written to players
        quint64 chatDropped = 0;      // not relayed: muted or flooding
        quint64 deliveries = 0;       // lines written to players by fan-out
        quint64 listBytes = 0;        // bytes of pushed player and room lists
    };
    const Counters &counters() const { return m_counters; }
    struct GameLoad {
        QString game;
        int players = 0; // local and, in a cluster, remote
        int rooms = 0;
    };
    QList<GameLoad> gameLoads() const;
    // Connections this node holds (as counted against --max-clients) by kind: "plain", "tls".
    QHash<QString, int> connectionKinds() const;

    void clusterJoin(const QString &game, const QString &user, bool host, const QString &node) override;
    void clusterPart(const QString &game, const QString &user) override;
    void clusterCreateRoom(const QString &game, const QString &room, const QString &owner) override;
    void clusterEnterRoom(const QString &game, const QString &room, const QString &user) override;
    void clusterLeaveRoom(const QString &game, const QString &room, const QString &user) override;
    void clusterDeleteRoom(const QString &game, const QString &room, bool notify, bool ownerToo) override;
    void clusterStart(const QString &game, const QString &room, const QString &hostAddress) override;
    void clusterLobbyMessage(const QString &game, const QString &user, const QString &text) override;
    void clusterRoomMessage(const QString &game, const QString &room, const QString &user,
                            const QString &text) override;
    void clusterReset(const QList<ClusterGame> &games) override;
    QList<ClusterGame> clusterLocalState() const override;
    void clusterLost(const QStringList &users) override;
    void clusterKick(const QString &folded) override;
    void clusterSanctionsChanged() override;

private:
    // What became of the entries of one list since the last pass, by name, in the
    // order they first changed. Entries that came are appended by clients, so they
    // go out in the order they came; one that went and came back is moved too.
    enum class Entry { Came, Changed, Went };
    class ListChanges {
    public:
        struct Change {
            bool went = false;
            quint64 came = 0; // order of its last arrival; 0: none
        };
        void mark(const QString &name, Entry what)
        {
            Change &c = note(name);
            if (what == Entry::Came)
                c.came = ++m_arrivals;
            else if (what == Entry::Went)
                c.went = true;
        }
        const QStringList &names() const { return m_order; }
        Change change(const QString &name) const { return m_changes.value(name); }
        bool isEmpty() const { return m_order.isEmpty(); }
        void clear()
        {
            m_changes.clear();
            m_order.clear();
        }

    private:
        Change &note(const QString &name)
        {
            const auto it = m_changes.find(name);
            if (it != m_changes.end())
                return *it;
            m_order.append(name);
            return m_changes[name];
        }
        QHash<QString, Change> m_changes;
        QStringList m_order;
        quint64 m_arrivals = 0;
    };
    struct Game {
        GameInfo info;
        QList<ClientConnection *> players; // in order of sign-in
        std::vector<std::unique_ptr<Room>> rooms;
        bool playersDirty = false;
        bool roomsDirty = false;
        // Incremental lists: the players and rooms changed since the last pass, each
        // once, in the order they first changed; or the whole game was rebuilt.
        ListChanges changedPlayers;
        ListChanges changedRooms;
        bool rebuilt = false;
    };

    struct HashResult {
        passwordhash::Check check = passwordhash::Check::Invalid;
        passwordhash::Stored fresh;
    };
    using HashDone = std::function<void(ClientConnection *, const HashResult &)>;

    void accept(QTcpServer *listener);
    void refuse(QTcpSocket *socket, protocol::err::Greeting code, const QString &text);
    // Queues work for a worker thread; the client's later lines wait until done has
    // answered. settled follows in any case (also when the client left). False: the
    // queue is full, nothing was queued.
    bool runHash(ClientConnection *c, std::function<HashResult()> work, HashDone done,
                 std::function<void()> settled = {});
    void refuseBusy(ClientConnection *c);
    void refuseBusySignIn(ClientConnection *c);
    // The password check of a LOGIN taken on at receivedAt (uptime ms); known: the
    // account's row, when it was read just now.
    void checkLogin(ClientConnection *c, const QString &user, const QString &password, qint64 receivedAt,
                    const passwordhash::Stored *known = nullptr);
    void accountSettled(const QString &account);
    void completeSignIn(ClientConnection *c, const QString &user);
    void handleLine(ClientConnection *c, const QString &line);
    void dropClient(ClientConnection *c);

    // One handler per client command; handleLine reaches them by the command's type
    // after the sign-in gate.
    void handle(ClientConnection *c, const protocol::client::Unknown &cmd);
    void handle(ClientConnection *c, const protocol::client::Quit &cmd);
    void handle(ClientConnection *c, const protocol::client::GameName &cmd);
    void handle(ClientConnection *c, const protocol::client::Host &cmd);
    void handle(ClientConnection *c, const protocol::client::RegistUser &cmd);
    void handle(ClientConnection *c, const protocol::client::Login &cmd);
    void handle(ClientConnection *c, const protocol::client::ListDelta &cmd);
    void handle(ClientConnection *c, const protocol::client::ChatData &cmd);
    void handle(ClientConnection *c, const protocol::client::RoomList &cmd);
    void handle(ClientConnection *c, const protocol::client::DayChart &cmd);
    void handle(ClientConnection *c, const protocol::client::WeekChart &cmd);
    void handle(ClientConnection *c, const protocol::client::CreateRoom &cmd);
    void handle(ClientConnection *c, const protocol::client::EnterRoom &cmd);
    void handle(ClientConnection *c, const protocol::client::RoomPlayerList &cmd);
    void handle(ClientConnection *c, const protocol::client::LeaveRoom &cmd);
    void handle(ClientConnection *c, const protocol::client::DeleteRoom &cmd);
    void handle(ClientConnection *c, const protocol::client::PlayerInfo &cmd);
    void handle(ClientConnection *c, const protocol::client::LobbyMessage &cmd);
    void handle(ClientConnection *c, const protocol::client::RoomMessage &cmd);
    void handle(ClientConnection *c, const protocol::client::UpdateUser &cmd);
    void handle(ClientConnection *c, const protocol::client::Ip &cmd);
    void handle(ClientConnection *c, const protocol::client::Start &cmd);
    void sendMessage(ClientConnection *c, const QString &text, bool room);

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
    // Records what became of the entry of user (room) in g's list.
    void markPlayer(Game &g, const QString &user, Entry what);
    void markRoom(Game &g, const QString &room, Entry what);
    void scheduleListFlush();
    void flushLists();
    // Incremental lists (lobbylists.cpp).
    void sendWholeLists(ClientConnection *c);
    QStringList playerEntries(const Game &g) const;
    void flushDeltas();
    // The lines that bring a list held by the changes from the last pass up to now.
    QByteArray deltaLines(Game &g);
    static QByteArray deltaLines(const ListChanges &changes, const char *set, const char *remove,
                                 const std::function<QString(const QString &)> &entryOf);
    static bool wantsWholeLists(const ClientConnection *c);
    // The bytes of the line as sent to each.
    qsizetype broadcast(const QList<ClientConnection *> &to, const QString &line);
    static void ok(ClientConnection *c);
    static void err(ClientConnection *c, int code);
    template <typename E>
        requires std::is_enum_v<E>
    static void err(ClientConnection *c, E code)
    {
        err(c, int(code));
    }

    LobbyStore &m_store;
    GameCatalog m_catalog;
    ConnectionBudget m_budget;
    QTcpServer m_server;
    QSet<ClientConnection *> m_clients;
    QHash<QString, ClientConnection *> m_signedIn; // user -> connection
    QHash<QString, std::shared_ptr<Game>> m_games;
    QTimer m_listTimer;
    QTimer m_deltaTimer;
    QElapsedTimer m_lastDeltaFlush;
    int m_deltaIntervalMs = kDeltaIntervalMs;
    QElapsedTimer m_lastListFlush;
    std::function<QDateTime()> m_clock;
    int m_signInTimeoutMs = kDefaultSignInTimeoutMs;
    SignInThrottle m_throttle;
    QElapsedTimer m_uptime;
    HashQueue m_hashes;
    QHash<ClientConnection *, quint64> m_hashOf; // its queued or running hash
    // Accounts whose password is being checked, and the LOGINs waiting behind.
    QSet<QString> m_verifying;
    QHash<QString, std::deque<std::function<void()>>> m_waitingForAccount;
    LobbyBus *m_bus = nullptr;
    Moderation *m_moderation = nullptr;
    Counters m_counters;
    // Whether c may chat now; false (with the player told) when muted or flooding.
    bool mayChat(ClientConnection *c, bool room);
    QString masked(const QString &text, const ClientConnection *c) const;
    QString roomArgument(const ClientConnection *c, const QString &name) const;
    int kickLocal(const QString &folded);
    QHash<QString, ClientConnection *> m_pendingLogins; // user -> connection, while the bus claims the name
};
