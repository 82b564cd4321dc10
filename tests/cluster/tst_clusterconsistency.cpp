// Races and stalls on a three-node cluster, each followed by a look at the shared
// state: every node shows what Redis holds, nobody is in two rooms, and no command
// answered "-ERR 99" took effect.
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "clusternode.h"
#include "clusterservices.h"
#include "lobbyclient.h"
#include "lobbyscript.h"
#include "net/protocol/protocol.h"

namespace kw = protocol::kw;

namespace {

const QByteArray kGames = R"([
  {"name": "Duo", "id": 2, "minPlayers": 2, "maxPlayers": 2},
  {"name": "Open", "id": 9, "minPlayers": 2, "maxPlayers": 8}
])";
const QStringList kGameNames{QStringLiteral("Duo"), QStringLiteral("Open")};
const QMap<QString, int> kCapacity{{QStringLiteral("Duo"), 2}, {QStringLiteral("Open"), 8}};
constexpr int kNodes = 3;
constexpr int kRounds = 12;
// Waits that span the cluster's liveness timeouts (5 s without Redis, 10 s for a node).
constexpr int kSlowMs = 40000;

const QString kOk = QStringLiteral("+OK");
const QString kRefused = QStringLiteral("-ERR 99");

QString list(const char *keyword, const QStringList &entries) { return protocol::listLine(keyword, entries); }

// What Redis holds for the lobby, as the nodes' lists should show it.
struct Shared {
    QMap<QString, QStringList> players; // game -> entries
    QMap<QString, QStringList> rooms;   // game -> ROOMLIST entries
    QMap<QString, QMap<QString, QStringList>> members; // game -> room -> entries
    QStringList faults;
};

class Redis {
public:
    explicit Redis(quint16 port) : m_port(port) {}
    QStringList call(const QStringList &args) const
    {
        QProcess p;
        p.start(QStringLiteral("redis-cli"), QStringList{QStringLiteral("-p"), QString::number(m_port), QStringLiteral("--raw")} + args);
        if (!p.waitForFinished(10000))
            return {};
        // No name here is empty; an empty list prints an empty line.
        QStringList out = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n');
        out.removeAll(QString());
        return out;
    }
    QString get(const QStringList &args) const { return call(args).value(0); }
    static QString roomKey(const QString &game, const QString &room, const QString &prefix = QStringLiteral("qc:"))
    {
        return prefix + QStringLiteral("room:") + game + QChar(0x1f) + room;
    }
    QStringList roomMembers(const QString &game, const QString &room) const
    {
        return call({QStringLiteral("LRANGE"), roomKey(game, room), QStringLiteral("0"), QStringLiteral("-1")});
    }
    Shared read() const
    {
        Shared s;
        QHash<QString, QString> roomOf;
        for (const QString &g : kGameNames) {
            for (const QString &u : call({QStringLiteral("LRANGE"), QStringLiteral("qc:players:") + g, QStringLiteral("0"), QStringLiteral("-1")}))
                s.players[g] << protocol::playerListEntry(u, get({QStringLiteral("HGET"), QStringLiteral("qc:u:") + u, QStringLiteral("host")}) == QLatin1String("1"));
            for (const QString &r : call({QStringLiteral("LRANGE"), QStringLiteral("qc:rooms:") + g, QStringLiteral("0"), QStringLiteral("-1")})) {
                const QStringList ms = roomMembers(g, r);
                s.rooms[g] << protocol::roomListEntry(r, ms.size(), kCapacity[g]);
                for (const QString &m : ms) {
                    if (roomOf.contains(m))
                        s.faults << QStringLiteral("%1 is in %2 and in %3").arg(m, roomOf[m], r);
                    roomOf.insert(m, r);
                    if (get({QStringLiteral("HGET"), QStringLiteral("qc:u:") + m, QStringLiteral("room")}) != r)
                        s.faults << QStringLiteral("%1 is listed in %2 but not there").arg(m, r);
                    s.members[g][r] << protocol::playerListEntry(m, get({QStringLiteral("HGET"), QStringLiteral("qc:u:") + m, QStringLiteral("host")}) == QLatin1String("1"));
                }
            }
        }
        return s;
    }

private:
    quint16 m_port;
};

QString lastLine(const QStringList &lines, const QString &keyword)
{
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (protocol::keyword(*it) == keyword)
            return *it;
    }
    return {};
}

