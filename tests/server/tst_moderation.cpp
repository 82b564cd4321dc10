// The operators' commands against a running lobby: what the player concerned and
// the others see, and what the audit trail keeps.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

#include "admincommands.h"
#include "lobbyclient.h"
#include "lobbyserver.h"
#include "lobbystore.h"
#include "moderation.h"
#include "net/protocol/protocol.h"

namespace {

const QString kPassword = QStringLiteral("secret1");
const QString kNotice = QString::fromUtf16(Moderation::kNoticeSender);

struct Lobby {
    Lobby()
    {
        QString error;
        if (!store.open(QStringLiteral(":memory:"), &error))
            qFatal("%s", qPrintable(error));
        store.setHashParams({8, 1, 1});
        server = std::make_unique<LobbyServer>(store, GameCatalog(), 100);
        server->setFailureDelays(1, 2);
        if (!server->listen(QHostAddress::LocalHost, 0, &error))
            qFatal("%s", qPrintable(error));
        moderation.setClock([this] { return now; }, [this] { return tick; });
        server->setModeration(&moderation);
        commands = std::make_unique<AdminCommands>(*server, store, moderation);
    }
    std::unique_ptr<LobbyClient> player(const QString &user, const QString &password = kPassword)
    {
        auto c = std::make_unique<LobbyClient>(server->serverPort());
        if (!c->signIn(QStringLiteral("Go"), true, user, password))
            qWarning("sign-in of %s failed: %s", qPrintable(user), qPrintable(c->all.join(u'|')));
        return c;
    }
    // The status of a fresh sign-in (the account exists).
    QString signInStatus(const QString &user, const QString &password)
    {
        LobbyClient c(server->serverPort());
        c.take(QStringLiteral("+OK"));
        c.call(protocol::gameName(QStringLiteral("Go")));
        return c.call(protocol::login(user, password));
    }
    QJsonObject run(const QString &json)
    {
        return commands->run(QJsonDocument::fromJson(json.toUtf8()).object(), QStringLiteral("op"));
    }
    QJsonArray auditItems() { return run(QStringLiteral(R"({"command":"audit"})")).value(u"items").toArray(); }

    qint64 now = 1800000000;
    qint64 tick = 0;
    LobbyStore store;
    std::unique_ptr<LobbyServer> server;
    Moderation moderation{store};
    std::unique_ptr<AdminCommands> commands;
};

} // namespace

class TestModeration : public QObject {
    Q_OBJECT
private slots:
    void actions_data();
    void actions();
    void refusedInput_data();
    void refusedInput();
    void floodMutesForGrowingTimes();
    void noticeAndWordList();
};

void TestModeration::actions_data()
{
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<int>("advance");    // seconds after the requests
    QTest::addColumn<bool>("dropped");   // taro's connection closed by the server
    QTest::addColumn<bool>("relayed");   // jiro reads taro's chat (when taro is still on)
    QTest::addColumn<QString>("signIn"); // a new sign-in as taro; "$new": with the new password
    QTest::addColumn<QString>("audited"); // the newest audit action

    const auto r = [](const char *json) { return QString::fromUtf8(json); };
    QTest::newRow("kick") << QStringList{r(R"({"command":"kick","args":["taro"],"reason":"rude"})")} << 0 << true
                          << false << QStringLiteral("+OK") << QStringLiteral("kick");
    QTest::newRow("ban account") << QStringList{r(R"({"command":"ban","args":["taro"]})")} << 0 << true << false
                                 << QStringLiteral("-ERR 5") << QStringLiteral("ban");
    QTest::newRow("ban look-alike ID") << QStringList{r(R"({"command":"ban","args":["TARO"]})")} << 0 << true << false
                                       << QStringLiteral("-ERR 5") << QStringLiteral("ban");
    QTest::newRow("ban address") << QStringList{r(R"({"command":"ban","args":["127.0.0.1"]})")} << 0 << true << false
                                 << QStringLiteral("-ERR 5") << QStringLiteral("ban");
    QTest::newRow("ban network") << QStringList{r(R"({"command":"ban","args":["127.0.0.0/8"]})")} << 0 << true << false
                                 << QStringLiteral("-ERR 5") << QStringLiteral("ban");
    QTest::newRow("ban other network") << QStringList{r(R"({"command":"ban","args":["10.0.0.0/8"]})")} << 0 << false
                                       << true << QStringLiteral("-ERR 1") << QStringLiteral("ban");
    QTest::newRow("ban expired") << QStringList{r(R"({"command":"ban","args":["taro"],"for":60})")} << 61 << true
                                 << false << QStringLiteral("+OK") << QStringLiteral("ban");
    QTest::newRow("ban not yet expired") << QStringList{r(R"({"command":"ban","args":["taro"],"for":60})")} << 59 << true
                                         << false << QStringLiteral("-ERR 5") << QStringLiteral("ban");
    QTest::newRow("unban") << QStringList{r(R"({"command":"ban","args":["taro"]})"),
                                          r(R"({"command":"unban","args":["taro"]})")}
                           << 0 << true << false << QStringLiteral("+OK") << QStringLiteral("unban");
    QTest::newRow("unban network") << QStringList{r(R"({"command":"ban","args":["127.0.0.5/8"]})"),
                                                  r(R"({"command":"unban","args":["127.0.0.0/8"]})")}
                                   << 0 << true << false << QStringLiteral("+OK") << QStringLiteral("unban");
    QTest::newRow("disable") << QStringList{r(R"({"command":"disable","args":["taro"]})")} << 0 << true << false
                             << QStringLiteral("-ERR 5") << QStringLiteral("disable");
    QTest::newRow("enable") << QStringList{r(R"({"command":"disable","args":["taro"]})"),
                                           r(R"({"command":"enable","args":["taro"]})")}
                            << 0 << true << false << QStringLiteral("+OK") << QStringLiteral("enable");
    QTest::newRow("delete") << QStringList{r(R"({"command":"delete","args":["taro"]})")} << 0 << true << false
                            << QStringLiteral("-ERR 3") << QStringLiteral("delete");
    QTest::newRow("mute") << QStringList{r(R"({"command":"mute","args":["taro"],"reason":"spam"})")} << 0 << false
                          << false << QStringLiteral("-ERR 1") << QStringLiteral("mute");
    QTest::newRow("mute expired") << QStringList{r(R"({"command":"mute","args":["taro"],"for":600})")} << 600 << false
                                  << true << QStringLiteral("-ERR 1") << QStringLiteral("mute");
    QTest::newRow("unmute") << QStringList{r(R"({"command":"mute","args":["taro"]})"),
                                           r(R"({"command":"unmute","args":["taro"]})")}
                            << 0 << false << true << QStringLiteral("-ERR 1") << QStringLiteral("unmute");
    QTest::newRow("reset password") << QStringList{r(R"({"command":"reset-password","args":["taro"]})")} << 0 << false
                                    << true << QStringLiteral("$new") << QStringLiteral("reset-password");
}

