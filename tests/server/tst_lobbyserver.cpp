// The server driven over loopback sockets through whole scenarios.
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <map>
#include <memory>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "clientconnection.h"
#include "lobbyclient.h"
#include "lobbyserver.h"
#include "lobbystore.h"
#include "net/protocol/protocol.h"

namespace kw = protocol::kw;

namespace {

const QByteArray kGames = R"([
  {"name": "Go[9]", "id": 7, "minPlayers": 3, "maxPlayers": 4, "topmost": false, "phrases": ["よろしく", "がんばろう"]},
  {"name": "Duo", "id": 2, "minPlayers": 2, "maxPlayers": 2},
  {"name": "Shogi"}
])";

struct Lobby {
    explicit Lobby(int maxClients = 1000, const QString &db = QStringLiteral(":memory:"))
    {
        QString error;
        if (!store.open(db, &error))
            qFatal("%s", qPrintable(error));
        store.setHashParams({8, 1, 1}); // keeps the sanitizer build quick
        server = std::make_unique<LobbyServer>(store, *GameCatalog::fromJson(kGames, &error), maxClients);
        server->setFailureDelays(2, 8);
        if (!server->listen(QHostAddress::LocalHost, 0, &error))
            qFatal("%s", qPrintable(error));
    }
    std::unique_ptr<LobbyClient> client() { return std::make_unique<LobbyClient>(server->serverPort()); }
    std::unique_ptr<LobbyClient> player(const QString &game, bool host, const QString &user,
                                        const QString &comment = QString())
    {
        auto c = client();
        if (!c->signIn(game, host, user, QStringLiteral("secret1"), comment))
            qWarning("sign-in of %s failed: %s", qPrintable(user), qPrintable(c->all.join(u'|')));
        return c;
    }
    LobbyStore store;
    std::unique_ptr<LobbyServer> server;
};

QString list(const char *keyword, const QStringList &entries) { return protocol::listLine(keyword, entries); }

// A list push carrying exactly these entries (earlier pushes may be merged away).
bool waitForList(LobbyClient &c, const char *keyword, const QStringList &entries)
{
    return c.takeLatest(list(keyword, entries));
}

} // namespace

class TestLobbyServer : public QObject {
    Q_OBJECT
private slots:
    void greetingAndFullServer();
    void beforeSignIn_data();
    void beforeSignIn();
    void registration_data();
    void registration();
    void loginErrors();
    void signInPushesGameInfoAndPlayers();
    void chatDataAndRoomList();
    void chatScopes();
    void rooms();
    void roomRefusals_data();
    void roomRefusals();
    void roomNamesComeBackAsSent_data();
    void roomNamesComeBackAsSent();
    void matchStart();
    void droppedHost();
    void playerInfoAndUpdate();
    void charts();
    void badInput_data();
    void badInput();
    void overlongLineIsDropped();
    void slowReaderIsCutOff();
    void accountsPersist();
    void lateReaderGetsAllInOrder();
    void hashingKeepsLineOrder();
    void floodDoesNotHoldOthers();
    void failedSignInsSlowDown();
    void parallelGuessesWaitInLine();
    void signInDeadline();
    void perAddressCap();
    void lookAlikeIds_data();
    void lookAlikeIds();
    void oldPasswordUpgraded();
    void listDeltas_data();
    void listDeltas();
    void listDeltasKeepOrder_data();
    void listDeltasKeepOrder();
};

void TestLobbyServer::greetingAndFullServer()
{
    Lobby lobby(2);
    auto a = lobby.client();
    auto b = lobby.client();
    QVERIFY(a->status().startsWith(QLatin1String("+OK ")));
    QVERIFY(b->status().startsWith(QLatin1String("+OK ")));
    auto c = lobby.client();
    QVERIFY(c->status().startsWith(QLatin1String("-ERR 100")));
    QVERIFY(c->waitForDisconnected());
    QCOMPARE(lobby.server->clientCount(), 2);

    a->send(QStringLiteral("QUIT"));
    QVERIFY(a->waitForDisconnected());
    QTRY_COMPARE(lobby.server->clientCount(), 1);
    auto d = lobby.client();
    QVERIFY(d->status().startsWith(QLatin1String("+OK ")));
}

void TestLobbyServer::beforeSignIn_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("reply");
    QTest::newRow("escaped game name") << "GAMENAME Go\\[9\\]" << "+OK";
    QTest::newRow("unescaped brackets") << "GAMENAME Go[9]" << "+OK";
    QTest::newRow("unknown game") << "GAMENAME Chess" << "-ERR 1";
    QTest::newRow("no game") << "GAMENAME" << "-ERR 1";
    QTest::newRow("host yes") << "HOST yes" << "+OK";
    QTest::newRow("host no") << "HOST no" << "+OK";
    QTest::newRow("host Yes") << "HOST Yes" << "-ERR 1";
    QTest::newRow("host alone") << "HOST" << "-ERR 1";
    QTest::newRow("login without game") << "LOGIN taro secret1" << "-ERR 4";
    QTest::newRow("lobby chat") << "LMESSAGE hi" << "-ERR 91";
    QTest::newRow("room list") << "ROOMLIST" << "-ERR 91";
    QTest::newRow("create room") << "CREATEROOM r" << "-ERR 91";
    QTest::newRow("start") << "START" << "-ERR 91";
    QTest::newRow("lower case") << "login taro secret1" << "-ERR 90";
    QTest::newRow("unknown") << "HELLO" << "-ERR 90";
    QTest::newRow("incremental lists") << "LISTDELTA" << "+OK";
    QTest::newRow("host yes and a space") << "HOST yes " << "-ERR 1";
    QTest::newRow("host and a tab") << "HOST\tyes" << "-ERR 90";
    QTest::newRow("longer keyword") << "HOSTS yes" << "-ERR 90";
    QTest::newRow("leading space") << " HOST no" << "-ERR 90";
    QTest::newRow("empty line") << "" << "-ERR 90";
    QTest::newRow("account update") << "UPDATEUSER taro secret1 t@x.jp" << "-ERR 91";
    QTest::newRow("player info") << "PLAYERINFO taro 0" << "-ERR 91";
    QTest::newRow("server line") << "PLAYERLIST" << "-ERR 90";
}

void TestLobbyServer::beforeSignIn()
{
    QFETCH(QString, line);
    QFETCH(QString, reply);
    Lobby lobby;
    auto c = lobby.client();
    QVERIFY(!c->status().isNull());
    QCOMPARE(c->call(line), reply);
    // The connection stays usable.
    QCOMPARE(c->call(QStringLiteral("HOST no")), QStringLiteral("+OK"));
}