// Empty when this node's lists, as its probe sees them, are Redis's.
QString mismatch(LobbyClient &probe, const QString &game, const Shared &s)
{
    probe.drop(QString::fromLatin1(kw::ROOMLIST));
    probe.send(QString::fromLatin1(kw::ROOMLIST));
    if (!probe.sync())
        return QStringLiteral("probe lost");
    const QString players = lastLine(probe.all, QString::fromLatin1(kw::PLAYERLIST));
    if (players != list(kw::PLAYERLIST, s.players.value(game)))
        return QStringLiteral("players: node %1, redis %2").arg(players, s.players.value(game).join(u','));
    const QString rooms = lastLine(probe.queued(QString::fromLatin1(kw::ROOMLIST)), QString::fromLatin1(kw::ROOMLIST));
    probe.drop(QString::fromLatin1(kw::ROOMLIST));
    if (rooms != list(kw::ROOMLIST, s.rooms.value(game)))
        return QStringLiteral("rooms: node %1, redis %2").arg(rooms, s.rooms.value(game).join(u','));
    const auto members = s.members.value(game);
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (probe.call(protocol::command(kw::ROOMPLAYERLIST, {it.key()})) != kOk)
            return QStringLiteral("room %1 unknown to the node").arg(it.key());
        const QString got = probe.take(QString::fromLatin1(kw::ROOMPLAYERLIST));
        if (got != list(kw::ROOMPLAYERLIST, it.value()))
            return QStringLiteral("room %1: node %2, redis %3").arg(it.key(), got, it.value().join(u','));
    }
    return {};
}

} // namespace

class TestClusterConsistency : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void fence_data();
    void fence();
    void undo_data();
    void undo();
    void races_data();
    void races();
    void redisStall();
    void pausedHostLosesItsRoom();

private:
    std::unique_ptr<LobbyClient> player(int node, const QString &game, bool host, const QString &user);
    // Waits until every node's lists are Redis's; the last difference otherwise.
    QString settled();
    // The lobby script on its own, in a database of its own: the answer's fields.
    QStringList script(const QString &op, const QStringList &args, const QString &node = QStringLiteral("n1"));
    void waitUntilGone(const QString &user);

    PostgresService m_pg;
    RedisService m_redis;
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<Node>> m_nodes;
    std::vector<std::unique_ptr<LobbyClient>> m_probes; // one per node and game
};

void TestClusterConsistency::initTestCase()
{
    QString error;
    QVERIFY2(m_pg.start(&error), qPrintable(error));
    QVERIFY2(m_pg.createDatabase(QStringLiteral("lobby"), &error), qPrintable(error));
    QVERIFY2(m_redis.start(&error), qPrintable(error));
    QFile games(m_dir.filePath(QStringLiteral("games.json")));
    QVERIFY(games.open(QIODevice::WriteOnly));
    games.write(kGames);
    games.close();
    for (int i = 0; i < kNodes; ++i) {
        auto node = std::make_unique<Node>();
        QVERIFY(node->start({QStringLiteral("--db"), m_pg.url(QStringLiteral("lobby")), QStringLiteral("--cluster"), m_redis.url(),
                             QStringLiteral("--games"), m_dir.filePath(QStringLiteral("games.json")),
                             QStringLiteral("--hash-memory"), QStringLiteral("8"), QStringLiteral("--hash-passes"), QStringLiteral("1")}));
        QVERIFY2(node->waitForLog(QStringLiteral("joined the cluster")), qPrintable(node->log()));
        m_nodes.push_back(std::move(node));
    }
    for (int i = 0; i < kNodes; ++i) {
        for (const QString &g : kGameNames) {
            m_probes.push_back(player(i, g, false, QStringLiteral("probe%1%2").arg(i).arg(g.left(1))));
            QVERIFY(m_probes.back()->isConnected());
        }
    }
}

void TestClusterConsistency::cleanupTestCase()
{
    if (QTest::currentTestFailed()) {
        for (size_t i = 0; i < m_nodes.size(); ++i)
            qWarning("node %zu:\n%s", i, qPrintable(m_nodes[i]->log()));
    }
    m_probes.clear();
    for (auto &node : m_nodes)
        node->stop();
}

