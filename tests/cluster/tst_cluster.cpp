// Several server processes sharing one lobby through a throw-away Redis and
// PostgreSQL, driven by plain protocol clients on each node.
#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <numeric>
#include <utility>
#include <memory>

#include "clusternode.h"
#include "clusterservices.h"
#include "lobbyclient.h"
#include "lobbystore.h"
#include "net/protocol/protocol.h"

namespace kw = protocol::kw;

namespace {

const QByteArray kGames = R"([
  {"name": "Trio", "id": 3, "minPlayers": 3, "maxPlayers": 3},
  {"name": "Duo", "id": 2, "minPlayers": 2, "maxPlayers": 2},
  {"name": "Open", "id": 9, "minPlayers": 2, "maxPlayers": 8}
])";

// Waits for things that take the cluster's liveness timeout, not for speed.
constexpr int kNodeDeathWaitMs = 40000;

QString list(const char *keyword, const QStringList &entries) { return protocol::listLine(keyword, entries); }

QString enter(const QString &room) { return protocol::command(kw::ENTERROOM, {room}); }

// A player list with these entries in any order (a restarted Redis has the
// players back in the order their nodes returned).
bool waitForPlayers(LobbyClient &c, QStringList entries, int timeoutMs = kNodeDeathWaitMs)
{
    entries.sort();
    for (;;) {
        const QString line = c.take(QString::fromLatin1(kw::PLAYERLIST), timeoutMs);
        if (line.isNull())
            return false;
        QStringList got = protocol::listEntries(line);
        got.sort();
        if (got == entries)
            return true;
    }
}

// Asks until the answer is this line: for state that other nodes are still putting back.
bool eventually(LobbyClient &c, const QString &request, const QString &expected)
{
    const QString k = protocol::keyword(expected);
    for (int i = 0; i < 100; ++i) {
        c.send(request);
        for (QString line = c.take(k); !line.isNull(); line = c.take(k, 0)) {
            if (line == expected)
                return true;
        }
        QTest::qWait(100);
    }
    return false;
}

int countLines(const LobbyClient &c, const QString &line) { return int(c.all.count(line)); }

} // namespace

class TestCluster : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void presenceAndLobbyChat();
    void chatBurstsInOrder_data();
    void chatBurstsInOrder();
    void sameAccountOnTwoNodes();
    void roomFillsAcrossNodes();
    void lastPlaceTakenOnce();
    void deleteRoomReachesEveryNode();
    void killedNodeLeavesTheLists();
    void redisRestart();
    void pausedNodeComesBack();
    void accessCountsAddUp();
    void moderationActsOnEveryNode();

private:
    // query: added to the Redis URL (?flush-pace=MS)
    std::unique_ptr<Node> startNode(const QString &query = QString());
    std::unique_ptr<LobbyClient> player(int node, const QString &game, bool host, const QString &user);
    void dumpLogs();

    PostgresService m_pg;
    RedisService m_redis;
    QTemporaryDir m_dir;
    QString m_dbUrl;
    std::vector<std::unique_ptr<Node>> m_nodes;
    int m_signIns = 0;
    int m_started = 0;
    QString admin(int node, const QStringList &args);
};

void TestCluster::initTestCase()
{
    QString error;
    QVERIFY2(m_pg.start(&error), qPrintable(error));
    QVERIFY2(m_pg.createDatabase(QStringLiteral("lobby"), &error), qPrintable(error));
    m_dbUrl = m_pg.url(QStringLiteral("lobby"));
    QVERIFY2(m_redis.start(&error), qPrintable(error));
    QFile games(m_dir.filePath(QStringLiteral("games.json")));
    QVERIFY(games.open(QIODevice::WriteOnly));
    games.write(kGames);
    games.close();
    for (int i = 0; i < 3; ++i) {
        m_nodes.push_back(startNode());
        QVERIFY(m_nodes.back());
    }
}