void TestLobbyServer::registration_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("reply");
    QTest::newRow("plain") << "REGISTUSER hanako pass1 h@x.jp" << "+OK";
    QTest::newRow("comment with spaces") << "REGISTUSER hanako pass1 h@x.jp 将棋 ５段 です " << "+OK";
    QTest::newRow("japanese id") << "REGISTUSER 花子_2 pass1 h@x.jp c" << "+OK";
    QTest::newRow("exists") << "REGISTUSER taro pass1 h@x.jp c" << "-ERR 1";
    QTest::newRow("empty id") << "REGISTUSER  pass1 h@x.jp c" << "-ERR 2";
    QTest::newRow("hyphen in id") << "REGISTUSER ha-na pass1 h@x.jp c" << "-ERR 2";
    QTest::newRow("at sign in id") << "REGISTUSER ha@na pass1 h@x.jp c" << "-ERR 2";
    QTest::newRow("id over 32 bytes") << "REGISTUSER " + QString(17, QChar(0x82B1)) + " pass1 h@x.jp" << "-ERR 2";
    QTest::newRow("invalid bytes in id") << "REGISTUSER a\uFFFDb pass1 h@x.jp" << "-ERR 2";
    QTest::newRow("short password") << "REGISTUSER hanako pass h@x.jp c" << "-ERR 3";
    QTest::newRow("no password") << "REGISTUSER hanako" << "-ERR 3";
    QTest::newRow("no email") << "REGISTUSER hanako pass1" << "-ERR 4";
    QTest::newRow("email without at") << "REGISTUSER hanako pass1 hx.jp c" << "-ERR 4";
    QTest::newRow("comment over 80 bytes") << "REGISTUSER hanako pass1 h@x.jp " + QString(81, u'c') << "-ERR 5";
    QTest::newRow("control in comment") << "REGISTUSER hanako pass1 h@x.jp a\tb" << "-ERR 5";
}

void TestLobbyServer::registration()
{
    QFETCH(QString, line);
    QFETCH(QString, reply);
    Lobby lobby;
    auto c = lobby.client();
    QVERIFY(!c->status().isNull());
    QCOMPARE(c->call(QStringLiteral("REGISTUSER taro secret1 t@x.jp")), QStringLiteral("+OK"));
    QCOMPARE(c->call(line), reply);
    if (reply == QLatin1String("+OK")) {
        const QString user = protocol::tokens(line).at(1);
        QCOMPARE(c->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
        QCOMPARE(c->call(protocol::login(user, QStringLiteral("pass1"))), QStringLiteral("+OK"));
        // The comment is the rest of the line, spaces included.
        c->send(protocol::playerInfo(user + QStringLiteral(" 0")));
        QCOMPARE(c->take(QStringLiteral("PLAYERINFO")),
                 protocol::playerInfoLine(user, protocol::fieldsAndRest(line, 3).at(3)));
    }
}

void TestLobbyServer::loginErrors()
{
    Lobby lobby;
    auto a = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    auto b = lobby.client();
    QVERIFY(!b->status().isNull());
    QCOMPARE(b->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QCOMPARE(b->call(QStringLiteral("LOGIN jiro secret1")), QStringLiteral("-ERR 3"));
    QCOMPARE(b->call(QStringLiteral("LOGIN taro wrong1")), QStringLiteral("-ERR 2"));
    QCOMPARE(b->call(QStringLiteral("LOGIN taro")), QStringLiteral("-ERR 2"));
    QCOMPARE(b->call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("-ERR 1"));
    QCOMPARE(b->call(QStringLiteral("LOGIN")), QStringLiteral("-ERR 3"));
    // Signed in once per connection, and the game is fixed from then on.
    QCOMPARE(a->call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("-ERR 1"));
    QCOMPARE(a->call(QStringLiteral("GAMENAME Duo")), QStringLiteral("-ERR 2"));
    QCOMPARE(a->call(QStringLiteral("HOST yes")), QStringLiteral("-ERR 2"));
    // Once taro has gone, the account can be used again.
    a->send(QStringLiteral("QUIT"));
    QVERIFY(a->waitForDisconnected());
    QTRY_COMPARE(lobby.server->signedInCount(), 0);
    QCOMPARE(b->call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("+OK"));
}

void TestLobbyServer::signInPushesGameInfoAndPlayers()
{
    Lobby lobby;
    auto host = lobby.player(QStringLiteral("Go[9]"), true, QStringLiteral("taro"));
    QCOMPARE(host->take(QStringLiteral("GAMEINFO")), QStringLiteral("GAMEINFO 7 3 0 False"));
    QVERIFY(waitForList(*host, kw::PLAYERLIST, {QStringLiteral("taro 1")}));
    auto client = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("hanako"));
    auto other = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("jiro"));
    QCOMPARE(other->take(QStringLiteral("GAMEINFO")), QStringLiteral("GAMEINFO 1 2 0 True"));
    const QStringList both{QStringLiteral("taro 1"), QStringLiteral("hanako 0")};
    QVERIFY(waitForList(*host, kw::PLAYERLIST, both));
    QVERIFY(waitForList(*client, kw::PLAYERLIST, both));
    QVERIFY(waitForList(*other, kw::PLAYERLIST, {QStringLiteral("jiro 0")}));
    // GAMEINFO follows the "+OK" of LOGIN, so the client's wait ends on the status.
    const qsizetype ok = client->all.lastIndexOf(QStringLiteral("+OK"));
    QVERIFY(ok >= 0 && ok < client->all.indexOf(QStringLiteral("GAMEINFO 7 3 0 False")));
}

void TestLobbyServer::chatDataAndRoomList()
{
    Lobby lobby;
    auto c = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("taro"));
    c->send(QStringLiteral("CHATDATA"));
    QCOMPARE(c->take(QStringLiteral("CHATDATA")), QStringLiteral("CHATDATA よろしく@がんばろう@"));
    QCOMPARE(c->status(), QStringLiteral("+OK"));
    QVERIFY(c->all.indexOf(QStringLiteral("CHATDATA よろしく@がんばろう@")) < c->all.lastIndexOf(QStringLiteral("+OK")));
    c->drop(QStringLiteral("ROOMLIST"));
    c->send(QStringLiteral("ROOMLIST"));
    QCOMPARE(c->take(QStringLiteral("ROOMLIST")), QStringLiteral("ROOMLIST"));

    auto d = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("jiro"));
    d->send(QStringLiteral("CHATDATA"));
    QCOMPARE(protocol::chatPhrases(d->take(QStringLiteral("CHATDATA"))), GameCatalog::defaultPhrases());
}

void TestLobbyServer::chatScopes()
{
    Lobby lobby;
    auto host = lobby.player(QStringLiteral("Shogi"), true, QStringLiteral("taro"));
    auto guest = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("hanako"));
    auto idle = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("saburo"));
    auto elsewhere = lobby.player(QStringLiteral("Duo"), false, QStringLiteral("jiro"));

    host->send(QStringLiteral("LMESSAGE hello  world "));
    const QString lobbyLine = QStringLiteral("LMESSAGE taro hello  world ");
    QCOMPARE(host->take(QStringLiteral("LMESSAGE")), lobbyLine);
    QCOMPARE(guest->take(QStringLiteral("LMESSAGE")), lobbyLine);
    QCOMPARE(idle->take(QStringLiteral("LMESSAGE")), lobbyLine);
    guest->send(QStringLiteral("LMESSAGE "));
    QCOMPARE(host->take(QStringLiteral("LMESSAGE")), QStringLiteral("LMESSAGE hanako "));

    QCOMPARE(host->call(QStringLiteral("CREATEROOM 対局室")), QStringLiteral("+OK"));
    QCOMPARE(guest->call(QStringLiteral("ENTERROOM 対局室  ")), QStringLiteral("+OK"));
    guest->send(QStringLiteral("RMESSAGE よろしく お願いします"));
    const QString roomLine = QStringLiteral("RMESSAGE hanako よろしく お願いします");
    QCOMPARE(host->take(QStringLiteral("RMESSAGE")), roomLine);
    QCOMPARE(guest->take(QStringLiteral("RMESSAGE")), roomLine);
    // Outside a room, room chat goes nowhere.
    idle->send(QStringLiteral("RMESSAGE lost"));

    QVERIFY(idle->sync());
    QVERIFY(elsewhere->sync());
    QVERIFY(host->sync());
    QCOMPARE(idle->queued(QStringLiteral("RMESSAGE")), QStringList());
    QCOMPARE(host->queued(QStringLiteral("RMESSAGE")), QStringList());
    QCOMPARE(elsewhere->queued(QStringLiteral("LMESSAGE")), QStringList());
}

