// The server's pieces on their own: its protocol lines, the game catalog, the
// address rule of a match and the account and access store.
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSemaphore>
#include <QThread>
#include <QTest>

#include <atomic>

#include "connectionbudget.h"
#include "gamecatalog.h"
#include "hashqueue.h"
#include "hostaddress.h"
#include "lobbystore.h"
#include "moderation.h"
#include "passwordhash.h"
#include "signinthrottle.h"
#include "net/protocol/protocol.h"
#include "wire/rules.h"

class TestServerParts : public QObject {
    Q_OBJECT
private slots:
    void serverLines();
    void fieldsAndRest_data();
    void fieldsAndRest();
    void roomNameArgument_data();
    void roomNameArgument();
    void hostAddress_data();
    void hostAddress();
    void catalog();
    void catalogErrors_data();
    void catalogErrors();
    void passwords();
    void accessCounts();
    void badDatabaseFile();
    void plainAddress_data();
    void plainAddress();
    void throttle();
    void oldDatabaseMigrates();
    void hashParameters();
    void moderationTargets_data();
    void moderationTargets();
    void wordList_data();
    void wordList();
    void hashQueue();
    void descriptorRoom_data();
    void descriptorRoom();
};

void TestServerParts::serverLines()
{
    QCOMPARE(protocol::gameInfoLine(12, 4, 0, false), QStringLiteral("GAMEINFO 12 4 0 False"));
    QCOMPARE(protocol::gameInfoLine(1, 2, 0, true), QStringLiteral("GAMEINFO 1 2 0 True"));
    QCOMPARE(protocol::playerInfoLine(QStringLiteral("taro"), QStringLiteral(" a  b")),
             QStringLiteral("PLAYERINFO taro  a  b"));
    QCOMPARE(protocol::weekChartLine(QDate(2001, 4, 9), {5, 0, 1, 2, 3, 4, 6}),
             QStringLiteral("WEEKCHART 2001/4/9 5 0 1 2 3 4 6"));
    QList<int> hours(24, 0);
    hours[0] = 7;
    hours[23] = 32767;
    const QString day = protocol::dayChartLine(QStringLiteral("x"), 0, hours);
    QCOMPARE(day.section(u' ', 0, 4), QStringLiteral("DAYCHART x 0 7 0"));
    QCOMPARE(protocol::tokens(day).size(), 27);
    QCOMPARE(protocol::tokens(day).last(), QStringLiteral("32767"));
}

void TestServerParts::fieldsAndRest_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("fields");
    QTest::newRow("all present") << "REGISTUSER u p e my  comment " << 3 << QStringList{"u", "p", "e", "my  comment "};
    QTest::newRow("empty comment") << "REGISTUSER u p e " << 3 << QStringList{"u", "p", "e", ""};
    QTest::newRow("no comment") << "REGISTUSER u p e" << 3 << QStringList{"u", "p", "e", ""};
    QTest::newRow("keyword only") << "REGISTUSER" << 3 << QStringList{"", "", "", ""};
    QTest::newRow("empty fields") << "REGISTUSER  p" << 3 << QStringList{"", "p", "", ""};
    QTest::newRow("password with spaces") << "LOGIN taro my pass" << 1 << QStringList{"taro", "my pass"};
}

void TestServerParts::fieldsAndRest()
{
    QFETCH(QString, line);
    QFETCH(int, n);
    QFETCH(QStringList, fields);
    QCOMPARE(protocol::fieldsAndRest(line, n), fields);
}

void TestServerParts::roomNameArgument_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("name");
    QTest::newRow("from the room list") << protocol::enterRoom(QStringLiteral("My Room 2/8")) << "My Room";
    QTest::newRow("leading spaces kept") << "ENTERROOM  r  " << " r";
    QTest::newRow("typed name") << "CREATEROOM 部屋" << "部屋";
    QTest::newRow("only spaces") << "CREATEROOM    " << "";
    QTest::newRow("no argument") << "DELETEROOM" << "";
}

void TestServerParts::roomNameArgument()
{
    QFETCH(QString, line);
    QFETCH(QString, name);
    QCOMPARE(protocol::roomNameArgument(line), name);
}