std::unique_ptr<LobbyClient> TestClusterConsistency::player(int node, const QString &game, bool host, const QString &user)
{
    auto c = std::make_unique<LobbyClient>(m_nodes[size_t(node)]->port);
    if (!c->signIn(game, host, user))
        qWarning("sign-in of %s on node %d failed: %s", qPrintable(user), node, qPrintable(c->all.join(u'|')));
    return c;
}

QString TestClusterConsistency::settled()
{
    const Redis redis(m_redis.port());
    QString why;
    for (int attempt = 0; attempt < 60; ++attempt) {
        const Shared s = redis.read();
        if (!s.faults.isEmpty())
            return s.faults.join(QStringLiteral("; "));
        why.clear();
        for (size_t i = 0; i < m_probes.size() && why.isEmpty(); ++i) {
            const QString diff = mismatch(*m_probes[i], kGameNames[qsizetype(i) % kGameNames.size()], s);
            if (!diff.isEmpty())
                why = QStringLiteral("node %1: %2").arg(i / size_t(kGameNames.size())).arg(diff);
        }
        if (why.isEmpty())
            return {};
        QTest::qWait(250);
    }
    return why;
}

void TestClusterConsistency::waitUntilGone(const QString &user)
{
    const Redis redis(m_redis.port());
    for (int i = 0; i < 200 && redis.get({QStringLiteral("EXISTS"), QStringLiteral("qc:u:") + user}) != QLatin1String("0"); ++i)
        QTest::qWait(50);
}

QStringList TestClusterConsistency::script(const QString &op, const QStringList &args, const QString &node)
{
    QProcess p;
    p.start(QStringLiteral("redis-cli"),
            QStringList{QStringLiteral("-p"), QString::number(m_redis.port()), QStringLiteral("-n"), QStringLiteral("7"),
                        QStringLiteral("--raw"), QStringLiteral("EVAL"), QString::fromUtf8(lobbyScript()), QStringLiteral("0"),
                        QStringLiteral("t:"), QStringLiteral("t:events"), op, node} +
                args);
    p.waitForFinished(10000);
    QStringList out = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n');
    out.removeAll(QString());
    return out;
}

namespace {
QString field(std::initializer_list<QString> parts)
{
    QStringList l(parts);
    return l.join(QChar(0x1f));
}
// Redis's clock in ms, as the script reads it.
qint64 redisMs(const Redis &r)
{
    const QStringList t = r.call({QStringLiteral("-n"), QStringLiteral("7"), QStringLiteral("TIME")});
    return t.value(0).toLongLong() * 1000 + t.value(1).toLongLong() / 1000;
}
} // namespace

// A script that runs after its node answered "-ERR 99" changes nothing.
void TestClusterConsistency::fence_data()
{
    QTest::addColumn<int>("epochShift");
    QTest::addColumn<int>("deadlineMs"); // from Redis's now; 0: none
    QTest::addColumn<bool>("applied");
    QTest::newRow("current epoch, in time") << 0 << 5000 << true;
    QTest::newRow("current epoch, no deadline") << 0 << 0 << true;
    QTest::newRow("current epoch, deadline passed") << 0 << -1 << false;
    QTest::newRow("older epoch") << -1 << 5000 << false;
    QTest::newRow("newer epoch") << 1 << 5000 << false;
}

void TestClusterConsistency::fence()
{
    QFETCH(int, epochShift);
    QFETCH(int, deadlineMs);
    QFETCH(bool, applied);
    const Redis redis(m_redis.port());
    redis.call({QStringLiteral("-n"), QStringLiteral("7"), QStringLiteral("FLUSHDB")});
    const QStringList restored = script(QStringLiteral("restore"), {QStringLiteral("3"), QString(), QStringLiteral("g1"),
                                                                    field({QStringLiteral("U"), QStringLiteral("ann"), QStringLiteral("Open"), QStringLiteral("1")})});
    QCOMPARE(restored.value(0), QStringLiteral("0"));
    const qint64 deadline = deadlineMs ? redisMs(redis) + deadlineMs : 0;
    const QStringList answer = script(QStringLiteral("create"), {QString::number(3 + epochShift), QStringLiteral("1"), QString::number(deadline),
                                                                 QStringLiteral("ann"), QStringLiteral("Open"), QStringLiteral("den")});
    QCOMPARE(answer.value(0), applied ? QStringLiteral("0") : QStringLiteral("99"));
    QCOMPARE(redis.call({QStringLiteral("-n"), QStringLiteral("7"), QStringLiteral("LRANGE"), QStringLiteral("t:rooms:Open"), QStringLiteral("0"), QStringLiteral("-1")}),
             applied ? QStringList{QStringLiteral("den")} : QStringList{});
}