void TestCluster::cleanupTestCase()
{
    if (QTest::currentTestFailed())
        dumpLogs();
    // Leaving the cluster on SIGTERM tears the Redis connections down cleanly.
    for (auto &node : m_nodes)
        QVERIFY2(node->stop(), qPrintable(node->log()));
    m_nodes.clear();
}

void TestCluster::dumpLogs()
{
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        if (m_nodes[i])
            qWarning("node %zu:\n%s", i, qPrintable(m_nodes[i]->log()));
    }
}

std::unique_ptr<Node> TestCluster::startNode(const QString &query)
{
    auto node = std::make_unique<Node>();
    if (!node->start({QStringLiteral("--db"), m_dbUrl, QStringLiteral("--cluster"), m_redis.url() + query, QStringLiteral("--games"),
                      m_dir.filePath(QStringLiteral("games.json")), QStringLiteral("--hash-memory"), QStringLiteral("8"),
                      QStringLiteral("--hash-passes"), QStringLiteral("1"), QStringLiteral("--admin-socket"),
                      m_dir.filePath(QStringLiteral("admin%1.sock").arg(m_started++))}) ||
        !node->waitForLog(QStringLiteral("joined the cluster"))) {
        qWarning("node did not start:\n%s", qPrintable(node->log()));
        return nullptr;
    }
    return node;
}

std::unique_ptr<LobbyClient> TestCluster::player(int node, const QString &game, bool host, const QString &user)
{
    auto c = std::make_unique<LobbyClient>(m_nodes[size_t(node)]->port);
    if (c->signIn(game, host, user))
        ++m_signIns;
    else
        qWarning("sign-in of %s on node %d failed: %s", qPrintable(user), node, qPrintable(c->all.join(u'|')));
    return c;
}

void TestCluster::presenceAndLobbyChat()
{
    auto a = player(0, QStringLiteral("Open"), true, QStringLiteral("akira"));
    auto b = player(1, QStringLiteral("Open"), false, QStringLiteral("bunta"));
    auto c = player(2, QStringLiteral("Open"), false, QStringLiteral("chika"));
    // One list in one order on every node.
    const QString players = list(kw::PLAYERLIST, {QStringLiteral("akira 1"), QStringLiteral("bunta 0"), QStringLiteral("chika 0")});
    for (LobbyClient *p : {a.get(), b.get(), c.get()})
        QVERIFY2(p->takeLatest(players), qPrintable(p->all.join(u'|')));
    // One who keeps its lists by changes hears of players on other nodes too.
    auto w = player(1, QStringLiteral("Open"), false, QStringLiteral("wataru"));
    QCOMPARE(w->call(QStringLiteral("LISTDELTA")), QStringLiteral("+OK"));

    // Spaces and code page 932 survive the trip through the other nodes, both ways.
    const QString text = QStringLiteral("  こんにちは ① ～  two  spaces ");
    b->send(protocol::command(kw::LMESSAGE, {text}));
    a->send(protocol::command(kw::LMESSAGE, {QStringLiteral("おはよう")}));
    // Sent at once on two nodes: each node hears its own player's line first, so
    // the order may differ between nodes, but everyone hears both, once.
    QStringList expected{protocol::command(kw::LMESSAGE, {QStringLiteral("akira"), QStringLiteral("おはよう")}),
                         protocol::command(kw::LMESSAGE, {QStringLiteral("bunta"), text})};
    for (LobbyClient *p : {a.get(), b.get(), c.get()}) {
        QStringList heard{p->take(QString::fromLatin1(kw::LMESSAGE)), p->take(QString::fromLatin1(kw::LMESSAGE))};
        heard.sort();
        QCOMPARE(heard, expected);
        QVERIFY(p->sync());
        QVERIFY(p->queued(QString::fromLatin1(kw::LMESSAGE)).isEmpty());
    }
    // Another game's lobby hears nothing.
    auto d = player(1, QStringLiteral("Duo"), false, QStringLiteral("daigo"));
    QVERIFY(d->sync());
    QVERIFY(d->queued(QString::fromLatin1(kw::LMESSAGE)).isEmpty());

    // Signing out on one node takes the player off every node's list.
    b.reset();
    auto e = player(2, QStringLiteral("Open"), false, QStringLiteral("emi"));
    const QStringList restEntries{QStringLiteral("akira 1"), QStringLiteral("chika 0"), QStringLiteral("wataru 0"),
                                  QStringLiteral("emi 0")};
    const QString rest = list(kw::PLAYERLIST, restEntries);
    QVERIFY(a->takeLatest(rest));
    QVERIFY(c->takeLatest(rest));
    QTRY_COMPARE(listsHeld(*w).at(0), restEntries + QStringList{QString()});
}