void TestServerParts::hostAddress_data()
{
    QTest::addColumn<QString>("announced");
    QTest::addColumn<QString>("seen");
    QTest::addColumn<QString>("sent");
    QTest::newRow("private behind public") << "192.168.1.5" << "203.0.113.7" << "203.0.113.7";
    QTest::newRow("10/8 behind public") << "10.1.2.3" << "198.51.100.1" << "198.51.100.1";
    QTest::newRow("172.31 behind public") << "172.31.255.255" << "198.51.100.1" << "198.51.100.1";
    QTest::newRow("172.32 is public") << "172.32.0.1" << "198.51.100.1" << "172.32.0.1";
    QTest::newRow("172.16 behind public") << "172.16.0.1" << "198.51.100.1" << "198.51.100.1";
    QTest::newRow("172.15 is public") << "172.15.255.255" << "198.51.100.1" << "172.15.255.255";
    QTest::newRow("mapped private behind public") << "::ffff:10.0.0.1" << "198.51.100.1" << "198.51.100.1";
    QTest::newRow("mapped IPv6 peer") << "192.168.1.5" << "::ffff:203.0.113.7" << "203.0.113.7";
    QTest::newRow("private on a LAN") << "192.168.1.5" << "192.168.1.1" << "192.168.1.5";
    QTest::newRow("private over loopback") << "192.168.1.5" << "127.0.0.1" << "192.168.1.5";
    QTest::newRow("behind carrier NAT") << "192.168.1.5" << "100.64.0.9" << "192.168.1.5";
    QTest::newRow("public announced") << "198.51.100.20" << "203.0.113.7" << "198.51.100.20";
    QTest::newRow("nothing announced") << "" << "203.0.113.7" << "203.0.113.7";
    QTest::newRow("nothing announced, mapped") << "" << "::ffff:127.0.0.1" << "127.0.0.1";
}

void TestServerParts::hostAddress()
{
    QFETCH(QString, announced);
    QFETCH(QString, seen);
    QFETCH(QString, sent);
    QCOMPARE(hostaddress::forClients(announced, QHostAddress(seen)), sent);
}

void TestServerParts::catalog()
{
    const GameCatalog any;
    const auto demo = any.find(QStringLiteral("DemoGame"));
    QVERIFY(demo);
    QCOMPARE(demo->id, 1);
    QCOMPARE(demo->minPlayers, 2);
    QCOMPARE(demo->maxPlayers, 8);
    QVERIFY(demo->topmost);
    QVERIFY(!demo->phrases.isEmpty());
    QVERIFY(!any.find(QString()));

    QString error;
    const auto listed = GameCatalog::fromJson(
        R"([{"name": "A[1]", "id": 9, "minPlayers": 1, "maxPlayers": 3, "topmost": false, "phrases": []},
            {"name": "B", "maxPlayers": 1}])",
        &error);
    QVERIFY2(listed, qPrintable(error));
    const auto a = listed->find(QStringLiteral("A[1]"));
    QVERIFY(a);
    QCOMPARE(a->id, 9);
    QCOMPARE(a->maxPlayers, 3);
    QVERIFY(!a->topmost);
    QVERIFY(a->phrases.isEmpty());
    // minPlayers defaults to 2 but never above maxPlayers.
    QCOMPARE(listed->find(QStringLiteral("B"))->minPlayers, 1);
    QVERIFY(!listed->find(QStringLiteral("C")));
}

void TestServerParts::catalogErrors_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("not json") << QByteArray("[{");
    QTest::newRow("not a list") << QByteArray(R"({"name": "A"})");
    QTest::newRow("entry not an object") << QByteArray(R"(["A"])");
    QTest::newRow("no name") << QByteArray(R"([{"id": 1}])");
    QTest::newRow("name twice") << QByteArray(R"([{"name": "A"}, {"name": "A"}])");
    QTest::newRow("id text") << QByteArray(R"([{"name": "A", "id": "1"}])");
    QTest::newRow("id too large") << QByteArray(R"([{"name": "A", "id": 40000}])");
    QTest::newRow("id huge") << QByteArray(R"([{"name": "A", "id": 1e300}])");
    QTest::newRow("id fraction") << QByteArray(R"([{"name": "A", "id": 1.5}])");
    QTest::newRow("min above max") << QByteArray(R"([{"name": "A", "minPlayers": 5, "maxPlayers": 4}])");
    QTest::newRow("max zero") << QByteArray(R"([{"name": "A", "maxPlayers": 0}])");
    QTest::newRow("topmost text") << QByteArray(R"([{"name": "A", "topmost": "true"}])");
    QTest::newRow("phrase with at sign") << QByteArray(R"([{"name": "A", "phrases": ["a@b"]}])");
    QTest::newRow("phrase with line feed") << QByteArray(R"([{"name": "A", "phrases": ["a\nb"]}])");
    QTest::newRow("phrase not text") << QByteArray(R"([{"name": "A", "phrases": [1]}])");
}