void TestLobbyServer::rooms()
{
    Lobby lobby;
    auto host = lobby.player(QStringLiteral("Go[9]"), true, QStringLiteral("taro"));
    auto a = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("hanako"));
    auto b = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("jiro"));

    QCOMPARE(host->call(QStringLiteral("CREATEROOM My Room")), QStringLiteral("+OK"));
    QCOMPARE(host->take(QStringLiteral("ROOMPLAYERLIST")), list(kw::ROOMPLAYERLIST, {QStringLiteral("taro 1")}));
    QVERIFY(waitForList(*a, kw::ROOMLIST, {QStringLiteral("My Room 1/4")}));

    // The client sends the room-list name with its trailing spaces.
    const QString entry = QStringLiteral("My Room 1/4");
    QCOMPARE(a->call(protocol::roomPlayerList(entry)), QStringLiteral("+OK"));
    QCOMPARE(a->take(QStringLiteral("ROOMPLAYERLIST")), list(kw::ROOMPLAYERLIST, {QStringLiteral("taro 1")}));
    QCOMPARE(a->call(protocol::enterRoom(entry)), QStringLiteral("+OK"));
    const QString two = list(kw::ROOMPLAYERLIST, {QStringLiteral("taro 1"), QStringLiteral("hanako 0")});
    QCOMPARE(host->take(QStringLiteral("ROOMPLAYERLIST")), two);
    QCOMPARE(a->take(QStringLiteral("ROOMPLAYERLIST")), two);
    QVERIFY(waitForList(*b, kw::ROOMLIST, {QStringLiteral("My Room 2/4")}));

    QCOMPARE(a->call(QStringLiteral("LEAVEROOM")), QStringLiteral("+OK"));
    QCOMPARE(host->take(QStringLiteral("ROOMPLAYERLIST")), list(kw::ROOMPLAYERLIST, {QStringLiteral("taro 1")}));
    QVERIFY(waitForList(*b, kw::ROOMLIST, {QStringLiteral("My Room 1/4")}));
    QCOMPARE(a->call(QStringLiteral("LEAVEROOM")), QStringLiteral("-ERR 2"));

    QCOMPARE(b->call(protocol::enterRoom(entry)), QStringLiteral("+OK"));
    QCOMPARE(b->call(QStringLiteral("DELETEROOM My Room")), QStringLiteral("-ERR 1"));
    QCOMPARE(host->call(QStringLiteral("DELETEROOM Other")), QStringLiteral("-ERR 2"));
    QCOMPARE(host->call(QStringLiteral("DELETEROOM My Room")), QStringLiteral("+OK"));
    QCOMPARE(b->take(QStringLiteral("DELETEROOM")), QStringLiteral("DELETEROOM My Room"));
    QVERIFY(waitForList(*a, kw::ROOMLIST, {}));
    QVERIFY(host->sync());
    QCOMPARE(host->queued(QStringLiteral("DELETEROOM")), QStringList());
    // Both are back in the lobby and may enter or create again.
    QCOMPARE(b->call(QStringLiteral("LEAVEROOM")), QStringLiteral("-ERR 2"));
    QCOMPARE(host->call(QStringLiteral("CREATEROOM My Room")), QStringLiteral("+OK"));
}

void TestLobbyServer::roomRefusals_data()
{
    QTest::addColumn<QString>("game");
    QTest::addColumn<bool>("asHost");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("reply");
    // A host "taro" already has the room "r" with one member in the game.
    QTest::newRow("duplicate name") << "Duo" << true << "CREATEROOM r" << "-ERR 1";
    QTest::newRow("duplicate with trailing spaces") << "Duo" << true << "CREATEROOM r  " << "-ERR 1";
    QTest::newRow("not a host") << "Duo" << false << "CREATEROOM mine" << "-ERR 2";
    QTest::newRow("empty name") << "Duo" << true << "CREATEROOM " << "-ERR 3";
    QTest::newRow("only spaces") << "Duo" << true << "CREATEROOM    " << "-ERR 3";
    QTest::newRow("line feed in name") << "Duo" << true << "CREATEROOM a\nb" << "-ERR 3";
    QTest::newRow("name over 64 bytes") << "Duo" << true << "CREATEROOM " + QString(65, u'r') << "-ERR 3";
    QTest::newRow("name of 36 bytes") << "Duo" << true << "CREATEROOM " + QString(36, u'r') << "+OK";
    QTest::newRow("name of 36 bytes, trailing spaces") << "Duo" << true << "CREATEROOM " + QString(36, u'r') + "  " << "+OK";
    QTest::newRow("name of 37 bytes") << "Duo" << true << "CREATEROOM " + QString(37, u'r') << "-ERR 3";
    QTest::newRow("18 double-byte characters") << "Duo" << true << "CREATEROOM " + QString(18, QChar(0x82B1)) << "+OK";
    QTest::newRow("35 bytes and a double-byte one") << "Duo" << true << "CREATEROOM " + QString(35, u'r') + QChar(0x82B1)
                                                   << "-ERR 3";
    QTest::newRow("missing room") << "Duo" << false << "ENTERROOM nowhere  " << "-ERR 2";
    QTest::newRow("room of another game") << "Shogi" << false << "ENTERROOM r  " << "-ERR 2";
    QTest::newRow("player list of missing room") << "Duo" << false << "ROOMPLAYERLIST nowhere  " << "-ERR 2";
    QTest::newRow("delete not own room") << "Duo" << true << "DELETEROOM r" << "-ERR 1";
    QTest::newRow("start outside a room") << "Duo" << true << "START" << "-ERR 1";
    QTest::newRow("ip not an address") << "Duo" << true << "IP my-pc" << "-ERR 1";
    QTest::newRow("ip with scope id") << "Duo" << true << "IP ::1%eth0" << "-ERR 1";
    QTest::newRow("ip with escape") << "Duo" << true << "IP ::1%\x1b[2J" << "-ERR 1";
    QTest::newRow("ip with control") << "Duo" << true << "IP 10.0.0.1\x01" << "-ERR 1";
    QTest::newRow("ip of 46 bytes") << "Duo" << true << "IP 0000:0000:0000:0000:0000:ffff:192.168.100.2000" << "-ERR 1";
    QTest::newRow("ip two addresses") << "Duo" << true << "IP 10.0.0.1 10.0.0.2" << "-ERR 1";
    QTest::newRow("ipv6") << "Duo" << true << "IP 2001:db8::1" << "+OK";
    QTest::newRow("ipv4 mapped, 45 bytes") << "Duo" << true << "IP 0000:0000:0000:0000:0000:ffff:192.168.100.200" << "+OK";
    QTest::newRow("ip with white space around") << "Duo" << true << "IP  10.0.0.1 \t" << "+OK";
    QTest::newRow("enter with a leading space") << "Duo" << false << "ENTERROOM  r" << "-ERR 2";
    QTest::newRow("delete not own room, trailing spaces") << "Duo" << true << "DELETEROOM r  " << "-ERR 1";
    QTest::newRow("delete missing room") << "Duo" << true << "DELETEROOM nowhere" << "-ERR 2";
    QTest::newRow("leave outside a room") << "Duo" << false << "LEAVEROOM" << "-ERR 2";
    QTest::newRow("start with text after it") << "Duo" << true << "START now" << "-ERR 1";
}