void TestCluster::chatBurstsInOrder_data()
{
    QTest::addColumn<QList<int>>("senders"); // nodes whose player sends a burst (3: the paced node)
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("perWrite");
    QTest::addColumn<int>("gapMs");  // between writes
    QTest::addColumn<int>("paceMs"); // of a fourth node that listens too; 0: none
    QTest::newRow("one node") << QList<int>{1} << 12 << 12 << 0 << 0;
    QTest::newRow("two nodes at once") << QList<int>{1, 2} << 12 << 12 << 0 << 0;
    // Events that keep coming while the last ones are applied wait their turn.
    QTest::newRow("line by line") << QList<int>{1} << 12 << 1 << 2 << 0;
    // Held by the pace, the last lines still go out once nothing more comes.
    QTest::newRow("paced node, one burst") << QList<int>{1, 2} << 12 << 12 << 0 << 300;
    QTest::newRow("paced node sends") << QList<int>{3} << 12 << 3 << 5 << 300;
    // Lines that never stop for a whole pace still reach the paced node's
    // players while they keep coming.
    QTest::newRow("paced node, steady stream") << QList<int>{1} << 18 << 3 << 150 << 300;
}

// Lines that reach another node together are applied together: every player
// hears each sender's lines once and in the order they were sent.
void TestCluster::chatBurstsInOrder()
{
    QFETCH(QList<int>, senders);
    QFETCH(int, lines);
    QFETCH(int, perWrite);
    QFETCH(int, gapMs);
    QFETCH(int, paceMs);
    static int row = 0;
    ++row;
    std::unique_ptr<Node> paced;
    if (paceMs > 0) {
        paced = startNode(QStringLiteral("?flush-pace=%1").arg(paceMs));
        QVERIFY(paced);
    }
    std::vector<std::unique_ptr<LobbyClient>> players;
    QStringList names;
    for (int node = 0; node < (paced ? 4 : 3); ++node) {
        names << QStringLiteral("burst%1n%2").arg(row).arg(node);
        players.push_back(node < 3 ? player(node, QStringLiteral("Trio"), false, names.last())
                                   : std::make_unique<LobbyClient>(paced->port));
        if (node == 3) {
            QVERIFY(players.back()->signIn(QStringLiteral("Trio"), false, names.last()));
            ++m_signIns;
        }
    }
    for (auto &p : players)
        QVERIFY(p->sync());
    const auto heardSoFar = [](const LobbyClient &p) {
        return std::count_if(p.all.cbegin(), p.all.cend(),
                             [](const QString &l) { return l.startsWith(QLatin1String(kw::LMESSAGE)); });
    };
    qsizetype pacedHeardBeforeLast = 0;
    QHash<QString, QStringList> sent;
    for (int node : senders) {
        QByteArray write;
        for (int i = 0; i < lines; ++i) {
            const QString text = QStringLiteral("line %1").arg(i);
            sent[names[node]].append(protocol::command(kw::LMESSAGE, {names[node], text}));
            write += protocol::command(kw::LMESSAGE, {text}).toUtf8() + "\r\n";
            if ((i + 1) % perWrite != 0 && i + 1 < lines)
                continue;
            if (paced && i + 1 == lines)
                pacedHeardBeforeLast = heardSoFar(*players[3]);
            players[size_t(node)]->sendRaw(std::exchange(write, {}));
            if (gapMs > 0)
                QTest::qWait(gapMs);
        }
    }
    for (auto &p : players) {
        QHash<QString, QStringList> heard;
        for (qsizetype i = 0; i < lines * senders.size(); ++i) {
            const QString line = p->take(QString::fromLatin1(kw::LMESSAGE));
            QVERIFY2(!line.isNull(), qPrintable(p->all.join(u'|')));
            heard[line.section(u' ', 1, 1)].append(line);
        }
        QCOMPARE(heard, sent);
        QVERIFY(p->sync());
        QVERIFY(p->queued(QString::fromLatin1(kw::LMESSAGE)).isEmpty());
    }
    // Sent over more than two paces: the node flushed again before the end, not
    // only the first write after the quiet spell.
    if (paced && !senders.contains(3) && gapMs * (lines / perWrite) > 2 * paceMs)
        QVERIFY2(pacedHeardBeforeLast > perWrite, qPrintable(players[3]->all.join(u'|')));
    players.clear();
    if (paced)
        QVERIFY2(paced->stop(), qPrintable(paced->log()));
}