void TestServerParts::catalogErrors()
{
    QFETCH(QByteArray, json);
    QString error;
    QVERIFY(!GameCatalog::fromJson(json, &error));
    QVERIFY(!error.isEmpty());
}

void TestServerParts::passwords()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.sqlite"));
    QString error;
    {
        LobbyStore store;
        QVERIFY2(store.open(path, &error), qPrintable(error));
        store.setHashParams({8, 1, 1});
        using R = LobbyStore::Result;
        QCOMPARE(store.createUser(QStringLiteral("taro"), QStringLiteral("secret1"), QStringLiteral("t@x.jp"),
                                  QStringLiteral("c")),
                 R::Ok);
        QCOMPARE(store.createUser(QStringLiteral("jiro"), QStringLiteral("secret1"), QStringLiteral("j@x.jp"),
                                  QString()),
                 R::Ok);
        QCOMPARE(store.createUser(QStringLiteral("taro"), QStringLiteral("other12"), QStringLiteral("t@x.jp"),
                                  QString()),
                 R::Exists);
        QCOMPARE(store.checkPassword(QStringLiteral("taro"), QStringLiteral("secret1")), R::Ok);
        QCOMPARE(store.checkPassword(QStringLiteral("taro"), QStringLiteral("Secret1")), R::WrongPassword);
        QCOMPARE(store.checkPassword(QStringLiteral("Taro"), QStringLiteral("secret1")), R::Missing);
        QCOMPARE(store.checkPassword(QStringLiteral("x' OR '1'='1"), QStringLiteral("secret1")), R::Missing);
        // A successful sign-in re-hashes with the parameters of now.
        store.setHashParams({16, 2, 1});
        QCOMPARE(store.checkPassword(QStringLiteral("taro"), QStringLiteral("secret1")), R::Ok);
        QCOMPARE(store.updateUser(QStringLiteral("jiro"), QStringLiteral("newpass"), QStringLiteral("j@x.jp"),
                                  QStringLiteral("new")),
                 R::Ok);
        QCOMPARE(store.checkPassword(QStringLiteral("jiro"), QStringLiteral("newpass")), R::Ok);
        QCOMPARE(store.checkPassword(QStringLiteral("jiro"), QStringLiteral("secret1")), R::WrongPassword);
        QCOMPARE(store.comment(QStringLiteral("jiro")), QStringLiteral("new"));
        QCOMPARE(store.updateUser(QStringLiteral("nobody"), QStringLiteral("newpass"), QString(), QString()),
                 R::Missing);
    }
    // Same password, different salt and key; never the password itself.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
    db.setDatabaseName(path);
    QVERIFY(db.open());
    {
        QSqlQuery q(QStringLiteral("SELECT hash FROM users ORDER BY name DESC"), db);
        QVERIFY(q.next());
        const QByteArray taro = q.value(0).toByteArray();
        QVERIFY2(taro.startsWith("$argon2id$v=19$m=16,t=2,p=1$"), taro.constData());
        QVERIFY(q.next()); // jiro, rewritten with the new parameters
        const QByteArray jiro = q.value(0).toByteArray();
        QVERIFY2(jiro.startsWith("$argon2id$v=19$m=16,t=2,p=1$"), jiro.constData());
        // Same password, different salt.
        QVERIFY(jiro.mid(jiro.lastIndexOf('$')) != taro.mid(taro.lastIndexOf('$')));
    }
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!file.readAll().contains("secret1"));
}

