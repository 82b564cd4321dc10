#include "lobby/frmMain.h"
#include "support/comtestpeer.h"
#include "net/frmCom.h"
#include "platform/forms.h"
#include "session/lobbyModule.h"
#include "support/fakeplatform.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {
constexpr int kTick = 20;
// A tick that no test outlasts: a wait that ends with no tick counted ended by
// what happened, not by its time limit.
constexpr int kLongTick = 60 * 60 * 1000;
} // namespace

class TstFrmCom : public QObject {
    Q_OBJECT

    std::unique_ptr<TestEnv> env;
    std::unique_ptr<FakePlatform> fake;
    std::unique_ptr<ScriptedServer> server;

    // Connected and greeted; nullptr (with a failure recorded) otherwise.
    frmCom *connectedCom()
    {
        frmCom *com = frmCom::get();
        com->connectTo(QStringLiteral("127.0.0.1"), server->portText());
        QElapsedTimer t;
        t.start();
        while (session().gintStatus != StatusOK && t.elapsed() < 5000)
            QTest::qWait(5);
        if (!com->isConnected() || session().gintStatus != StatusOK) {
            QTest::qFail("no connection to the scripted server", __FILE__, __LINE__);
            return nullptr;
        }
        return com;
    }

private slots:
    void init()
    {
        env = std::make_unique<TestEnv>();
        fake = std::make_unique<FakePlatform>();
        server = std::make_unique<ScriptedServer>();
        resetClient(kTick);
    }
    void cleanup()
    {
        frmCom::resetForTests();
        Forms::resetAll();
        server.reset();
        fake.reset();
        env.reset();
    }

    void statusReplies_data()
    {
        QTest::addColumn<QStringList>("reply");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("errCode");
        QTest::newRow("+OK") << QStringList{"+OK done"} << 1 << 0;
        QTest::newRow("-ERR 3") << QStringList{"-ERR 3 no such user"} << 2 << 3;
        QTest::newRow("-ERR word") << QStringList{"-ERR oops"} << 2 << 0;
        QTest::newRow("-ERR alone") << QStringList{"-ERR"} << 2 << 0;
        QTest::newRow("chat first, then status") << QStringList{"LMESSAGE a hi", "PLAYERLIST", "-ERR 1"} << 2 << 1;
    }
    void statusReplies()
    {
        QFETCH(QStringList, reply);
        QFETCH(int, status);
        QFETCH(int, errCode);
        server->on("LOGIN", reply);
        frmCom *com = connectedCom();
        QVERIFY(com);
        session().gintErrCode = 77; // an older reply's number must not leak into this one
        QCOMPARE(int(com->printlnAndWait("LOGIN taro pw")), status);
        QCOMPARE(int(session().gintErrCode), errCode);
        QCOMPARE(server->received, QStringList{"LOGIN taro pw"});
    }

    void requestReturnsWhatCameBack_data()
    {
        using Kind = frmCom::Reply::Kind;
        QTest::addColumn<QStringList>("reply");
        QTest::addColumn<bool>("hangUp");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("code");
        QTest::newRow("+OK") << QStringList{"+OK", "ROOMPLAYERLIST \nme 1"} << false << int(Kind::Ok) << 0;
        QTest::newRow("-ERR 1") << QStringList{"-ERR 1 exists"} << false << int(Kind::Err) << 1;
        QTest::newRow("-ERR alone") << QStringList{"-ERR"} << false << int(Kind::Err) << 0;
        QTest::newRow("chat first") << QStringList{"RMESSAGE a -ERR 2", "-ERR 4"} << false << int(Kind::Err) << 4;
        QTest::newRow("no answer") << QStringList{} << false << int(Kind::TimedOut) << 0;
        QTest::newRow("hung up") << QStringList{} << true << int(Kind::Dropped) << 0;
        QTest::newRow("answered, then hung up") << QStringList{"-ERR 3"} << true << int(Kind::Err) << 3;
    }
    void requestReturnsWhatCameBack()
    {
        QFETCH(QStringList, reply);
        QFETCH(bool, hangUp);
        QFETCH(int, kind);
        QFETCH(int, code);
        if (!reply.isEmpty())
            server->on("CREATEROOM", reply);
        if (hangUp)
            server->onLine = [this](const QString &) { server->closeClient(); };
        frmCom *com = connectedCom();
        QVERIFY(com);
        if (hangUp) {
            fake->answers.push_back(platform::mb::No);
            // Ended by the hang-up, not by the time limit.
            frmComTestPeer::tmrError(*com)->setInterval(kLongTick);
        }
        session().gintErrCode = 77;
        const frmCom::Reply r = com->request(protocol::client::CreateRoom{"my room"});
        QCOMPARE(int(r.kind), kind);
        QCOMPARE(int(r.code), code);
        QCOMPARE(server->received, QStringList{"CREATEROOM my room"});
        QCOMPARE(r.is(protocol::err::CreateRoom::Exists), kind == int(frmCom::Reply::Kind::Err) && code == 1);
        // The shared status says the same, for the code that still reads it.
        QCOMPARE(session().gintStatus, r.status());
        QCOMPARE(int(session().gintErrCode), code);
    }