void TestCluster::sameAccountOnTwoNodes()
{
    auto first = player(0, QStringLiteral("Duo"), false, QStringLiteral("eiji"));
    QVERIFY(first->isConnected());
    // Registered through node 0, known on node 2; but signed in already.
    LobbyClient second(m_nodes[2]->port);
    QCOMPARE(second.take(QStringLiteral("+OK")).isNull(), false);
    QCOMPARE(second.call(protocol::gameName(QStringLiteral("Duo"))), QStringLiteral("+OK"));
    QCOMPARE(second.call(protocol::registUser(QStringLiteral("eiji"), QStringLiteral("secret1"), QStringLiteral("e@x.jp"), QString())),
             QStringLiteral("-ERR 1"));
    QCOMPARE(second.call(protocol::login(QStringLiteral("eiji"), QStringLiteral("secret1"))), QStringLiteral("-ERR 1"));
    // Once the first has gone, the account signs in on the other node.
    first->send(QString::fromLatin1(kw::QUIT));
    QVERIFY(first->waitForDisconnected());
    QString answer;
    for (int i = 0; i < 50 && answer != QLatin1String("+OK"); ++i) {
        answer = second.call(protocol::login(QStringLiteral("eiji"), QStringLiteral("secret1")));
        if (answer != QLatin1String("+OK"))
            QTest::qWait(100);
    }
    QCOMPARE(answer, QStringLiteral("+OK"));
    ++m_signIns;
}