void TestServerParts::accessCounts()
{
    LobbyStore store;
    QString error;
    QVERIFY(store.open(QStringLiteral(":memory:"), &error));
    const QDateTime t0(QDate(2024, 12, 31), QTime(23, 59, 59));
    QVERIFY(store.countAccess(t0));
    QVERIFY(store.countAccess(t0.addSecs(1)));  // next year, next hour
    QVERIFY(store.countAccess(t0.addSecs(2)));
    QVERIFY(store.countAccess(t0.addDays(-5))); // the oldest day of the week chart
    QVERIFY(store.countAccess(t0.addDays(-6))); // one day too old
    QVERIFY(store.countAccess(t0.addSecs(-22 * 3600))); // the oldest hour of the day chart
    QVERIFY(store.countAccess(t0.addSecs(-23 * 3600))); // one hour too old

    const QDateTime now(QDate(2025, 1, 1), QTime(0, 30));
    QList<int> hours(24, 0);
    hours[0] = 2;
    hours[1] = 1;
    hours[23] = 1;
    QCOMPARE(store.hourCounts(now), hours);
    QCOMPARE(store.dayCounts(now), QList<int>({2, 3, 0, 0, 0, 0, 1}));
    // Years later, the counts have been pruned and the charts are empty.
    QVERIFY(store.countAccess(now.addYears(5)));
    QCOMPARE(store.dayCounts(now), QList<int>(7, 0));
}

void TestServerParts::badDatabaseFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("junk.sqlite"));
    QFile junk(path);
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'j'));
    junk.close();
    LobbyStore store;
    QString error;
    QVERIFY(!store.open(path, &error));
    QVERIFY(error.contains(path));
    QVERIFY(!store.open(dir.filePath(QStringLiteral("missing/dir/x.sqlite")), &error));
}

void TestServerParts::plainAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("plain");
    QTest::newRow("ipv4") << "203.0.113.7" << true;
    QTest::newRow("ipv6") << "2001:db8::1" << true;
    QTest::newRow("ipv6 loopback") << "::1" << true;
    QTest::newRow("scope id") << "fe80::1%eth0" << false;
    QTest::newRow("empty scope id") << "::1%" << false;
    QTest::newRow("escape in scope id") << "::1%\x1b]0;x\x07" << false;
    QTest::newRow("name") << "example.org" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("space inside") << "10.0.0.1 x" << false;
    QTest::newRow("45 bytes") << "0000:0000:0000:0000:0000:ffff:192.168.100.200" << true;
    QTest::newRow("46 bytes") << "0000:0000:0000:0000:0000:0000:ffff:10.100.2.20" << false;
    QTest::newRow("ipv4 out of range") << "256.1.1.1" << false;
    QTest::newRow("full-width digits") << "１.２.３.４" << false;
    QTest::newRow("ipv4 in ipv6") << "::ffff:192.0.2.1" << true;
    QTest::newRow("lone number") << "12345" << false;
    QTest::newRow("short form") << "127.1" << false;
    QTest::newRow("leading zero (octal elsewhere)") << "0127.0.0.1" << false;
    QTest::newRow("trailing dot") << "192.0.2.1." << false;
    QTest::newRow("two gaps") << "1::2::3" << false;
}

void TestServerParts::plainAddress()
{
    QFETCH(QString, text);
    QFETCH(bool, plain);
    QCOMPARE(protocol::isPlainAddress(text), plain);
}