void TestModeration::actions()
{
    QFETCH(QStringList, requests);
    QFETCH(int, advance);
    QFETCH(bool, dropped);
    QFETCH(bool, relayed);
    QFETCH(QString, signIn);
    QFETCH(QString, audited);

    Lobby lobby;
    auto taro = lobby.player(QStringLiteral("taro"));
    auto jiro = lobby.player(QStringLiteral("jiro"));
    QJsonObject answer;
    for (const QString &request : requests) {
        answer = lobby.run(request);
        QVERIFY2(answer.value(u"ok").toBool(), qPrintable(answer.value(u"error").toString()));
    }
    lobby.now += advance;
    lobby.tick += advance * 1000;
    QCOMPARE(taro->waitForDisconnected(dropped ? LobbyClient::kTimeoutMs : 200), dropped);
    if (!dropped) {
        taro->send(QStringLiteral("LMESSAGE hello"));
        QVERIFY(taro->sync());
        QVERIFY(jiro->sync());
        QCOMPARE(jiro->queued(QStringLiteral("LMESSAGE")).contains(QStringLiteral("LMESSAGE taro hello")), relayed);
        // A muted sender reads why instead of its own line.
        const QStringList own = taro->queued(QStringLiteral("LMESSAGE"));
        QCOMPARE(own.contains(QStringLiteral("LMESSAGE taro hello")), relayed);
        QCOMPARE(own.size() == 1 && own[0].startsWith(QStringLiteral("LMESSAGE ") + kNotice + u' '), !relayed);
    }
    const QString password = signIn == QLatin1String("$new") ? answer.value(u"password").toString() : kPassword;
    QVERIFY(lobby.signInStatus(QStringLiteral("taro"), password).startsWith(signIn == QLatin1String("$new") ? QStringLiteral("-ERR 1") : signIn));
    if (signIn == QLatin1String("$new"))
        QVERIFY(lobby.signInStatus(QStringLiteral("taro"), kPassword).startsWith(QLatin1String("-ERR 2")));
    const QJsonObject newest = lobby.auditItems().first().toObject();
    QCOMPARE(newest.value(u"action").toString(), audited);
    QCOMPARE(newest.value(u"actor").toString(), QStringLiteral("op"));
}

void TestModeration::refusedInput_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("error");
    QTest::newRow("no target") << R"({"command":"ban"})" << "usage: ban";
    QTest::newRow("two targets") << R"({"command":"mute","args":["taro","jiro"]})" << "usage: mute";
    QTest::newRow("unknown account") << R"({"command":"ban","args":["nobody"]})" << "no such account: nobody";
    QTest::newRow("bad address") << R"({"command":"ban","args":["10.0.0.300"]})" << "not an address";
    QTest::newRow("bad prefix") << R"({"command":"ban","args":["10.0.0.0/33"]})" << "not an address";
    QTest::newRow("address muted") << R"({"command":"mute","args":["10.0.0.1"]})" << "a user ID";
    QTest::newRow("negative duration") << R"({"command":"ban","args":["taro"],"for":-5})" << "--for";
    QTest::newRow("reason with line feed") << R"({"command":"ban","args":["taro"],"reason":"a\nb"})" << "--reason";
    QTest::newRow("not banned") << R"({"command":"unban","args":["taro"]})" << "taro is not banned";
    QTest::newRow("kick offline") << R"({"command":"kick","args":["jiro"]})" << "not signed in";
    QTest::newRow("enabled already") << R"({"command":"enable","args":["taro"]})" << "enabled already";
    QTest::newRow("empty notice") << R"({"command":"notice","args":[" "]})" << "usage: notice";
    QTest::newRow("limit zero") << R"({"command":"audit","limit":0})" << "--limit";
    QTest::newRow("unknown command") << R"({"command":"shout"})" << "unknown command: shout";
}