// A request that ran but whose answer was "-ERR 99" is undone when its node
// restores; a room that is gone stays gone unless Redis lost everything.
void TestClusterConsistency::undo_data()
{
    QTest::addColumn<QString>("refused"); // ann's last request, answered "-ERR 99"
    QTest::addColumn<bool>("hostAway");   // bob's node taken for dead meanwhile
    QTest::addColumn<bool>("redisLost");
    QTest::addColumn<QStringList>("denAfter");
    const QString ann = QStringLiteral("ann"), bob = QStringLiteral("bob");
    QTest::newRow("create") << "create" << false << false << QStringList{};
    QTest::newRow("enter") << "enter" << false << false << QStringList{bob};
    QTest::newRow("leave") << "leave" << false << false << QStringList{bob, ann};
    QTest::newRow("none") << "" << false << false << QStringList{bob, ann};
    QTest::newRow("host taken for dead") << "" << true << false << QStringList{};
    QTest::newRow("redis lost everything") << "" << false << true << QStringList{bob, ann};
}

void TestClusterConsistency::undo()
{
    QFETCH(QString, refused);
    QFETCH(bool, hostAway);
    QFETCH(bool, redisLost);
    QFETCH(QStringList, denAfter);
    const Redis redis(m_redis.port());
    const QStringList db{QStringLiteral("-n"), QStringLiteral("7")};
    const QString open = QStringLiteral("Open"), den = QStringLiteral("den");
    // ann plays on node n1, bob on n2.
    const QString annRecord = field({QStringLiteral("U"), QStringLiteral("ann"), open, QStringLiteral("1")});
    const QString bobRecord = field({QStringLiteral("U"), QStringLiteral("bob"), open, QStringLiteral("1")});
    const auto restore = [&](const QString &node, const QString &epoch, const QString &seen, const QStringList &records) {
        return script(QStringLiteral("restore"), QStringList{epoch, seen, QStringLiteral("g-%1-%2").arg(node, epoch)} + records, node).value(0);
    };
    const auto run = [&](const QString &node, const QString &op, int request, const QStringList &args) {
        return script(op, QStringList{QStringLiteral("1"), QString::number(request), QStringLiteral("0")} + args, node).value(0);
    };
    redis.call(db + QStringList{QStringLiteral("FLUSHDB")});
    QCOMPARE(restore(QStringLiteral("n1"), QStringLiteral("1"), QString(), {annRecord}), QStringLiteral("0"));
    QCOMPARE(restore(QStringLiteral("n2"), QStringLiteral("1"), QString(), {bobRecord}), QStringLiteral("0"));
    const QString seen = redis.get(db + QStringList{QStringLiteral("GET"), QStringLiteral("t:gen")});
    if (refused == QLatin1String("create")) {
        QCOMPARE(run(QStringLiteral("n1"), refused, 1, {QStringLiteral("ann"), open, den}), QStringLiteral("0"));
    } else {
        QCOMPARE(run(QStringLiteral("n2"), QStringLiteral("create"), 1, {QStringLiteral("bob"), open, den}), QStringLiteral("0"));
        QCOMPARE(run(QStringLiteral("n1"), QStringLiteral("enter"), 2, {QStringLiteral("ann"), open, den, QStringLiteral("8")}),
                 QStringLiteral("0"));
        if (refused == QLatin1String("leave"))
            QCOMPARE(run(QStringLiteral("n1"), QStringLiteral("leave"), 3, {QStringLiteral("ann"), QStringLiteral("8")}),
                     QStringLiteral("0"));
    }
    const QString room = field({QStringLiteral("R"), open, den, QStringLiteral("8"), QStringLiteral("bob"), QStringLiteral("ann")});
    if (hostAway) {
        QCOMPARE(script(QStringLiteral("drop"), {}, QStringLiteral("n2")).value(0), QStringLiteral("0"));
        QCOMPARE(restore(QStringLiteral("n2"), QStringLiteral("2"), seen, {bobRecord, room}), QStringLiteral("0"));
    } else if (redisLost) {
        redis.call(db + QStringList{QStringLiteral("FLUSHDB")});
        QCOMPARE(restore(QStringLiteral("n1"), QStringLiteral("2"), seen, {annRecord, room}), QStringLiteral("0"));
        QCOMPARE(restore(QStringLiteral("n2"), QStringLiteral("2"), seen, {bobRecord, room}), QStringLiteral("0"));
    } else {
        // n1 answered ann "-ERR 99": what it shows her, and the request to undo.
        QStringList records{annRecord};
        if (refused == QLatin1String("leave"))
            records << room;
        const int request = refused == QLatin1String("create") ? 1 : refused == QLatin1String("enter") ? 2 : 3;
        if (!refused.isEmpty())
            records << field({QStringLiteral("X"), QStringLiteral("ann"), QString::number(request)});
        QCOMPARE(restore(QStringLiteral("n1"), QStringLiteral("2"), seen, records), QStringLiteral("0"));
    }
    QCOMPARE(redis.call(db + QStringList{QStringLiteral("LRANGE"), Redis::roomKey(open, den, QStringLiteral("t:")), QStringLiteral("0"), QStringLiteral("-1")}),
             denAfter);
    QCOMPARE(redis.call(db + QStringList{QStringLiteral("LRANGE"), QStringLiteral("t:rooms:Open"), QStringLiteral("0"), QStringLiteral("-1")}),
             denAfter.isEmpty() ? QStringList{} : QStringList{den});
    // Everyone is still signed in.
    QCOMPARE(redis.call(db + QStringList{QStringLiteral("LLEN"), QStringLiteral("t:players:Open")}), QStringList{QStringLiteral("2")});
}

