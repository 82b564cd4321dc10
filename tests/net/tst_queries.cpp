// The room-list and chart requests, and the rows the stored lists show as.
#include "lobbywire.h"
#include "support/comtestpeer.h"

#include "net/dispatcher.h"
#include "net/protocol/protocol.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>

class TestQueries : public QObject {
    Q_OBJECT

private slots:
    void playerRows_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<int>>("entries");
        QTest::newRow("empty list") << "PLAYERLIST" << QStringList() << QList<int>();
        QTest::newRow("one entry") << "PLAYERLIST \ntaro 1" << QStringList{"taro (サーバー)"} << QList<int>{0};
        QTest::newRow("host and clients") << "PLAYERLIST \ntaro 1\nhanako 0\njiro 2"
                                          << QStringList{"taro (サーバー)", "hanako (クライアント)", "jiro (クライアント)"}
                                          << QList<int>{0, 1, 2};
        QTest::newRow("name only") << "PLAYERLIST \nsaburo" << QStringList{"saburo (クライアント)"} << QList<int>{0};
        // Empty entries make no rows; each row still knows its entry.
        QTest::newRow("empty entries") << "PLAYERLIST \n\ntaro 1\n\nhanako 0\n"
                                       << QStringList{"taro (サーバー)", "hanako (クライアント)"} << QList<int>{1, 3};
    }
    void playerRows()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, rows);
        QFETCH(QList<int>, entries);
        LobbyWire w;
        QListWidget *list = w.lobby()->lstPlayers;
        list->addItem(QStringLiteral("old"));
        QVERIFY(dispatcher::dispatchLine(*w.com, line));
        QVERIFY(frmComTestPeer::received(*w.com).blnPlayerListReady);
        QCOMPARE(list->count(), rows.size());
        for (int r = 0; r < rows.size(); ++r) {
            QCOMPARE(list->item(r)->text(), rows.at(r));
            QCOMPARE(list->item(r)->data(Qt::UserRole).toInt(), entries.at(r));
        }
        // The stored list: every entry, then one empty element.
        QCOMPARE(w.com->playerList(), protocol::listEntries(line) << QString());
    }

    void roomRows_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("empty list") << "ROOMLIST" << QStringList();
        QTest::newRow("rooms") << "ROOMLIST \nMyRoom 3\nSolo\nmy big room 1"
                               << QStringList{"MyRoom  (3)", " (Solo)", "my big room  (1)"};
        QTest::newRow("empty entry") << "ROOMLIST \nMyRoom 3\n" << QStringList{"MyRoom  (3)"};
    }
    void roomRows()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, rows);
        LobbyWire w;
        w.lobby()->lstRooms->addItem(QStringLiteral("old"));
        dispatcher::dispatchLine(*w.com, line);
        QStringList got;
        for (int i = 0; i < w.lobby()->lstRooms->count(); ++i)
            got << w.lobby()->lstRooms->item(i)->text();
        QCOMPARE(got, rows);
    }

    void roomListOnEmptyAnswer()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.on(QStringLiteral("ROOMLIST"), {QStringLiteral("ROOMLIST")});
        w.lobby()->lstRooms->addItem(QStringLiteral("old"));
        QCOMPARE(w.com->getRoomList(), qint16(1));
        QCOMPARE(w.lobby()->lstRooms->count(), 0);
        QCOMPARE(frmComTestPeer::received(*w.com).astrRooms, QStringList{QString()});
    }

    void noAnswerWithinTimeLimit_data()
    {
        QTest::addColumn<int>("request");
        QTest::newRow("room list") << 0;
        QTest::newRow("chart") << 1;
    }
    void noAnswerWithinTimeLimit()
    {
        QFETCH(int, request);
        LobbyWire w;
        QVERIFY(w.connect());
        QList<QVariant> values{7};
        QString date = QStringLiteral("old");
        QElapsedTimer t;
        t.start();
        const qint16 r = request == 0 ? w.com->getRoomList() : w.com->getChartData(0, values, date);
        QCOMPARE(r, qint16(2));
        QVERIFY(t.elapsed() >= 10 * LobbyWire::kTickMs);
        QVERIFY(frmComTestPeer::intTick(*w.com) > 10);
        QCOMPARE(values, QList<QVariant>{7});
        QCOMPARE(date, QStringLiteral("old"));
    }

    // An answer in the same pass as the eleventh tick counts as none.
    void timeLimitIsTestedFirst_data() { noAnswerWithinTimeLimit_data(); }
    void timeLimitIsTestedFirst()
    {
        QFETCH(int, request);
        LobbyWire w;
        QVERIFY(w.connect());
        frmCom *com = w.com;
        QTimer::singleShot(0, com, [com] {
            frmComTestPeer::intTick(*com) = 11;
            frmComTestPeer::received(*com).blnRoomListReady = true;
            frmComTestPeer::received(*com).blnChartReady = true;
        });
        QList<QVariant> values;
        QString date;
        const qint16 r = request == 0 ? com->getRoomList() : com->getChartData(1, values, date);
        QCOMPARE(r, qint16(2));
    }

    void chartWaitsForAFreshLine_data()
    {
        QTest::addColumn<qint16>("kind");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("date");
        QTest::newRow("daily") << qint16(0) << "DAYCHART" << "DAYCHART x 5 1 2 3" << "5";
        QTest::newRow("weekly") << qint16(1) << "WEEKCHART" << "WEEKCHART 2001/4/19 1 2 3" << "2001/4/19";
        QTest::newRow("any other kind is weekly") << qint16(7) << "WEEKCHART" << "WEEKCHART 2001/4/19 1 2 3" << "2001/4/19";
    }
    void chartWaitsForAFreshLine()
    {
        QFETCH(qint16, kind);
        QFETCH(QString, request);
        QFETCH(QString, answer);
        QFETCH(QString, date);
        LobbyWire w;
        QVERIFY(w.connect());
        // An unasked-for chart line leaves the flag set and old values behind.
        dispatcher::dispatchLine(*w.com, QStringLiteral("DAYCHART x 9 7 7 7 7"));
        QVERIFY(frmComTestPeer::received(*w.com).blnChartReady);
        w.server.on(request, {answer});
        QList<QVariant> values(25, QVariant::fromValue<qint16>(0));
        QString got;
        QCOMPARE(w.com->getChartData(kind, values, got), qint16(1));
        QCOMPARE(w.server.received, QStringList{request});
        QCOMPARE(got, date);
        QCOMPARE(values.mid(0, 4), (QList<QVariant>{QVariant::fromValue<qint16>(1), QVariant::fromValue<qint16>(2),
                                                    QVariant::fromValue<qint16>(3), QVariant::fromValue<qint16>(0)}));
        QCOMPARE(values.size(), 25);
    }
};

QTEST_MAIN(TestQueries)
#include "tst_queries.moc"