void TestCluster::roomFillsAcrossNodes()
{
    auto host = player(0, QStringLiteral("Trio"), true, QStringLiteral("hiro"));
    auto m1 = player(1, QStringLiteral("Trio"), false, QStringLiteral("mami"));
    auto m2 = player(2, QStringLiteral("Trio"), false, QStringLiteral("mika"));
    auto late = player(1, QStringLiteral("Trio"), false, QStringLiteral("rui"));
    const QString room = QStringLiteral("部屋 1");
    QCOMPARE(host->call(protocol::createRoom(room)), QStringLiteral("+OK"));
    QVERIFY(host->takeLatest(list(kw::ROOMPLAYERLIST, {QStringLiteral("hiro 1")})));
    QVERIFY(m1->takeLatest(list(kw::ROOMLIST, {room + QStringLiteral(" 1/3")})));
    QCOMPARE(m1->call(enter(room)), QStringLiteral("+OK"));
    // The answer comes before the room's list, as on a single server.
    QCOMPARE(m1->take(QString::fromLatin1(kw::ROOMPLAYERLIST)), list(kw::ROOMPLAYERLIST, {QStringLiteral("hiro 1"), QStringLiteral("mami 0")}));
    QCOMPARE(m2->call(enter(room)), QStringLiteral("+OK"));
    const QString full = list(kw::ROOMPLAYERLIST, {QStringLiteral("hiro 1"), QStringLiteral("mami 0"), QStringLiteral("mika 0")});
    for (LobbyClient *p : {host.get(), m1.get(), m2.get()})
        QVERIFY(p->takeLatest(full));
    QVERIFY(late->takeLatest(list(kw::ROOMLIST, {room + QStringLiteral(" 3/3")})));
    QCOMPARE(late->call(enter(room)), QStringLiteral("-ERR 1"));

    // Room chat stays in the room, on every node.
    m2->send(protocol::command(kw::RMESSAGE, {QStringLiteral("よろしく お願いします")}));
    const QString said = protocol::command(kw::RMESSAGE, {QStringLiteral("mika"), QStringLiteral("よろしく お願いします")});
    for (LobbyClient *p : {host.get(), m1.get(), m2.get()})
        QCOMPARE(p->take(QString::fromLatin1(kw::RMESSAGE)), said);
    QVERIFY(late->sync());
    QVERIFY(late->queued(QString::fromLatin1(kw::RMESSAGE)).isEmpty());

    // Every member on every node gets HOSTIP, then START, once.
    QCOMPARE(host->call(protocol::command(kw::IP, {QStringLiteral("192.0.2.7")})), QStringLiteral("+OK"));
    QCOMPARE(host->call(QString::fromLatin1(kw::START)), QStringLiteral("+OK"));
    const QString hostIp = protocol::command(kw::HOSTIP, {QStringLiteral("192.0.2.7")});
    for (LobbyClient *p : {m1.get(), m2.get()}) {
        QCOMPARE(p->take(QString::fromLatin1(kw::HOSTIP)), hostIp);
        QCOMPARE(p->take(QString::fromLatin1(kw::START)), QString::fromLatin1(kw::START));
    }
    QVERIFY(late->takeLatest(list(kw::ROOMLIST, {})));
    QVERIFY(host->sync());
    for (LobbyClient *p : {m1.get(), m2.get(), host.get(), late.get()}) {
        QVERIFY(p->sync() || p == m1.get() || p == m2.get()); // after START the members may stop reading
        QCOMPARE(countLines(*p, hostIp), p == m1.get() || p == m2.get() ? 1 : 0);
        QCOMPARE(countLines(*p, QString::fromLatin1(kw::START)), p == m1.get() || p == m2.get() ? 1 : 0);
    }
}

void TestCluster::lastPlaceTakenOnce()
{
    // Two members on two nodes ask for the last place at the same moment.
    auto host = player(2, QStringLiteral("Duo"), true, QStringLiteral("kazu"));
    auto x = player(0, QStringLiteral("Duo"), false, QStringLiteral("xiao"));
    auto y = player(1, QStringLiteral("Duo"), false, QStringLiteral("yuki"));
    QCOMPARE(host->call(protocol::createRoom(QStringLiteral("last"))), QStringLiteral("+OK"));
    for (LobbyClient *p : {x.get(), y.get()})
        QVERIFY(p->takeLatest(list(kw::ROOMLIST, {QStringLiteral("last 1/2")})));
    x->send(enter(QStringLiteral("last")));
    y->send(enter(QStringLiteral("last")));
    const QStringList answers{x->status(), y->status()};
    QCOMPARE(answers.count(QStringLiteral("+OK")), 1);
    QCOMPARE(answers.count(QStringLiteral("-ERR 1")), 1);
}