void TestModeration::refusedInput()
{
    QFETCH(QString, request);
    QFETCH(QString, error);
    Lobby lobby;
    auto taro = lobby.player(QStringLiteral("taro"));
    const QJsonObject answer = lobby.run(request);
    QVERIFY(!answer.value(u"ok").toBool());
    QVERIFY2(answer.value(u"error").toString().contains(error), qPrintable(answer.value(u"error").toString()));
    QVERIFY(!answer.value(u"error").toString().contains(u'\n'));
    // Nothing was done: no trail, nobody cut off.
    QVERIFY(lobby.auditItems().isEmpty());
    QVERIFY(taro->sync());
}

void TestModeration::floodMutesForGrowingTimes()
{
    Lobby lobby;
    lobby.moderation.setFloodLimit({3, 10000, 60, 100});
    auto taro = lobby.player(QStringLiteral("taro"));
    auto jiro = lobby.player(QStringLiteral("jiro"));
    const auto burst = [&](int lines) {
        for (int i = 0; i < lines; ++i)
            taro->send(QStringLiteral("LMESSAGE l%1").arg(i));
        // Handled on the server once taro's answer is back, and so queued to jiro before its own.
        taro->sync();
        jiro->sync();
        const qsizetype n = jiro->queued(QStringLiteral("LMESSAGE")).size();
        jiro->drop(QStringLiteral("LMESSAGE"));
        return n;
    };
    // Three lines in the window pass, as do three more once it has moved on.
    QCOMPARE(burst(3), 3);
    lobby.tick += 10000;
    QCOMPARE(burst(3), 3);
    QCOMPARE(burst(1), 0);
    QCOMPARE(lobby.moderation.mutedUntil(QStringLiteral("taro")), lobby.now + 60);
    lobby.now += 60;
    lobby.tick += 60000;
    QCOMPARE(burst(4), 3);
    // The second mute is twice as long, the third capped.
    QCOMPARE(lobby.moderation.mutedUntil(QStringLiteral("taro")), lobby.now + 100);
    const QJsonArray audit = lobby.auditItems();
    QCOMPARE(audit.size(), 2);
    for (const QJsonValue &e : audit) {
        QCOMPARE(e[u"actor"].toString(), QStringLiteral("server"));
        QCOMPARE(e[u"reason"].toString(), QStringLiteral("flood"));
        QCOMPARE(e[u"target"].toString(), QStringLiteral("taro"));
    }
    lobby.now += 100;
    lobby.tick += 100000;
    QCOMPARE(burst(1), 1);
}

void TestModeration::noticeAndWordList()
{
    Lobby lobby;
    lobby.moderation.setWordList(WordList::fromText(QStringLiteral("darn\n[Go]\n阿呆\n")));
    auto taro = lobby.player(QStringLiteral("taro"));
    auto jiro = lobby.player(QStringLiteral("jiro"));
    taro->send(QStringLiteral("LMESSAGE Darn, darnation, この阿呆"));
    QVERIFY(jiro->takeLatest(QStringLiteral("LMESSAGE taro ****, darnation, この**")));
    // The room is created, listed and entered under its masked name.
    QCOMPARE(taro->call(QStringLiteral("CREATEROOM darn room")), QStringLiteral("+OK"));
    QVERIFY(jiro->takeLatest(protocol::listLine(QStringLiteral("ROOMLIST"), {QStringLiteral("**** room 1/8")})));
    QCOMPARE(jiro->call(QStringLiteral("ENTERROOM darn room")), QStringLiteral("+OK"));

    const QJsonObject answer = lobby.run(QStringLiteral(R"({"command":"notice","args":["server","restarts"],"game":"Go"})"));
    QCOMPARE(answer.value(u"message").toString(), QStringLiteral("notice sent to 2 players"));
    QVERIFY(!jiro->take([&](const QString &l) { return l == QStringLiteral("LMESSAGE %1 server restarts").arg(kNotice); })
                 .isNull());
    QCOMPARE(lobby.run(QStringLiteral(R"({"command":"notice","args":["x"],"game":"Chess"})")).value(u"message").toString(),
             QStringLiteral("notice sent to 0 players"));
    // Nobody can take the name notices come from.
    LobbyClient c(lobby.server->serverPort());
    QVERIFY(!c.signIn(QStringLiteral("Go"), false, kNotice));
}

QTEST_MAIN(TestModeration)
#include "tst_moderation.moc"