void TestLobbyServer::roomRefusals()
{
    QFETCH(QString, game);
    QFETCH(bool, asHost);
    QFETCH(QString, line);
    QFETCH(QString, reply);
    Lobby lobby;
    auto owner = lobby.player(QStringLiteral("Duo"), true, QStringLiteral("taro"));
    QCOMPARE(owner->call(QStringLiteral("CREATEROOM r")), QStringLiteral("+OK"));
    auto c = lobby.player(game, asHost, QStringLiteral("hanako"));
    QCOMPARE(c->call(line), reply);
}

void TestLobbyServer::roomNamesComeBackAsSent_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("placeholder") << "50%2 off";
    QTest::newRow("placeholders only") << "%1%2%3";
    QTest::newRow("japanese with spaces") << "初心者 歓迎  部屋";
}

void TestLobbyServer::roomNamesComeBackAsSent()
{
    QFETCH(QString, name);
    Lobby lobby;
    auto host = lobby.player(QStringLiteral("Go[9]"), true, QStringLiteral("taro"));
    auto guest = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("hanako"));
    QCOMPARE(host->call(protocol::createRoom(name)), QStringLiteral("+OK"));
    const QString entry = name + QStringLiteral(" 1/4");
    QVERIFY(waitForList(*guest, kw::ROOMLIST, {entry}));
    QCOMPARE(guest->call(protocol::enterRoom(entry)), QStringLiteral("+OK"));
}

void TestLobbyServer::matchStart()
{
    Lobby lobby;
    auto host = lobby.player(QStringLiteral("Go[9]"), true, QStringLiteral("taro"));
    auto a = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("hanako"));
    auto b = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("jiro"));
    auto c = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("saburo"));
    auto late = lobby.player(QStringLiteral("Go[9]"), false, QStringLiteral("shiro"));
    QCOMPARE(host->call(QStringLiteral("CREATEROOM 碁")), QStringLiteral("+OK"));
    QCOMPARE(a->call(QStringLiteral("ENTERROOM 碁  ")), QStringLiteral("+OK"));
    // minPlayers is 3.
    QCOMPARE(host->call(QStringLiteral("START")), QStringLiteral("-ERR 2"));
    QCOMPARE(b->call(QStringLiteral("ENTERROOM 碁  ")), QStringLiteral("+OK"));
    QCOMPARE(c->call(QStringLiteral("ENTERROOM 碁  ")), QStringLiteral("+OK"));
    // maxPlayers is 4.
    QCOMPARE(late->call(QStringLiteral("ENTERROOM 碁  ")), QStringLiteral("-ERR 1"));
    QCOMPARE(a->call(QStringLiteral("START")), QStringLiteral("-ERR 1"));

    // A private address announced over loopback goes out unchanged.
    QCOMPARE(host->call(QStringLiteral("IP 192.168.1.10")), QStringLiteral("+OK"));
    QCOMPARE(host->call(QStringLiteral("START")), QStringLiteral("+OK"));
    for (LobbyClient *m : {a.get(), b.get(), c.get()}) {
        QCOMPARE(m->take(QStringLiteral("HOSTIP")), QStringLiteral("HOSTIP 192.168.1.10"));
        QVERIFY(!m->take(QStringLiteral("START")).isNull());
        // HOSTIP directly before START: nothing in between.
        QCOMPARE(m->all.indexOf(QStringLiteral("START")), m->all.indexOf(QStringLiteral("HOSTIP 192.168.1.10")) + 1);
    }
    QVERIFY(host->sync());
    QCOMPARE(host->queued(QStringLiteral("HOSTIP")), QStringList());
    QCOMPARE(host->queued(QStringLiteral("START")), QStringList());
    // The room has closed; the players leave as the client does on START.
    QVERIFY(waitForList(*late, kw::ROOMLIST, {}));
    a->send(QStringLiteral("QUIT"));
    QVERIFY(a->waitForDisconnected());
    QVERIFY(waitForList(*late, kw::PLAYERLIST,
                        {QStringLiteral("taro 1"), QStringLiteral("jiro 0"), QStringLiteral("saburo 0"),
                         QStringLiteral("shiro 0")}));
}

void TestLobbyServer::droppedHost()
{
    Lobby lobby;
    auto host = lobby.player(QStringLiteral("Shogi"), true, QStringLiteral("taro"));
    auto guest = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("hanako"));
    auto member = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("jiro"));
    QCOMPARE(host->call(QStringLiteral("CREATEROOM r")), QStringLiteral("+OK"));
    QCOMPARE(member->call(QStringLiteral("ENTERROOM r  ")), QStringLiteral("+OK"));

    QVERIFY(waitForList(*host, kw::ROOMPLAYERLIST, {QStringLiteral("taro 1"), QStringLiteral("jiro 0")}));
    // A member that drops leaves its room.
    member->socket().abort();
    QCOMPARE(host->take(QStringLiteral("ROOMPLAYERLIST")), list(kw::ROOMPLAYERLIST, {QStringLiteral("taro 1")}));
    QCOMPARE(guest->call(QStringLiteral("ENTERROOM r  ")), QStringLiteral("+OK"));

    // A host that drops takes the room with it.
    host->socket().abort();
    QCOMPARE(guest->take(QStringLiteral("DELETEROOM")), QStringLiteral("DELETEROOM r"));
    QVERIFY(waitForList(*guest, kw::ROOMLIST, {}));
    QVERIFY(waitForList(*guest, kw::PLAYERLIST, {QStringLiteral("hanako 0")}));
    QCOMPARE(guest->call(QStringLiteral("LEAVEROOM")), QStringLiteral("-ERR 2"));
    QCOMPARE(lobby.server->signedInCount(), 1);
}