void TestCluster::deleteRoomReachesEveryNode()
{
    auto host = player(1, QStringLiteral("Open"), true, QStringLiteral("nobu"));
    auto member = player(2, QStringLiteral("Open"), false, QStringLiteral("sora"));
    auto outside = player(0, QStringLiteral("Open"), false, QStringLiteral("taka"));
    QCOMPARE(host->call(protocol::createRoom(QStringLiteral("gone"))), QStringLiteral("+OK"));
    QVERIFY(member->takeLatest(list(kw::ROOMLIST, {QStringLiteral("gone 1/8")})));
    QCOMPARE(member->call(enter(QStringLiteral("gone"))), QStringLiteral("+OK"));
    // Only the owner may delete it, from whichever node.
    QCOMPARE(member->call(protocol::command(kw::DELETEROOM, {QStringLiteral("gone")})), QStringLiteral("-ERR 1"));
    QCOMPARE(host->call(protocol::command(kw::DELETEROOM, {QStringLiteral("gone")})), QStringLiteral("+OK"));
    QCOMPARE(member->take(QString::fromLatin1(kw::DELETEROOM)), protocol::deleteRoom(QStringLiteral("gone")));
    QVERIFY(outside->takeLatest(list(kw::ROOMLIST, {})));
    QVERIFY(host->sync());
    QVERIFY(host->queued(QString::fromLatin1(kw::DELETEROOM)).isEmpty());
}

void TestCluster::killedNodeLeavesTheLists()
{
    m_nodes.push_back(startNode());
    QVERIFY(m_nodes.back());
    const int doomed = int(m_nodes.size()) - 1;
    auto host = player(doomed, QStringLiteral("Open"), true, QStringLiteral("oni"));
    auto other = player(doomed, QStringLiteral("Open"), false, QStringLiteral("oto"));
    auto member = player(0, QStringLiteral("Open"), false, QStringLiteral("umi"));
    QCOMPARE(host->call(protocol::createRoom(QStringLiteral("doomed"))), QStringLiteral("+OK"));
    QVERIFY(member->takeLatest(list(kw::ROOMLIST, {QStringLiteral("doomed 1/8")})));
    QCOMPARE(member->call(enter(QStringLiteral("doomed"))), QStringLiteral("+OK"));
    QVERIFY(member->takeLatest(list(kw::PLAYERLIST, {QStringLiteral("oni 1"), QStringLiteral("oto 0"), QStringLiteral("umi 0")})));
    auto watcher = player(0, QStringLiteral("Open"), false, QStringLiteral("wako"));
    QCOMPARE(watcher->call(QStringLiteral("LISTDELTA")), QStringLiteral("+OK"));
    QTRY_COMPARE(listsHeld(*watcher).at(1), (QStringList{QStringLiteral("doomed 2/8"), QString()}));

    QElapsedTimer since;
    since.start();
    m_nodes[size_t(doomed)]->kill9();
    // The room's members get the notice a dropped host causes, then the lists.
    QCOMPARE(member->take(QString::fromLatin1(kw::DELETEROOM), kNodeDeathWaitMs), protocol::deleteRoom(QStringLiteral("doomed")));
    QVERIFY(member->takeLatest(list(kw::PLAYERLIST, {QStringLiteral("umi 0"), QStringLiteral("wako 0")}), kNodeDeathWaitMs));
    QVERIFY(member->takeLatest(list(kw::ROOMLIST, {}), kNodeDeathWaitMs));
    QTRY_COMPARE(listsHeld(*watcher), (QList<QStringList>{{QStringLiteral("umi 0"), QStringLiteral("wako 0"), QString()},
                                                          {QString()}}));
    qInfo("players of the killed node left the lists after %lld ms", since.elapsed());
    m_nodes.pop_back();
}