void TestServerParts::throttle()
{
    SignInThrottle t;
    t.setDelays(1000, 4000);
    const QString a = QStringLiteral("127.0.0.1"), b = QStringLiteral("127.0.0.2");
    QCOMPARE(t.waitMs(QStringLiteral("taro"), a, 0), 0);
    t.failed(QStringLiteral("taro"), a, 0);
    QCOMPARE(t.waitMs(QStringLiteral("taro"), b, 0), 1000);  // the account
    QCOMPARE(t.waitMs(QStringLiteral("jiro"), a, 400), 600); // the address
    QCOMPARE(t.waitMs(QStringLiteral("jiro"), b, 0), 0);
    // Doubling, up to the maximum.
    const qint64 expected[] = {2000, 4000, 4000};
    qint64 now = 1000;
    for (qint64 delay : expected) {
        t.failed(QStringLiteral("taro"), a, now);
        QCOMPARE(t.waitMs(QStringLiteral("taro"), b, now), delay);
        now += delay;
    }
    // Success clears the account but not the address.
    t.succeeded(QStringLiteral("taro"), a);
    QCOMPARE(t.waitMs(QStringLiteral("taro"), b, now - 1), 0);
    QCOMPARE(t.waitMs(QStringLiteral("jiro"), a, now - 1), 1);
    // Long quiet: forgotten, and the next failure starts from the base again.
    now += SignInThrottle::kForgetMs;
    QCOMPARE(t.waitMs(QStringLiteral("jiro"), a, now), 0);
    t.failed(QString(), a, now);
    QCOMPARE(t.waitMs(QStringLiteral("jiro"), a, now), 1000);
    // Unknown user IDs count against the address alone.
    QCOMPARE(t.waitMs(QString(), b, now), 0);
    // Attempts taken on at once, each counted for when it will be checked, queue
    // up one behind the other and soon beyond the maximum.
    const QString c = QStringLiteral("127.0.0.9");
    for (int i = 0; i < 3; ++i)
        t.failed(QStringLiteral("saburo"), c, now + t.waitMs(QStringLiteral("saburo"), c, now));
    QCOMPARE(t.waitMs(QStringLiteral("saburo"), c, now), 1000 + 2000 + 4000);
    // By default a single sequence of failures never makes a client wait past its
    // reply window of about ten seconds.
    SignInThrottle d;
    for (int i = 0; i < 20; ++i)
        d.failed(QStringLiteral("shiro"), a, 0);
    QVERIFY(d.waitMs(QStringLiteral("shiro"), a, 0) <= 8000);
}

// A database of the first schema: PBKDF2 keys, no hash or folded column.
void TestServerParts::oldDatabaseMigrates()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.sqlite"));
    const passwordhash::Stored old = passwordhash::pbkdf2(QStringLiteral("secret1"), 1000);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("CREATE TABLE users (name TEXT PRIMARY KEY NOT NULL, salt BLOB NOT NULL,"
                                      " key BLOB NOT NULL, iterations INTEGER NOT NULL, email TEXT NOT NULL,"
                                      " comment TEXT NOT NULL, created INTEGER NOT NULL)")));
        QVERIFY(q.prepare(QStringLiteral("INSERT INTO users VALUES ('Taro', ?, ?, ?, 't@x.jp', 'hi', 0)")));
        q.addBindValue(old.salt);
        q.addBindValue(old.key);
        q.addBindValue(old.iterations);
        QVERIFY(q.exec());
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));

    using R = LobbyStore::Result;
    LobbyStore store;
    QString error;
    QVERIFY2(store.open(path, &error), qPrintable(error));
    store.setHashParams({8, 1, 1});
    QCOMPARE(store.nameTaken(QStringLiteral("ｔａｒｏ")), R::Exists);
    QCOMPARE(store.createUser(QStringLiteral("TARO"), QStringLiteral("secret1"), QStringLiteral("t@x.jp"), QString()),
             R::Exists);
    QCOMPARE(store.checkPassword(QStringLiteral("Taro"), QStringLiteral("secret2")), R::WrongPassword);
    passwordhash::Stored stored;
    QCOMPARE(store.findPassword(QStringLiteral("Taro"), &stored), R::Ok);
    QVERIFY(!stored.isArgon2());
    QCOMPARE(store.checkPassword(QStringLiteral("Taro"), QStringLiteral("secret1")), R::Ok);
    QCOMPARE(store.findPassword(QStringLiteral("Taro"), &stored), R::Ok);
    QVERIFY(stored.encoded.startsWith("$argon2id$v=19$m=8,t=1,p=1$"));
    QCOMPARE(store.checkPassword(QStringLiteral("Taro"), QStringLiteral("secret1")), R::Ok);
    QCOMPARE(store.comment(QStringLiteral("Taro")), QStringLiteral("hi"));
    // Opening again does not migrate twice.
    store.close();
    QVERIFY2(store.open(path, &error), qPrintable(error));
    QCOMPARE(store.checkPassword(QStringLiteral("Taro"), QStringLiteral("secret1")), R::Ok);
}