void TestLobbyServer::playerInfoAndUpdate()
{
    Lobby lobby;
    auto taro = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"), QStringLiteral("将棋 ５段"));
    auto jiro = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("jiro"));
    jiro->send(QStringLiteral("PLAYERINFO taro 0"));
    QCOMPARE(jiro->take(QStringLiteral("PLAYERINFO")), QStringLiteral("PLAYERINFO taro 将棋 ５段"));
    jiro->send(QStringLiteral("PLAYERINFO jiro 0"));
    QCOMPARE(jiro->take(QStringLiteral("PLAYERINFO")), QStringLiteral("PLAYERINFO jiro "));
    // Nobody of that name: no answer, and no status line the client could take
    // for the reply to something else.
    jiro->send(QStringLiteral("PLAYERINFO nobody 0"));
    jiro->send(QStringLiteral("PLAYERINFO"));
    QVERIFY(jiro->sync());
    QCOMPARE(jiro->queued(QStringLiteral("PLAYERINFO")), QStringList());

    QCOMPARE(jiro->call(QStringLiteral("UPDATEUSER taro hijack1 j@x.jp mine")), QStringLiteral("-ERR 1"));
    QCOMPARE(taro->call(QStringLiteral("UPDATEUSER taro abc a@x.jp c")), QStringLiteral("-ERR 3"));
    QCOMPARE(taro->call(QStringLiteral("UPDATEUSER taro newpass1 ax.jp c")), QStringLiteral("-ERR 4"));
    QCOMPARE(taro->call(QStringLiteral("UPDATEUSER taro newpass1 t@x.jp 名人 です")), QStringLiteral("+OK"));
    jiro->send(QStringLiteral("PLAYERINFO taro 0"));
    QCOMPARE(jiro->take(QStringLiteral("PLAYERINFO")), QStringLiteral("PLAYERINFO taro 名人 です"));

    taro->send(QStringLiteral("QUIT"));
    QVERIFY(taro->waitForDisconnected());
    auto again = lobby.client();
    QVERIFY(!again->status().isNull());
    QCOMPARE(again->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QTRY_COMPARE(lobby.server->signedInCount(), 1);
    QCOMPARE(again->call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("-ERR 2"));
    QCOMPARE(again->call(QStringLiteral("LOGIN taro newpass1")), QStringLiteral("+OK"));
}

void TestLobbyServer::charts()
{
    Lobby lobby;
    QDateTime now(QDate(2024, 5, 6), QTime(10, 30));
    lobby.server->setClock([&now] { return now; });
    auto a = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    now = now.addSecs(15 * 60);
    auto b = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("hanako"));
    now = QDateTime(QDate(2024, 5, 5), QTime(23, 10)); // the day before
    auto c = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("jiro"));
    // Refused sign-ins count nothing.
    auto d = lobby.client();
    QVERIFY(!d->status().isNull());
    QCOMPARE(d->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QCOMPARE(d->call(QStringLiteral("LOGIN taro wrong1")), QStringLiteral("-ERR 2"));

    now = QDateTime(QDate(2024, 5, 6), QTime(12, 5));
    a->send(QStringLiteral("DAYCHART"));
    QList<int> hours(24, 0);
    hours[2] = 2;  // 10 o'clock
    hours[13] = 1; // 23 o'clock the day before
    QCOMPARE(a->take(QStringLiteral("DAYCHART")), protocol::dayChartLine(QStringLiteral("2024/5/6"), 12, hours));

    now = QDateTime(QDate(2024, 5, 8), QTime(0, 1));
    a->send(QStringLiteral("WEEKCHART"));
    QCOMPARE(a->take(QStringLiteral("WEEKCHART")), QStringLiteral("WEEKCHART 2024/5/8 0 0 2 1 0 0 0"));
    a->send(QStringLiteral("DAYCHART"));
    QCOMPARE(a->take(QStringLiteral("DAYCHART")), protocol::dayChartLine(QStringLiteral("2024/5/8"), 0, QList<int>(24, 0)));
}

void TestLobbyServer::badInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("echo"); // the LMESSAGE that must come back, if any
    QTest::newRow("invalid cp932") << QByteArray("LMESSAGE a\x81\x20\xff\xfd b\r\n") << "LMESSAGE taro a? ?? b";
    // Relayed text loses its control characters.
    QTest::newRow("lone CR and LF") << QByteArray("LMESSAGE a\rb\nc\r\n") << "LMESSAGE taro abc";
    QTest::newRow("NUL bytes") << QByteArray("LMESSAGE a\0b\r\n", 14) << "LMESSAGE taro ab";
    QTest::newRow("empty lines") << QByteArray("\r\n\r\n\r\n") << QString();
    QTest::newRow("no keyword") << QByteArray(" LMESSAGE x\r\n") << QString();
    QTest::newRow("binary") << QByteArray::fromHex("00ff80fe0d0a8182ffff0d0dff0a0a0d0a") << QString();
}

void TestLobbyServer::badInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, echo);
    Lobby lobby;
    auto c = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    c->sendRaw(bytes);
    if (!echo.isEmpty())
        QCOMPARE(c->take(QStringLiteral("LMESSAGE")), echo);
    // Byte by byte: CR and LF in separate reads.
    for (char ch : QByteArray("LMESSAGE after\r\n")) {
        c->sendRaw(QByteArray(1, ch));
        QTest::qWait(1);
    }
    QCOMPARE(c->take(QStringLiteral("LMESSAGE")), QStringLiteral("LMESSAGE taro after"));
    QVERIFY(c->isConnected());
}

void TestLobbyServer::overlongLineIsDropped()
{
    Lobby lobby;
    auto c = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    QByteArray huge = "LMESSAGE ";
    huge.append(QByteArray(200 * 1024, 'x'));
    c->sendRaw(huge.left(70 * 1024));
    c->sendRaw(huge.mid(70 * 1024) + "\r\nLMESSAGE short\r\n");
    QCOMPARE(c->take(QStringLiteral("LMESSAGE")), QStringLiteral("LMESSAGE taro short"));
    QVERIFY(c->sync());
    QCOMPARE(c->queued(QStringLiteral("LMESSAGE")), QStringList());
    QCOMPARE(c->queued(QStringLiteral("-ERR")), QStringList());
}

void TestLobbyServer::slowReaderIsCutOff()
{
    Lobby lobby;
    // A raw socket that signs in and then never reads.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(lobby.server->serverPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const QByteArray signIn = "GAMENAME Shogi\r\nREGISTUSER mute secret1 m@x.jp\r\nLOGIN mute secret1\r\n";
    QCOMPARE(::send(fd, signIn.constData(), size_t(signIn.size()), 0), ssize_t(signIn.size()));
    QTRY_COMPARE(lobby.server->signedInCount(), 1); // first in the list

    auto talker = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    QVERIFY(waitForList(*talker, kw::PLAYERLIST, {QStringLiteral("mute 0"), QStringLiteral("taro 0")}));
    const QString text(60 * 1024 - 32, u'y');
    // Enough to fill the kernel buffers and then the server's 1 MiB.
    bool cutOff = false;
    for (int round = 0; round < 40 && !cutOff; ++round) {
        for (int i = 0; i < 20; ++i)
            talker->send(protocol::lobbyMessage(text));
        for (int i = 0; i < 20; ++i)
            QVERIFY(!talker->take(QStringLiteral("LMESSAGE")).isNull());
        cutOff = lobby.server->signedInCount() == 1;
    }
    QVERIFY(cutOff);
    QVERIFY(waitForList(*talker, kw::PLAYERLIST, {QStringLiteral("taro 0")}));
    QCOMPARE(lobby.server->clientCount(), 1);
    ::close(fd);
}

void TestLobbyServer::accountsPersist()
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("lobby.sqlite"));
    {
        Lobby lobby(10, db);
        auto c = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"), QStringLiteral("hello"));
    }
    QFile file(db);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = file.readAll();
    QVERIFY(raw.contains("taro"));
    QVERIFY(!raw.contains("secret1"));

    Lobby lobby(10, db);
    auto c = lobby.client();
    QVERIFY(!c->status().isNull());
    QCOMPARE(c->call(QStringLiteral("REGISTUSER taro other12 t@x.jp")), QStringLiteral("-ERR 1"));
    QCOMPARE(c->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QCOMPARE(c->call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("+OK"));
    c->send(QStringLiteral("WEEKCHART"));
    QCOMPARE(protocol::tokens(c->take(QStringLiteral("WEEKCHART"))).at(2), QStringLiteral("2"));
}