void TestCluster::redisRestart()
{
    auto a = player(0, QStringLiteral("Duo"), true, QStringLiteral("ren"));
    auto b = player(1, QStringLiteral("Duo"), false, QStringLiteral("saki"));
    QCOMPARE(a->call(protocol::createRoom(QStringLiteral("kept"))), QStringLiteral("+OK"));
    QVERIFY(b->takeLatest(list(kw::ROOMLIST, {QStringLiteral("kept 1/2")})));
    QCOMPARE(b->call(enter(QStringLiteral("kept"))), QStringLiteral("+OK"));
    QVERIFY(a->takeLatest(list(kw::ROOMPLAYERLIST, {QStringLiteral("ren 1"), QStringLiteral("saki 0")})));

    m_redis.stop();
    for (auto &node : m_nodes)
        QVERIFY2(node->waitForLog(QStringLiteral("refusing sign-ins")), qPrintable(node->log()));
    // Clients stay; a new sign-in is refused with a reason; nothing hangs.
    QVERIFY(a->isConnected() && b->isConnected());
    LobbyClient refused(m_nodes[1]->port);
    QVERIFY(!refused.take(QStringLiteral("+OK")).isNull());
    QCOMPARE(refused.call(protocol::gameName(QStringLiteral("Duo"))), QStringLiteral("+OK"));
    refused.send(protocol::registUser(QStringLiteral("tomo"), QStringLiteral("secret1"), QStringLiteral("t@x.jp"), QString()));
    QVERIFY(!refused.status().isNull());
    QCOMPARE(refused.call(protocol::login(QStringLiteral("tomo"), QStringLiteral("secret1"))),
             QStringLiteral("-ERR 99 lobby unavailable, try again later"));
    QCOMPARE(a->call(protocol::command(kw::LEAVEROOM, {})).left(6), QStringLiteral("-ERR 9"));

    QString error;
    QVERIFY2(m_redis.start(&error), qPrintable(error));
    for (auto &node : m_nodes)
        QVERIFY2(node->waitForLog(QStringLiteral("reachable again")), qPrintable(node->log()));
    // The nodes put their players and rooms back.
    QCOMPARE(refused.call(protocol::login(QStringLiteral("tomo"), QStringLiteral("secret1"))), QStringLiteral("+OK"));
    ++m_signIns;
    const QStringList players{QStringLiteral("ren 1"), QStringLiteral("saki 0"), QStringLiteral("tomo 0")};
    for (LobbyClient *p : {a.get(), b.get(), &refused})
        QVERIFY2(waitForPlayers(*p, players), qPrintable(p->all.join(u'|')));
    QVERIFY(eventually(refused, QString::fromLatin1(kw::ROOMLIST), list(kw::ROOMLIST, {QStringLiteral("kept 2/2")})));
    b->send(protocol::command(kw::RMESSAGE, {QStringLiteral("まだいる")}));
    QCOMPARE(a->take(QString::fromLatin1(kw::RMESSAGE)), protocol::command(kw::RMESSAGE, {QStringLiteral("saki"), QStringLiteral("まだいる")}));
}

void TestCluster::pausedNodeComesBack()
{
    // A node that stops answering for longer than the liveness timeout is taken
    // for dead; when it runs again it puts its players back.
    auto paused = player(2, QStringLiteral("Open"), false, QStringLiteral("pau"));
    auto watcher = player(0, QStringLiteral("Open"), false, QStringLiteral("wat"));
    QVERIFY(waitForPlayers(*watcher, {QStringLiteral("pau 0"), QStringLiteral("wat 0")}));
    m_nodes[2]->signal(SIGSTOP);
    const bool reaped = waitForPlayers(*watcher, {QStringLiteral("wat 0")});
    m_nodes[2]->signal(SIGCONT);
    QVERIFY(reaped);
    QVERIFY2(waitForPlayers(*watcher, {QStringLiteral("pau 0"), QStringLiteral("wat 0")}), qPrintable(m_nodes[2]->log()));
    QVERIFY(paused->isConnected());
    paused->send(protocol::command(kw::LMESSAGE, {QStringLiteral("ただいま")}));
    QCOMPARE(watcher->take(QString::fromLatin1(kw::LMESSAGE)), protocol::command(kw::LMESSAGE, {QStringLiteral("pau"), QStringLiteral("ただいま")}));
}