void TestServerParts::hashParameters()
{
    // The product's default: at least 19 MiB, two passes.
    const passwordhash::Params defaults;
    QVERIFY(defaults.memoryKiB >= 19 * 1024);
    QVERIFY(defaults.passes >= 2);
    const passwordhash::Stored s = passwordhash::hash(QStringLiteral("パスワード1"), {8, 1, 1});
    QVERIFY(s.encoded.startsWith("$argon2id$v=19$m=8,t=1,p=1$"));
    QCOMPARE(passwordhash::verify(QStringLiteral("パスワード1"), s), passwordhash::Check::Match);
    QCOMPARE(passwordhash::verify(QStringLiteral("パスワード2"), s), passwordhash::Check::Mismatch);
    QVERIFY(!passwordhash::outdated(s, {8, 1, 1}));
    QVERIFY(passwordhash::outdated(s, {16, 1, 1}));
    QVERIFY(passwordhash::outdated(s, defaults));
    QVERIFY(passwordhash::outdated(passwordhash::pbkdf2(QStringLiteral("x"), 10), defaults));
    // Damaged rows never match.
    passwordhash::Stored broken = s;
    broken.encoded.chop(10);
    QCOMPARE(passwordhash::verify(QStringLiteral("パスワード1"), broken), passwordhash::Check::Invalid);
    QCOMPARE(passwordhash::verify(QStringLiteral("x"), passwordhash::Stored{}), passwordhash::Check::Invalid);
    QVERIFY(passwordhash::hash(QStringLiteral("x"), {1, 1, 1}).encoded.isEmpty());
}

void TestServerParts::moderationTargets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address"); // the normalised target; empty when refused
    QTest::addColumn<qint64>("duration"); // as --for; 0 when refused
    QTest::newRow("IPv4") << "192.0.2.7" << "192.0.2.7/32" << qint64(0);
    QTest::newRow("network, host bits cleared") << "192.0.2.7/24" << "192.0.2.0/24" << qint64(0);
    QTest::newRow("everything") << "0.0.0.0/0" << "0.0.0.0/0" << qint64(0);
    QTest::newRow("IPv4-mapped IPv6 is IPv4") << "::ffff:192.0.2.7" << "192.0.2.7/32" << qint64(0);
    QTest::newRow("IPv6 network") << "2001:db8::ff/120" << "2001:db8::/120" << qint64(0);
    QTest::newRow("prefix too long") << "192.0.2.0/33" << "" << qint64(0);
    QTest::newRow("user ID") << "taro" << "" << qint64(0);
    QTest::newRow("seconds") << "90" << "" << qint64(90);
    QTest::newRow("s") << "90s" << "" << qint64(90);
    QTest::newRow("minutes") << "30m" << "" << qint64(1800);
    QTest::newRow("hours") << "12h" << "" << qint64(43200);
    QTest::newRow("days") << "7d" << "" << qint64(604800);
    QTest::newRow("zero") << "0m" << "" << qint64(0);
    QTest::newRow("unit only") << "h" << "" << qint64(0);
    QTest::newRow("negative") << "-5" << "" << qint64(0);
    QTest::newRow("weeks") << "2w" << "" << qint64(0);
}

void TestServerParts::moderationTargets()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(qint64, duration);
    QCOMPARE(parseAddressTarget(text).value_or(QString()), address);
    QCOMPARE(parseDuration(text).value_or(0), duration);
}

void TestServerParts::wordList_data()
{
    QTest::addColumn<QString>("game");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("masked");
    QTest::newRow("whole ASCII word, any case") << "Shogi" << "Darn it, DARN!" << "**** it, ****!";
    QTest::newRow("not inside a longer word") << "Shogi" << "darnation undarned" << "darnation undarned";
    QTest::newRow("Japanese anywhere") << "Shogi" << "この阿呆め" << "この**め";
    QTest::newRow("regex characters are plain") << "Shogi" << "a.b axb" << "*** axb";
    QTest::newRow("game's own words") << "Go" << "sente baka darn" << "sente **** ****";
    QTest::newRow("other game's words") << "Shogi" << "baka" << "baka";
    QTest::newRow("unchanged") << "Go" << "hello" << "hello";
}

