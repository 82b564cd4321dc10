// The cluster's pure parts: reading the --cluster and --db locations.
#include <QTest>

#include "clusterbus.h"
#include "lobbystore.h"

class TestClusterParts : public QObject {
    Q_OBJECT
private slots:
    void redisUrl_data();
    void redisUrl();
    void databaseLocation_data();
    void databaseLocation();
};

void TestClusterParts::redisUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("db");
    QTest::addColumn<int>("pace");
    const int pace = ClusterBus::Options{}.flushPaceMs;
    QTest::newRow("host only") << "redis://10.0.0.5" << true << "10.0.0.5" << 6379 << 0 << pace;
    QTest::newRow("port and db") << "redis://cache.example:7000/3" << true << "cache.example" << 7000 << 3 << pace;
    QTest::newRow("trailing slash") << "redis://127.0.0.1:6380/" << true << "127.0.0.1" << 6380 << 0 << pace;
    QTest::newRow("ipv6") << "redis://[::1]:6390/1" << true << "::1" << 6390 << 1 << pace;
    QTest::newRow("flush pace") << "redis://h:7000/2?flush-pace=40" << true << "h" << 7000 << 2 << 40;
    QTest::newRow("no flush pace") << "redis://h?flush-pace=0" << true << "h" << 6379 << 0 << 0;
    QTest::newRow("other scheme") << "rediss://127.0.0.1" << false << "" << 0 << 0 << 0;
    QTest::newRow("no host") << "redis:///2" << false << "" << 0 << 0 << 0;
    QTest::newRow("db not a number") << "redis://h/x" << false << "" << 0 << 0 << 0;
    QTest::newRow("negative db") << "redis://h/-1" << false << "" << 0 << 0 << 0;
    QTest::newRow("nested path") << "redis://h/1/2" << false << "" << 0 << 0 << 0;
    QTest::newRow("password") << "redis://:pw@h" << false << "" << 0 << 0 << 0;
    QTest::newRow("port out of range") << "redis://h:70000" << false << "" << 0 << 0 << 0;
    QTest::newRow("not a url") << "127.0.0.1:6379" << false << "" << 0 << 0 << 0;
    QTest::newRow("pace not a number") << "redis://h?flush-pace=2ms" << false << "" << 0 << 0 << 0;
    QTest::newRow("negative pace") << "redis://h?flush-pace=-1" << false << "" << 0 << 0 << 0;
    QTest::newRow("pace over a second") << "redis://h?flush-pace=1001" << false << "" << 0 << 0 << 0;
    QTest::newRow("unknown query") << "redis://h?timeout=5" << false << "" << 0 << 0 << 0;
    QTest::newRow("pace twice") << "redis://h?flush-pace=1&flush-pace=2" << false << "" << 0 << 0 << 0;
}

void TestClusterParts::redisUrl()
{
    QFETCH(QString, url);
    QFETCH(bool, valid);
    QString error;
    const auto o = ClusterBus::parseUrl(url, &error);
    QCOMPARE(bool(o), valid);
    if (!valid) {
        QVERIFY(error.contains(QLatin1String("redis://host")));
        return;
    }
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, db);
    QCOMPARE(o->host, host);
    QCOMPARE(int(o->port), port);
    QCOMPARE(o->db, db);
    QFETCH(int, pace);
    QCOMPARE(o->flushPaceMs, pace);
}

void TestClusterParts::databaseLocation_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("server");
    QTest::addColumn<QString>("shown");
    QTest::newRow("file") << "/var/lib/lobby.sqlite" << false << "/var/lib/lobby.sqlite";
    QTest::newRow("memory") << ":memory:" << false << ":memory:";
    QTest::newRow("postgresql") << "postgresql://u:secret@db:5433/lobby" << true << "postgresql://u@db:5433/lobby";
    QTest::newRow("postgres") << "postgres://u@db/lobby" << true << "postgres://u@db/lobby";
    // A relative file whose name merely starts like a scheme stays a file.
    QTest::newRow("file named postgresql") << "postgresql.sqlite" << false << "postgresql.sqlite";
}

void TestClusterParts::databaseLocation()
{
    QFETCH(QString, location);
    QFETCH(bool, server);
    QFETCH(QString, shown);
    QCOMPARE(LobbyStore::isServerUrl(location), server);
    QCOMPARE(LobbyStore::displayName(location), shown);
}

QTEST_GUILESS_MAIN(TestClusterParts)
#include "tst_clusterparts.moc"