    void noReplyTimesOutAfterTenTicks()
    {
        frmCom *com = connectedCom();
        QVERIFY(com);
        // A tick that falls due just before the wait starts must not count.
        QTest::qSleep(2 * kTick);
        int wakeUps = 0;
        auto *dispatcher = QAbstractEventDispatcher::instance();
        const auto c = connect(dispatcher, &QAbstractEventDispatcher::awake, this, [&] { ++wakeUps; });
        QElapsedTimer t;
        t.start();
        QCOMPARE(int(com->printlnAndWait("CHATDATA")), 3);
        const qint64 ms = t.elapsed();
        disconnect(c);
        QCOMPARE(frmComTestPeer::intTick(*com), qint16(11));
        QVERIFY2(ms >= 10 * kTick, qPrintable(QString::number(ms)));
        // Waiting blocks until something happens: it wakes for the ticks and a few
        // other events, not in a loop of its own.
        QVERIFY2(wakeUps < 200, qPrintable(QString::number(wakeUps)));
    }

    void socketErrorEndsTheWaitAndIsShownOnce()
    {
        frmCom *com = connectedCom();
        QVERIFY(com);
        frmComTestPeer::tmrError(*com)->setInterval(kLongTick);
        QTimer::singleShot(2 * kTick, com, [com] { emit frmComTestPeer::wskTcp(*com)->errorOccurred(QAbstractSocket::NetworkError); });
        QCOMPARE(int(com->printlnAndWait("CREATEROOM r")), 3);
        QCOMPARE(frmComTestPeer::intTick(*com), qint16(0));
        QVERIFY(session().glngSockErr != sckNoError);
        QVERIFY(fake->messages.isEmpty()); // never shown when it happens
        QCOMPARE(com->checkErr(), sckNoError);
        QCOMPARE(fake->messages.size(), 1);
        QCOMPARE(fake->messages[0].style, platform::mb::Critical);
        QVERIFY(!fake->messages[0].text.isEmpty());
        QCOMPARE(com->checkErr(), sckNoError);
        QCOMPARE(fake->messages.size(), 1);
    }

    void sendWithoutConnectionDoesNotHang()
    {
        frmCom *com = frmCom::get();
        QCOMPARE(int(com->printlnAndWait("LOGIN a b")), 3);
        // It ends after the first pass of events, the first tick at the latest.
        QVERIFY(frmComTestPeer::intTick(*com) <= 1);
    }