enum class Race { LastPlace, SameRoomName, EnterWhileDeleted, SameAccount };

void TestClusterConsistency::races_data()
{
    QTest::addColumn<Race>("race");
    QTest::newRow("last place, two nodes") << Race::LastPlace;
    QTest::newRow("same room name, two nodes") << Race::SameRoomName;
    QTest::newRow("enter while the host deletes") << Race::EnterWhileDeleted;
    QTest::newRow("same account, two nodes") << Race::SameAccount;
}

void TestClusterConsistency::races()
{
    QFETCH(Race, race);
    const QString tag = QString::number(int(race));
    const QString game = race == Race::LastPlace ? QStringLiteral("Duo") : QStringLiteral("Open");
    auto a = player(0, game, true, QStringLiteral("a") + tag);
    auto b = player(1, game, true, QStringLiteral("b") + tag);
    auto c = player(2, game, race != Race::SameRoomName, QStringLiteral("c") + tag);
    const QString account = QStringLiteral("acct") + tag;
    if (race == Race::SameAccount)
        player(0, game, false, account).reset(); // registered, then gone
    waitUntilGone(account);

    for (int round = 0; round < kRounds; ++round) {
        const QString room = QStringLiteral("r%1x%2").arg(tag).arg(round);
        const QString deleted = protocol::deleteRoom(room);
        switch (race) {
        case Race::LastPlace: {
            QCOMPARE(a->call(protocol::createRoom(room)), kOk);
            for (LobbyClient *p : {b.get(), c.get()})
                QVERIFY(p->takeLatest(list(kw::ROOMLIST, {protocol::roomListEntry(room, 1, 2)})));
            b->send(protocol::command(kw::ENTERROOM, {room}));
            c->send(protocol::command(kw::ENTERROOM, {room}));
            const QStringList answers{b->status(), c->status()};
            QCOMPARE(answers.count(kOk), 1);
            QCOMPARE(answers.count(QStringLiteral("-ERR 1")), 1);
            QCOMPARE(a->call(protocol::command(kw::DELETEROOM, {room})), kOk);
            LobbyClient *winner = answers[0] == kOk ? b.get() : c.get();
            QCOMPARE(winner->take(QString::fromLatin1(kw::DELETEROOM)), deleted);
            for (LobbyClient *p : {b.get(), c.get()})
                QVERIFY(p->takeLatest(list(kw::ROOMLIST, {})));
            break;
        }
        case Race::SameRoomName: {
            a->send(protocol::createRoom(room));
            b->send(protocol::createRoom(room));
            const QStringList answers{a->status(), b->status()};
            QCOMPARE(answers.count(kOk), 1);
            QCOMPARE(answers.count(QStringLiteral("-ERR 1")), 1);
            LobbyClient *winner = answers[0] == kOk ? a.get() : b.get();
            QCOMPARE(winner->call(protocol::command(kw::DELETEROOM, {room})), kOk);
            for (LobbyClient *p : {a.get(), b.get(), c.get()})
                QVERIFY(p->takeLatest(list(kw::ROOMLIST, {})));
            break;
        }
        case Race::EnterWhileDeleted: {
            QCOMPARE(b->call(protocol::createRoom(room)), kOk);
            QVERIFY(c->takeLatest(list(kw::ROOMLIST, {protocol::roomListEntry(room, 1, 8)})));
            c->send(protocol::command(kw::ENTERROOM, {room}));
            b->send(protocol::command(kw::DELETEROOM, {room}));
            QCOMPARE(b->status(), kOk);
            const QString entered = c->status();
            QVERIFY2(entered == kOk || entered == QStringLiteral("-ERR 2"), qPrintable(entered));
            if (entered == kOk) // then it was deleted with the member in it
                QCOMPARE(c->take(QString::fromLatin1(kw::DELETEROOM)), deleted);
            QVERIFY(c->takeLatest(list(kw::ROOMLIST, {})));
            break;
        }
        case Race::SameAccount: {
            LobbyClient x(m_nodes[1]->port), y(m_nodes[2]->port);
            for (LobbyClient *p : {&x, &y}) {
                QVERIFY(p->status().startsWith(kOk)); // the greeting
                QCOMPARE(p->call(protocol::gameName(game)), kOk);
            }
            x.send(protocol::login(account, QStringLiteral("secret1")));
            y.send(protocol::login(account, QStringLiteral("secret1")));
            const QStringList answers{x.status(), y.status()};
            QCOMPARE(answers.count(kOk), 1);
            QCOMPARE(answers.count(QStringLiteral("-ERR 1")), 1);
            LobbyClient *winner = answers[0] == kOk ? &x : &y;
            winner->send(QString::fromLatin1(kw::QUIT));
            QVERIFY(winner->waitForDisconnected());
            waitUntilGone(account);
            break;
        }
        }
    }
    const QString why = settled();
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

void TestClusterConsistency::redisStall()
{
    const Redis redis(m_redis.port());
    const QString game = QStringLiteral("Open");
    auto owner = player(0, game, true, QStringLiteral("owner"));
    std::vector<std::unique_ptr<LobbyClient>> creators, enterers;
    for (int i = 0; i < 5; ++i) {
        creators.push_back(player(i % kNodes, game, true, QStringLiteral("maker%1").arg(i)));
        enterers.push_back(player((i + 1) % kNodes, game, false, QStringLiteral("joiner%1").arg(i)));
    }
    // After the sign-ins: room lists are pushed on changes only.
    QCOMPARE(owner->call(protocol::createRoom(QStringLiteral("stay"))), kOk);
    auto speaker = player(1, game, false, QStringLiteral("speaker"));
    auto listener = player(1, game, false, QStringLiteral("listener"));
    for (auto &e : enterers)
        QVERIFY(e->takeLatest(list(kw::ROOMLIST, {protocol::roomListEntry(QStringLiteral("stay"), 1, 8)}), kSlowMs));
    QVERIFY(listener->sync());
    listener->drop(QString::fromLatin1(kw::LMESSAGE));

    ::kill(pid_t(m_redis.pid()), SIGSTOP);
    auto resume = qScopeGuard([&] { ::kill(pid_t(m_redis.pid()), SIGCONT); });
    speaker->send(protocol::command(kw::LMESSAGE, {QStringLiteral("still here")}));
    for (int i = 0; i < 5; ++i) {
        creators[size_t(i)]->send(protocol::createRoom(QStringLiteral("new%1").arg(i)));
        enterers[size_t(i)]->send(protocol::command(kw::ENTERROOM, {QStringLiteral("stay")}));
    }
    QStringList created, entered;
    for (int i = 0; i < 5; ++i) {
        created << creators[size_t(i)]->status(kSlowMs);
        entered << enterers[size_t(i)]->status(kSlowMs);
    }
    for (auto &node : m_nodes)
        QVERIFY2(node->waitForLog(QStringLiteral("refusing sign-ins"), kSlowMs), qPrintable(node->log()));
    // Heard on the speaker's own node while Redis was still stopped.
    const QString heard = listener->take(QString::fromLatin1(kw::LMESSAGE), 0);
    resume.dismiss();
    ::kill(pid_t(m_redis.pid()), SIGCONT);
    for (auto &node : m_nodes)
        QVERIFY2(node->waitForLog(QStringLiteral("reachable again"), kSlowMs), qPrintable(node->log()));
    const QString why = settled();

    int createRefused = 0, createApplied = 0, enterRefused = 0, enterApplied = 0;
    const QStringList rooms = redis.call({QStringLiteral("LRANGE"), QStringLiteral("qc:rooms:Open"), QStringLiteral("0"), QStringLiteral("-1")});
    const QStringList inStay = redis.roomMembers(game, QStringLiteral("stay"));
    for (int i = 0; i < 5; ++i) {
        if (created[i] == kRefused) {
            ++createRefused;
            createApplied += rooms.contains(QStringLiteral("new%1").arg(i));
        }
        if (entered[i] == kRefused) {
            ++enterRefused;
            enterApplied += inStay.contains(QStringLiteral("joiner%1").arg(i));
        }
    }
    // The line the other nodes may have missed is counted, by the time Redis is back.
    const bool counted = m_nodes[1]->log().contains(QLatin1String("did not reach the other nodes"));
    qInfo("answered -ERR 99 but applied: CREATEROOM %d/%d, ENTERROOM %d/%d; same-node chat heard during the stall: %s; "
          "lost chat counted: %s",
          createApplied, createRefused, enterApplied, enterRefused, heard.isNull() ? "no" : "yes", counted ? "yes" : "no");
    QCOMPARE(createRefused + enterRefused, 10);
    QCOMPARE(createApplied, 0);
    QCOMPARE(enterApplied, 0);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(heard, protocol::command(kw::LMESSAGE, {QStringLiteral("speaker"), QStringLiteral("still here")}));
    QVERIFY(counted);
}

void TestClusterConsistency::pausedHostLosesItsRoom()
{
    const Redis redis(m_redis.port());
    const QString game = QStringLiteral("Open");
    auto host = player(2, game, true, QStringLiteral("sleeper"));
    auto member = player(0, game, false, QStringLiteral("awake"));
    auto watcher = player(1, game, false, QStringLiteral("watcher"));
    QCOMPARE(host->call(protocol::createRoom(QStringLiteral("nap"))), kOk);
    QVERIFY(member->takeLatest(list(kw::ROOMLIST, {protocol::roomListEntry(QStringLiteral("nap"), 1, 8)})));
    QCOMPARE(member->call(protocol::command(kw::ENTERROOM, {QStringLiteral("nap")})), kOk);

    // Paused past the liveness timeout: the others take the node for dead.
    m_nodes[2]->signal(SIGSTOP);
    auto resume = qScopeGuard([&] { m_nodes[2]->signal(SIGCONT); });
    QCOMPARE(member->take(QString::fromLatin1(kw::DELETEROOM), kSlowMs), protocol::deleteRoom(QStringLiteral("nap")));
    const qsizetype told = member->all.size();
    resume.dismiss();
    m_nodes[2]->signal(SIGCONT);
    QVERIFY2(m_nodes[2]->waitForLog(QStringLiteral("signed out by the cluster"), kSlowMs), qPrintable(m_nodes[2]->log()));
    const QString why = settled();
    QVERIFY(member->sync());
    // Told the room is gone, the member stays out of it, and so does everyone's view.
    bool putBack = !redis.roomMembers(game, QStringLiteral("nap")).isEmpty();
    for (qsizetype i = told; i < member->all.size(); ++i)
        putBack = putBack || protocol::keyword(member->all[i]) == QLatin1String(kw::ROOMPLAYERLIST);
    // The host, as on a single server that closed its room, hears of it.
    const QString hostTold = host->take(QString::fromLatin1(kw::DELETEROOM), kSlowMs);
    qInfo("after the pause: member put back into the closed room: %s; host told: %s", putBack ? "yes" : "no",
          hostTold.isNull() ? "no" : "yes");
    QVERIFY(!putBack);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(hostTold, protocol::deleteRoom(QStringLiteral("nap")));
    QVERIFY(host->isConnected());
}

QTEST_GUILESS_MAIN(TestClusterConsistency)
#include "tst_clusterconsistency.moc"
