#pragma once
// The shared lobby state of a cluster in Redis. Every change is a Lua script that
// checks, changes and publishes an event in one step; every node, the one that
// asked included, applies the events in the order Redis published them. Runs on
// the Qt event loop through hiredis's Qt adapter: two connections (commands and
// the event subscription), no threads.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>

#include "lobbybus.h"

struct redisAsyncContext;
struct redisReply;
class BusSocket;

class ClusterBus : public QObject, public LobbyBus {
    Q_OBJECT
public:
    struct Options {
        QString host;
        quint16 port = 6379;
        int db = 0;
        // A node that has not refreshed its key for this long is taken for dead.
        int aliveTtlMs = 10000;
        // Refresh, dead-node check and watchdog.
        int tickMs = 2000;
        // No answer from Redis for this long and the connection is given up.
        int answerTimeoutMs = 5000;
        int reconnectMinMs = 250;
        int reconnectMaxMs = 5000;
        // While events keep coming, they are read at most this often and applied
        // together (0: as they come; they are read at each flush anyway).
        int eventPaceMs = 0;
        // While output keeps coming, the clients' output leaves at most this often
        // (ClientConnection::setFlushPace): this node's own chat and the other
        // nodes' chat that follows it through Redis go out in one send. 2 ms
        // still left a third of one node's batch; 10 ms about all of it.
        int flushPaceMs = 10;
    };
    // redis://host[:port][/db][?flush-pace=MS]
    static std::optional<Options> parseUrl(const QString &url, QString *error);

    ClusterBus(const Options &options, LobbyEvents &lobby, QObject *parent = nullptr);
    ~ClusterBus() override;
    // Connects, and keeps reconnecting while the object lives.
    void start();

    QString nodeId() const override { return m_node; }
    bool isReady() const override { return m_state == State::Ready; }

    void join(const QString &game, const QString &user, bool host, Reply reply) override;
    void part(const QString &user) override;
    void createRoom(const QString &game, const QString &room, const QString &user, Reply reply) override;
    void enterRoom(const QString &game, const QString &room, const QString &user, int maxPlayers,
                   Reply reply) override;
    void leaveRoom(const QString &user, int maxPlayers, Reply reply) override;
    void deleteRoom(const QString &game, const QString &room, const QString &user, Reply reply) override;
    void start(const QString &user, int minPlayers, const QString &hostAddress, Reply reply) override;
    bool lobbyMessage(const QString &game, const QString &user, const QString &text) override;
    bool roomMessage(const QString &game, const QString &room, const QString &user, const QString &text) override;
    bool kick(const QString &folded) override;
    bool sanctionsChanged() override;
    void resync() override;

signals:
    void readyChanged(bool ready);

private:
    enum class State { Down, Connecting, Syncing, Ready };
    struct Link {
        redisAsyncContext *ac = nullptr;
        BusSocket *adapter = nullptr;
    };
    using Callback = std::function<void(redisReply *)>;
    // An answer that waits for its event; applied in Redis already.
    struct Waiting {
        qint64 seq = 0;
        Reply reply;
        QByteArray user;
        qint64 request = 0;
    };

    static void onConnect(const redisAsyncContext *ac, int status);
    static void onDisconnect(const redisAsyncContext *ac, int status);
    static void onReply(redisAsyncContext *ac, void *reply, void *privdata);
    static void onEvent(redisAsyncContext *ac, void *reply, void *privdata);

    void connectLinks();
    bool openLink(Link &link);
    void linkEnded(const redisAsyncContext *ac, const char *why);
    void lost(const QString &why);
    void closeLinks();
    void retire(Link &link);
    void scheduleReconnect();

    bool command(const QList<QByteArray> &args, Callback callback);
    // Runs an operation of the script; reply gets 0 once this node has applied its
    // events, else the error number.
    // user: whose request it is, args[0]; the script records what would undo it.
    void operation(const QByteArray &op, QList<QByteArray> args, Reply reply);
    // A request answered "-ERR 99" whose script may still run or have run: the
    // next restore undoes what it did.
    void refused(const QByteArray &user, qint64 request);
    // Redis's clock (ms) at the latest this node's present moment can be, by the
    // last TIME it asked for.
    qint64 redisNowAtMost() const;
    void askTime();
    bool publishChat(const QByteArray &payload);
    void sync();
    void applySnapshot(redisReply *reply);
    void event(const QByteArray &payload);
    void applyEvent(const QList<QByteArray> &f);
    void applied(qint64 seq);
    void tick();
    void logChatLost();
    void dropThisNode();

    Options m_options;
    LobbyEvents &m_lobby;
    QString m_node;
    QByteArray m_channel;
    State m_state = State::Down;
    Link m_cmd, m_sub;
    QTimer m_tick;
    QTimer m_reconnect;
    int m_backoffMs = 0;
    bool m_pingOut = false;
    QElapsedTimer m_pingSent;
    bool m_syncing = false;
    bool m_resyncWanted = false;
    std::deque<QByteArray> m_buffered; // events that arrive while a snapshot is read
    qint64 m_appliedSeq = 0;
    std::deque<Waiting> m_waiting; // answers waiting for their events
    // Fencing: scripts of an older epoch, or run after their deadline, change nothing.
    qint64 m_epoch = 0;
    qint64 m_nextRequest = 0;
    QList<std::pair<QByteArray, qint64>> m_refused;
    QByteArray m_generation; // of the shared state this node last restored into
    QElapsedTimer m_clock;
    qint64 m_timeAsked = -1, m_timeAnswered = -1, m_redisTime = 0; // the last TIME exchange
    // Chat lines of this node's players that may not have reached the other nodes.
    qint64 m_chatLost = 0, m_chatLostLogged = 0;
    bool m_everReady = false;
    bool m_destroying = false;
};