    void linesSplitAndBundledOnTheWire()
    {
        frmCom *com = connectedCom();
        QVERIFY(com);
        server->sendRaw("-ERR 5\r\n+OK\r\n-E");
        QTRY_COMPARE_WITH_TIMEOUT(session().gintErrCode, qint16(5), 2000);
        QCOMPARE(session().gintStatus, qint16(StatusOK)); // both lines, in order
        QTest::qWait(3 * kTick);
        server->sendRaw("RR \x82");
        QTest::qWait(3 * kTick);
        server->sendRaw("\xa0 7\r\n");
        // the tail was held: one line "-ERR あ 7", whose code is not a number
        QTRY_COMPARE_WITH_TIMEOUT(session().gintStatus, qint16(StatusErr), 2000);
        QCOMPARE(session().gintErrCode, qint16(0));
        // A line over the limit is dropped, and the line after it still arrives.
        server->sendRaw(QByteArray(frmCom::kMaxLineBytes + 1000, 'x'));
        server->sendRaw("\r\n-ERR 9\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(session().gintErrCode, qint16(9), 5000);
        QVERIFY(com->isConnected());
    }

    // A list line of a big lobby is longer than 64 KiB and must still arrive.
    void bigListLineArrives()
    {
        frmCom *com = connectedCom();
        QVERIFY(com);
        QStringList entries;
        for (int i = 0; i < 10000; ++i)
            entries << QStringLiteral("player%1 %2").arg(i).arg(i % 2);
        server->sendLine(QStringLiteral("PLAYERLIST \n") + entries.join(u'\n'));
        QTRY_COMPARE_WITH_TIMEOUT(frmComTestPeer::received(*com).astrPlayers.size(), qsizetype(10001), 5000);
        QCOMPARE(frmComTestPeer::received(*com).astrPlayers.at(9999), QStringLiteral("player9999 1"));
    }

    void droppedLineAsksAndUnloads_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("retry");
        QTest::newRow("yes") << int(platform::mb::Yes) << true;
        QTest::newRow("no") << int(platform::mb::No) << false;
    }
    void droppedLineAsksAndUnloads()
    {
        QFETCH(int, answer);
        QFETCH(bool, retry);
        frmCom *com = connectedCom();
        QVERIFY(com);
        Forms::get<frmMain>();
        QVERIFY(Forms::isLoaded("frmMain"));
        fake->answers.push_back(answer);
        server->closeClient();
        QTRY_COMPARE_WITH_TIMEOUT(fake->messages.size(), 1, 5000);
        QCOMPARE(fake->messages[0].text, QStringLiteral("回線が切断されました。再接続しますか？"));
        QCOMPARE(fake->messages[0].style, platform::mb::Critical | platform::mb::YesNo);
        QCOMPARE(session().gblnRetry, retry);
        QVERIFY(!Forms::isLoaded("frmMain"));
        QVERIFY(!com->isConnected());
    }

    void droppedLineDuringAWaitEndsIt()
    {
        frmCom *com = connectedCom();
        QVERIFY(com);
        fake->answers.push_back(platform::mb::No);
        server->onLine = [this](const QString &) { server->closeClient(); };
        frmComTestPeer::tmrError(*com)->setInterval(kLongTick);
        QCOMPARE(int(com->printlnAndWait("ENTERROOM r ")), 3);
        QCOMPARE(frmComTestPeer::intTick(*com), qint16(0));
        QCOMPARE(fake->messages.size(), 1);
    }

    void noQuestionAfterTheMatchStarted()
    {
        frmCom *com = connectedCom();
        QVERIFY(com);
        frmComTestPeer::blnClosing(*com) = true;
        server->closeClient();
        QTRY_VERIFY_WITH_TIMEOUT(!com->isConnected(), 5000);
        QTest::qWait(3 * kTick);
        QVERIFY(fake->messages.isEmpty());
        QVERIFY(!session().gblnRetry);
    }

    void ownCloseAsksNothing()
    {
        frmCom *com = connectedCom();
        QVERIFY(com);
        com->closeSocket();
        QTest::qWait(3 * kTick);
        QVERIFY(fake->messages.isEmpty());
    }

    void badPortIsASocketError()
    {
        frmCom *com = frmCom::get();
        session().glngSockErr = sckNoError;
        com->connectTo("127.0.0.1", "http");
        QTRY_VERIFY_WITH_TIMEOUT(session().glngSockErr != sckNoError, 2000);
        QVERIFY(!session().gstrSockErrDesc.isEmpty());
    }

    void tickCounterSaturates()
    {
        frmCom *com = frmCom::get();
        frmComTestPeer::intTick(*com) = 32766;
        QTest::qWait(4 * kTick);
        QCOMPARE(frmComTestPeer::intTick(*com), qint16(32767));
    }
};

QTEST_MAIN(TstFrmCom)
#include "tst_frmcom.moc"