void TestServerParts::wordList()
{
    QFETCH(QString, game);
    QFETCH(QString, text);
    QFETCH(QString, masked);
    const WordList list = WordList::fromText(QStringLiteral("# every game\ndarn\n阿呆\n  a.b  \n\n[Go]\nbaka\n"));
    QCOMPARE(list.wordCount(), 4);
    QCOMPARE(list.mask(text, game), masked);
    QCOMPARE(WordList().mask(text, game), text);
}

void TestServerParts::hashQueue()
{
    HashQueue q(1);
    q.setMaxQueued(2);
    QSemaphore gate;
    std::atomic<int> ran{0};
    QList<int> settled; // job number, negative when it did not run
    const auto submit = [&](int n) {
        return q.submit(
            [&] {
                gate.acquire();
                ++ran;
            },
            [&settled, n](bool didRun) { settled << (didRun ? n : -n); });
    };
    const quint64 first = submit(1);
    const quint64 second = submit(2);
    QVERIFY(first && second && submit(3));
    QCOMPARE(q.running(), 1);
    QCOMPARE(q.queued(), 2);
    // Full: refused at once, nothing taken.
    QCOMPARE(submit(4), quint64(0));
    // A queued job whose client left never runs; a running one runs out unheard.
    q.cancel(second);
    QCOMPARE(settled, QList<int>{-2});
    q.cancel(first);
    gate.release();
    QTRY_COMPARE(settled, (QList<int>{-2, -1}));
    QCOMPARE(q.running(), 1); // job 3 took the thread
    QVERIFY(submit(5));
    // Stopping drops the queue and waits only for the running hash.
    gate.release();
    QCOMPARE(q.stop(), 1);
    QCOMPARE(ran.load(), 2);
    QCOMPARE(q.submit([] {}, {}), quint64(0));

    // Once hashes are measured cheap, a lone one runs here, yet settles only later;
    // one submitted while it is unsettled goes to a thread.
    HashQueue cheap(2);
    int settledCount = 0;
    while (cheap.averageUs() > HashQueue::kInlineUs) {
        const int before = settledCount;
        QVERIFY(cheap.submit([] {}, [&](bool) { ++settledCount; }));
        QTRY_COMPARE(settledCount, before + 1);
    }
    QThread *lone = nullptr;
    QThread *next = nullptr;
    QList<char> order;
    QVERIFY(cheap.submit([&] { lone = QThread::currentThread(); }, [&](bool r) { order << (r ? 'l' : '-'); }));
    QVERIFY(cheap.submit([&] { next = QThread::currentThread(); }, [&](bool r) { order << (r ? 'n' : '-'); }));
    QCOMPARE(order, QList<char>{});
    QTRY_COMPARE(order.size(), 2);
    QCOMPARE(lone, QThread::currentThread());
    QVERIFY(next && next != QThread::currentThread());
    QVERIFY(order.contains('l') && order.contains('n'));
}

void TestServerParts::descriptorRoom_data()
{
    QTest::addColumn<quint64>("limit");
    QTest::addColumn<int>("wanted");
    QTest::addColumn<int>("connections");
    const int beyond = ConnectionBudget::descriptorsBeyondConnections(10, 2);
    QTest::newRow("ample") << quint64(beyond + 5000) << 1000 << 1000;
    QTest::newRow("exact") << quint64(beyond + 1000) << 1000 << 1000;
    QTest::newRow("short") << quint64(beyond + 40) << 1000 << 40;
    QTest::newRow("none left") << quint64(beyond) << 1000 << 0;
    QTest::newRow("below") << quint64(20) << 1000 << 0;
}

void TestServerParts::descriptorRoom()
{
    QFETCH(quint64, limit);
    QFETCH(int, wanted);
    QFETCH(int, connections);
    // Every worker thread and the spare are counted besides what is open.
    QVERIFY(ConnectionBudget::descriptorsBeyondConnections(10, 4) >= 10 + 4 + ConnectionBudget::kSpareDescriptors);
    QCOMPARE(ConnectionBudget::connectionsWithin(limit, ConnectionBudget::descriptorsBeyondConnections(10, 2), wanted),
             connections);
}

QTEST_GUILESS_MAIN(TestServerParts)

#include "tst_serverparts.moc"