// More output than the kernel takes at once: the rest goes out later, in order.
void TestLobbyServer::lateReaderGetsAllInOrder()
{
    Lobby lobby;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const int small = 4096;
    QCOMPARE(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(lobby.server->serverPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const QByteArray signIn = "GAMENAME Shogi\r\nREGISTUSER late secret1 m@x.jp\r\nLOGIN late secret1\r\n";
    QCOMPARE(::send(fd, signIn.constData(), size_t(signIn.size()), 0), ssize_t(signIn.size()));
    QTRY_COMPARE(lobby.server->signedInCount(), 1); // first in the list
    auto talker = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    QVERIFY(waitForList(*talker, kw::PLAYERLIST, {QStringLiteral("late 0"), QStringLiteral("taro 0")}));
    const int count = 40;
    const QString filler(16 * 1024, u'z');
    for (int i = 0; i < count; ++i)
        talker->send(protocol::lobbyMessage(QString::number(i) + u' ' + filler));
    for (int i = 0; i < count; ++i)
        QVERIFY(!talker->take(QStringLiteral("LMESSAGE")).isNull());
    QByteArray received;
    QList<int> numbers;
    QDeadlineTimer deadline(10000);
    while (numbers.size() < count && !deadline.hasExpired()) {
        char buf[8192];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            received.append(buf, n);
            qsizetype eol;
            while ((eol = received.indexOf("\r\n")) >= 0) {
                const QByteArray line = received.left(eol);
                received.remove(0, eol + 2);
                if (line.startsWith("LMESSAGE taro "))
                    numbers << line.split(' ').at(2).toInt();
                else if (line.startsWith("LMESSAGE"))
                    QFAIL(line.left(40).constData());
            }
        } else {
            QTest::qWait(2);
        }
    }
    QList<int> expected;
    for (int i = 0; i < count; ++i)
        expected << i;
    QCOMPARE(numbers, expected);
    QCOMPARE(lobby.server->signedInCount(), 2);
    ::close(fd);
}

void TestLobbyServer::hashingKeepsLineOrder()
{
    Lobby lobby;
    auto c = lobby.client();
    QVERIFY(!c->status().isNull());
    // One write: the lines behind each hashed command wait for its answer.
    c->sendRaw("GAMENAME Shogi\r\nREGISTUSER taro secret1 t@x.jp\r\nLOGIN taro secret1\r\nLMESSAGE hi\r\n"
               "UPDATEUSER taro secret2 t@x.jp c\r\nLMESSAGE again\r\n");
    QVERIFY2(!c->take([](const QString &l) { return l == QLatin1String("LMESSAGE taro again"); }).isNull(),
             qPrintable(c->all.join(u'|')));
    QStringList seen;
    for (const QString &l : std::as_const(c->all)) {
        if (l.startsWith(u'+') || l.startsWith(u'-') || l.startsWith(QLatin1String("LMESSAGE")))
            seen << l;
    }
    QCOMPARE(seen, QStringList({"+OK QorChat lobby server LISTDELTA", "+OK", "+OK", "+OK", "LMESSAGE taro hi", "+OK",
                                "LMESSAGE taro again"}));
    QCOMPARE(lobby.store.checkPassword(QStringLiteral("taro"), QStringLiteral("secret2")), LobbyStore::Result::Ok);
}

void TestLobbyServer::floodDoesNotHoldOthers()
{
    Lobby lobby;
    lobby.server->setFailureDelays(300, 2000);
    lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("jiro"))->send(QStringLiteral("QUIT"));
    auto flood = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    QByteArray lines;
    for (int i = 0; i < 40; ++i)
        lines += "LOGIN taro wrong" + QByteArray::number(i) + "\r\n";
    auto guesser = lobby.client();
    QVERIFY(!guesser->status().isNull());
    QCOMPARE(guesser->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    guesser->sendRaw(lines);
    QCOMPARE(guesser->status(), QStringLiteral("-ERR 2"));

    // Another address: served at once while the guesser still waits.
    LobbyClient other(lobby.server->serverPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    QVERIFY(other.status().startsWith(QLatin1String("+OK ")));
    QCOMPARE(other.call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QTRY_COMPARE(lobby.server->signedInCount(), 1);
    QCOMPARE(other.call(QStringLiteral("LOGIN jiro secret1")), QStringLiteral("+OK"));
    QCOMPARE(guesser->queued(QStringLiteral("-ERR")).size(), 0);
    QCOMPARE(lobby.server->signedInCount(), 2);
}

void TestLobbyServer::failedSignInsSlowDown()
{
    Lobby lobby;
    lobby.server->setFailureDelays(1000, 2000);
    lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"))->send(QStringLiteral("QUIT"));
    QTRY_COMPARE(lobby.server->signedInCount(), 0);
    auto c = lobby.client();
    QVERIFY(!c->status().isNull());
    QCOMPARE(c->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QCOMPARE(c->call(QStringLiteral("LOGIN taro wrong1")), QStringLiteral("-ERR 2"));
    // The next attempt, even with the right password and from another address,
    // is answered only after the delay; a line after it waits too.
    LobbyClient d(lobby.server->serverPort(), QHostAddress(QStringLiteral("127.0.0.3")));
    QVERIFY(!d.status().isNull());
    QCOMPARE(d.call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    d.send(QStringLiteral("LOGIN taro secret1"));
    d.send(QStringLiteral("HOST no"));
    QVERIFY(d.status(100).isNull());
    QCOMPARE(d.status(), QStringLiteral("+OK"));
    QCOMPARE(d.status(), QStringLiteral("-ERR 2")); // HOST after the sign-in
}

void TestLobbyServer::parallelGuessesWaitInLine()
{
    Lobby lobby;
    lobby.server->setFailureDelays(2000, 4000);
    lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"))->send(QStringLiteral("QUIT"));
    QTRY_COMPARE(lobby.server->signedInCount(), 0);
    std::vector<std::unique_ptr<LobbyClient>> guessers;
    for (int i = 0; i < 10; ++i) {
        guessers.push_back(lobby.client());
        QVERIFY(!guessers.back()->status().isNull());
        QCOMPARE(guessers.back()->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    }
    for (size_t i = 0; i < guessers.size(); ++i)
        guessers[i]->send(QStringLiteral("LOGIN taro wrong%1").arg(i));
    // Each guess counts when it is taken on: the second waits 2 s behind the
    // first, and the rest, which would wait beyond the longest delay, are
    // answered at once instead of after the client gave up.
    QStringList replies;
    for (auto &g : guessers)
        replies << g->status();
    replies.sort();
    QStringList expected(8, QStringLiteral("-ERR 99 too many failed sign-ins, try again later"));
    expected.prepend(QStringLiteral("-ERR 2"));
    expected.prepend(QStringLiteral("-ERR 2"));
    QCOMPARE(replies, expected);
    // For the metrics: one made to wait and eight refused are throttled, two checked and failed.
    QCOMPARE(lobby.server->counters().signInsThrottled, 9u);
    QCOMPARE(lobby.server->counters().signInsFailed, 2u);
    QCOMPARE(lobby.server->counters().signInsRefused, 0u);
}

void TestLobbyServer::signInDeadline()
{
    Lobby lobby(2);
    lobby.server->setSignInTimeout(200);
    auto player = lobby.player(QStringLiteral("Shogi"), false, QStringLiteral("taro"));
    auto idle = lobby.client();
    QVERIFY(idle->status().startsWith(QLatin1String("+OK ")));
    // The server is full until the idle one is closed.
    auto late = lobby.client();
    QVERIFY(late->status().startsWith(QLatin1String("-ERR 100")));
    QCOMPARE(idle->status(), QStringLiteral("-ERR 92 sign-in timed out"));
    QVERIFY(idle->waitForDisconnected());
    QTRY_COMPARE(lobby.server->clientCount(), 1);
    auto next = lobby.client();
    QVERIFY(next->status().startsWith(QLatin1String("+OK ")));
    // A signed-in client outlives the deadline.
    QVERIFY(player->sync());
    QVERIFY(player->isConnected());
}

void TestLobbyServer::perAddressCap()
{
    Lobby lobby;
    lobby.server->setMaxPerAddress(2);
    auto a = lobby.client();
    auto b = lobby.client();
    QVERIFY(a->status().startsWith(QLatin1String("+OK ")));
    QVERIFY(b->status().startsWith(QLatin1String("+OK ")));
    auto c = lobby.client();
    QCOMPARE(c->status(), QStringLiteral("-ERR 101 too many connections from your address"));
    QVERIFY(c->waitForDisconnected());
    LobbyClient other(lobby.server->serverPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    QVERIFY(other.status().startsWith(QLatin1String("+OK ")));
    a->send(QStringLiteral("QUIT"));
    QVERIFY(a->waitForDisconnected());
    QTRY_COMPARE(lobby.server->clientCount(), 2);
    auto d = lobby.client();
    QVERIFY(d->status().startsWith(QLatin1String("+OK ")));
}

void TestLobbyServer::lookAlikeIds_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("reply");
    QTest::newRow("full width") << QStringLiteral("ｉａ13714") << "-ERR 1";
    QTest::newRow("upper case") << QStringLiteral("IA13714") << "-ERR 1";
    QTest::newRow("full width upper case") << QStringLiteral("ＩＡ１３７１４") << "-ERR 1";
    QTest::newRow("cyrillic a") << QStringLiteral("i\u043013714") << "-ERR 1";
    QTest::newRow("greek alpha") << QStringLiteral("i\u03B113714") << "-ERR 1";
    QTest::newRow("greek capital iota") << QStringLiteral("\u0399A13714") << "-ERR 1";
    QTest::newRow("ideographic space after") << QStringLiteral("ia13714\u3000") << "-ERR 1";
    QTest::newRow("l for 1") << QStringLiteral("ia\uFF4C3714") << "-ERR 1";
    QTest::newRow("different") << QStringLiteral("ia13715") << "+OK";
    QTest::newRow("cyrillic, different") << QStringLiteral("i\u043013715") << "+OK";
}

void TestLobbyServer::lookAlikeIds()
{
    QFETCH(QString, second);
    QFETCH(QString, reply);
    Lobby lobby;
    auto c = lobby.client();
    QVERIFY(!c->status().isNull());
    QCOMPARE(c->call(QStringLiteral("REGISTUSER ia13714 secret1 a@x.jp")), QStringLiteral("+OK"));
    QCOMPARE(c->call(QStringLiteral("REGISTUSER %1 secret1 a@x.jp").arg(second)), reply);
    // The spelling as registered is the one that signs in.
    QCOMPARE(c->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QCOMPARE(c->call(QStringLiteral("LOGIN ia13714 secret1")), QStringLiteral("+OK"));
}

void TestLobbyServer::oldPasswordUpgraded()
{
    Lobby lobby;
    QCOMPARE(lobby.store.addUser(QStringLiteral("old"), passwordhash::pbkdf2(QStringLiteral("secret1"), 1000),
                                 QStringLiteral("o@x.jp"), QString()),
             LobbyStore::Result::Ok);
    auto c = lobby.client();
    QVERIFY(!c->status().isNull());
    QCOMPARE(c->call(QStringLiteral("GAMENAME Shogi")), QStringLiteral("+OK"));
    QCOMPARE(c->call(QStringLiteral("LOGIN old wrong12")), QStringLiteral("-ERR 2"));
    passwordhash::Stored stored;
    QCOMPARE(lobby.store.findPassword(QStringLiteral("old"), &stored), LobbyStore::Result::Ok);
    QVERIFY(!stored.isArgon2()); // a wrong password changes nothing
    QCOMPARE(c->call(QStringLiteral("LOGIN old secret1")), QStringLiteral("+OK"));
    QCOMPARE(lobby.store.findPassword(QStringLiteral("old"), &stored), LobbyStore::Result::Ok);
    QVERIFY(stored.isArgon2());
    QVERIFY(!passwordhash::outdated(stored, lobby.store.hashParams()));
    QCOMPARE(passwordhash::verify(QStringLiteral("secret1"), stored), passwordhash::Check::Match);
}

void TestLobbyServer::listDeltas_data()
{
    QTest::addColumn<bool>("askFirst");  // LISTDELTA before LOGIN, else after it
    QTest::addColumn<bool>("othersAsk"); // the players who come and go keep their lists by changes too
    QTest::newRow("asks before sign-in") << true << false;
    QTest::newRow("asks after sign-in") << false << false;
    QTest::newRow("everyone asks") << true << true;
    QTest::newRow("everyone asks after sign-in") << false << true;
}

void TestLobbyServer::listDeltas()
{
    QFETCH(bool, askFirst);
    QFETCH(bool, othersAsk);
    Lobby lobby;
    const auto join = [&](const QString &user, bool host, bool asks, bool first) {
        auto c = lobby.client();
        const auto greeting = protocol::parseStatus(c->status());
        if (!greeting || !greeting->offersListDelta)
            qWarning("greeting offers no incremental lists");
        QStringList replies;
        if (asks && first)
            replies << c->call(QStringLiteral("LISTDELTA"));
        replies << c->call(protocol::gameName(QStringLiteral("Go[9]"))) << c->call(protocol::host(host ? -1 : 0))
                << c->call(protocol::registUser(user, QStringLiteral("secret1"), QStringLiteral("a@b.jp"), QString()))
                << c->call(protocol::login(user, QStringLiteral("secret1")));
        if (asks && !first)
            replies << c->call(QStringLiteral("LISTDELTA"));
        if (replies != QStringList(replies.size(), QStringLiteral("+OK")))
            qWarning("sign-in of %s: %s", qPrintable(user), qPrintable(replies.join(u'|')));
        return c;
    };
    auto plain = join(QStringLiteral("plain"), false, false, false);
    auto watcher = join(QStringLiteral("watcher"), false, true, askFirst);
    auto host = join(QStringLiteral("taro"), true, othersAsk, askFirst);
    auto guest = join(QStringLiteral("hanako"), false, othersAsk, askFirst);
    auto second = join(QStringLiteral("jiro"), true, othersAsk, askFirst);
    QCOMPARE(host->call(QStringLiteral("CREATEROOM My Room")), QStringLiteral("+OK"));
    QCOMPARE(guest->call(QStringLiteral("ENTERROOM My Room  ")), QStringLiteral("+OK"));
    QCOMPARE(second->call(QStringLiteral("CREATEROOM Other")), QStringLiteral("+OK"));
    QTRY_COMPARE(listsHeld(*watcher).at(1), (QStringList{"My Room 2/4", "Other 1/4", ""}));
    QCOMPARE(guest->call(QStringLiteral("LEAVEROOM")), QStringLiteral("+OK"));
    host->send(QStringLiteral("QUIT")); // its room goes with it
    QVERIFY(host->waitForDisconnected());

    const QList<QStringList> expected{{"plain 0", "watcher 0", "hanako 0", "jiro 1", ""}, {"Other 1/4", ""}};
    for (LobbyClient *c : {plain.get(), watcher.get(), guest.get(), second.get()})
        QTRY_COMPARE(listsHeld(*c), expected);
    // One who did not ask sees today's lines only.
    for (const QString &line : std::as_const(plain->all))
        QVERIFY2(!protocol::parseListDelta(line), qPrintable(line));
    // One who asked first had whole lists once, then changes only.
    if (askFirst) {
        QCOMPARE(watcher->all.filter(QRegularExpression(QStringLiteral("^PLAYERLIST( |$)"))).size(), 1);
        QCOMPARE(watcher->all.filter(QRegularExpression(QStringLiteral("^ROOMLIST( |$)"))).size(), 1);
    }
    // Asking again brings the whole lists again.
    watcher->drop(QStringLiteral("PLAYERLIST"));
    watcher->drop(QStringLiteral("ROOMLIST"));
    QCOMPARE(watcher->call(QStringLiteral("LISTDELTA")), QStringLiteral("+OK"));
    QCOMPARE(watcher->take(QStringLiteral("PLAYERLIST")), list(kw::PLAYERLIST, expected.at(0).first(4)));
    QCOMPARE(watcher->take(QStringLiteral("ROOMLIST")), list(kw::ROOMLIST, expected.at(1).first(1)));
}

void TestLobbyServer::listDeltasKeepOrder_data()
{
    // Steps run back to back, mostly within one pass of changes; "sync" waits until
    // both kinds of lists agree.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("players");
    QTest::addColumn<QStringList>("rooms");
    QTest::newRow("comes and goes") << QStringList{"join kei", "quit kei"} << QStringList{"plain 0", "watcher 0", "taro 1", "hanako 1"} << QStringList{};
    QTest::newRow("goes and comes back") << QStringList{"quit taro", "join kei", "join taro"}
                                         << QStringList{"plain 0", "watcher 0", "hanako 1", "kei 0", "taro 0"} << QStringList{};
    QTest::newRow("goes and comes back, synced") << QStringList{"quit taro", "sync", "join taro", "join kei"}
                                                 << QStringList{"plain 0", "watcher 0", "hanako 1", "taro 0", "kei 0"} << QStringList{};
    QTest::newRow("room made and closed") << QStringList{"create taro R", "quit taro"}
                                          << QStringList{"plain 0", "watcher 0", "hanako 1"} << QStringList{};
    QTest::newRow("room closed and made again") << QStringList{"create taro R", "create hanako S", "sync", "leave taro", "create taro R"}
                                                << QStringList{"plain 0", "watcher 0", "taro 1", "hanako 1"} << QStringList{"S 1/4", "R 1/4"};
    QTest::newRow("enter and leave") << QStringList{"create taro R", "sync", "enter hanako R", "leave hanako", "enter watcher R"}
                                     << QStringList{"plain 0", "watcher 0", "taro 1", "hanako 1"} << QStringList{"R 2/4"};
}

void TestLobbyServer::listDeltasKeepOrder()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, players);
    QFETCH(QStringList, rooms);
    Lobby lobby;
    // Long enough for the steps between two syncs to be one pass of changes.
    lobby.server->setDeltaInterval(3000);
    const QString game = QStringLiteral("Go[9]");
    // All but plain keep their lists by changes.
    auto plain = lobby.player(game, false, QStringLiteral("plain"));
    std::map<QString, std::unique_ptr<LobbyClient>> in;
    std::vector<std::unique_ptr<LobbyClient>> gone;
    // No list yet reads as an empty one.
    const auto held = [](const LobbyClient &c) {
        QList<QStringList> lists = listsHeld(c);
        for (QStringList &l : lists) {
            if (l.isEmpty())
                l << QString();
        }
        return lists;
    };
    const auto join = [&](const QString &user, bool host) {
        in[user] = lobby.player(game, host, user);
        return in[user]->call(QStringLiteral("LISTDELTA")) == QLatin1String("+OK");
    };
    QVERIFY(join(QStringLiteral("watcher"), false));
    LobbyClient &watcher = *in["watcher"];
    QVERIFY(join(QStringLiteral("taro"), true));
    QVERIFY(join(QStringLiteral("hanako"), true));
    QTRY_COMPARE(held(watcher), held(*plain));
    for (const QString &step : std::as_const(steps)) {
        const QStringList w = step.split(u' ');
        if (w[0] == QLatin1String("sync")) {
            QTRY_COMPARE(held(watcher), held(*plain));
            continue;
        }
        LobbyClient *c = in.count(w[1]) ? in[w[1]].get() : nullptr;
        if (w[0] == QLatin1String("join")) {
            QVERIFY(join(w[1], false));
        } else if (w[0] == QLatin1String("quit")) {
            c->send(QStringLiteral("QUIT"));
            QVERIFY(c->waitForDisconnected());
            gone.push_back(std::move(in[w[1]]));
            in.erase(w[1]);
        } else if (w[0] == QLatin1String("create")) {
            QCOMPARE(c->call(protocol::createRoom(w[2])), QStringLiteral("+OK"));
        } else if (w[0] == QLatin1String("enter")) {
            QCOMPARE(c->call(QStringLiteral("ENTERROOM ") + w[2]), QStringLiteral("+OK"));
        } else if (w[0] == QLatin1String("leave")) {
            QCOMPARE(c->call(QStringLiteral("LEAVEROOM")), QStringLiteral("+OK"));
        }
    }
    players << QString();
    rooms << QString();
    // In the order of whole lists: what the changes leave is what the whole list says.
    QTRY_COMPARE(held(*plain), (QList<QStringList>{players, rooms}));
    for (const auto &[user, c] : in)
        QTRY_COMPARE(held(*c), (QList<QStringList>{players, rooms}));
    // Every list line pushed is counted, whole or incremental (ASCII: a byte a character).
    const auto pushed = [&] {
        quint64 bytes = 0;
        const auto add = [&](const LobbyClient &c) {
            for (const QString &line : c.all) {
                const auto l = protocol::parseListLine(line);
                if (protocol::parseListDelta(line) || (l && l->kind != protocol::ListLine::RoomPlayers))
                    bytes += quint64(line.size()) + 2;
            }
        };
        add(*plain);
        for (const auto &[user, c] : in)
            add(*c);
        for (const auto &c : gone)
            add(*c);
        return bytes;
    };
    QTRY_COMPARE(pushed(), lobby.server->counters().listBytes);
}

QTEST_GUILESS_MAIN(TestLobbyServer)

#include "tst_lobbyserver.moc"