void TestCluster::accessCountsAddUp()
{
    // Sign-ins on all nodes are counted in the one shared database.
    LobbyStore store;
    QString error;
    QVERIFY2(store.open(m_dbUrl, &error), qPrintable(error));
    const QList<int> hours = store.hourCounts(QDateTime::currentDateTime());
    QCOMPARE(std::accumulate(hours.cbegin(), hours.cend(), 0), m_signIns);
}

// qorchat-admin's output against node's socket; "FAILED" and its error when refused.
QString TestCluster::admin(int node, const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(QORCHAT_ADMIN_EXE),
            QStringList{QStringLiteral("--socket"), m_dir.filePath(QStringLiteral("admin%1.sock").arg(node))} + args);
    p.waitForFinished(30000);
    return p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput())
                             : QStringLiteral("FAILED ") + QString::fromUtf8(p.readAllStandardError());
}

void TestCluster::moderationActsOnEveryNode()
{
    auto kicked = player(1, QStringLiteral("Open"), false, QStringLiteral("kenta"));
    auto muted = player(2, QStringLiteral("Open"), false, QStringLiteral("mika"));
    auto banned = player(2, QStringLiteral("Open"), false, QStringLiteral("bando"));
    auto listener = player(1, QStringLiteral("Open"), false, QStringLiteral("rin"));
    // The admin talks to node 0, where none of them is.
    QCOMPARE(admin(0, {QStringLiteral("kick"), QStringLiteral("kenta")}), QStringLiteral("kicked kenta\n"));
    QVERIFY(kicked->waitForDisconnected());
    QCOMPARE(admin(0, {QStringLiteral("ban"), QStringLiteral("BANDO")}), QStringLiteral("banned bando, 1 connections closed\n"));
    QVERIFY(banned->waitForDisconnected());
    LobbyClient again(m_nodes[1]->port);
    QVERIFY(!again.status().isNull());
    QCOMPARE(again.call(protocol::gameName(QStringLiteral("Open"))), QStringLiteral("+OK"));
    QVERIFY(again.call(protocol::login(QStringLiteral("bando"), QStringLiteral("secret1"))).startsWith(QLatin1String("-ERR 5")));

    QCOMPARE(admin(0, {QStringLiteral("mute"), QStringLiteral("mika")}), QStringLiteral("muted mika\n"));
    // The mute is in force on node 2 as soon as the change came round: the line after
    // the notice is not relayed.
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
        muted->send(protocol::command(kw::LMESSAGE, {QStringLiteral("spam")}));
        return !muted->take([](const QString &l) { return l.startsWith(QStringLiteral("LMESSAGE [")); }, 1000).isNull();
    }()), 20000);
    const QString notice = admin(0, {QStringLiteral("notice"), QStringLiteral("--game"), QStringLiteral("Open"),
                                     QStringLiteral("maintenance")});
    QVERIFY2(notice.startsWith(QLatin1String("notice sent to ")), qPrintable(notice));
    const QString line = QStringLiteral("LMESSAGE %1 maintenance").arg(QString::fromUtf16(u"[運営]"));
    QVERIFY(listener->take([&](const QString &l) { return l == line; }).size() > 0);
    QVERIFY(muted->take([&](const QString &l) { return l == line; }).size() > 0);
    // After the mute took hold, rin heard none of mika's lines.
    QVERIFY(listener->sync());
    const QStringList heard = listener->queued(QString::fromLatin1(kw::LMESSAGE));
    QVERIFY2(heard.count(QStringLiteral("LMESSAGE mika spam")) <= 1, qPrintable(heard.join(u'|')));
    QCOMPARE(admin(0, {QStringLiteral("unmute"), QStringLiteral("mika")}), QStringLiteral("unmuted mika\n"));
    QCOMPARE(admin(0, {QStringLiteral("unban"), QStringLiteral("bando")}), QStringLiteral("unbanned bando\n"));
}

QTEST_GUILESS_MAIN(TestCluster)
#include "tst_cluster.moc"
