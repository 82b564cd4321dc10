// The network layer on its own: no window, no widget library, no display. The
// dispatcher's effects reach the interface only through the view it is given.
#include "net/dispatcher.h"
#include "net/frmCom.h"
#include "net/lobbyView.h"
#include "session/lobbyModule.h"
#include "session/seams.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTest>
#include <QTimer>

namespace {

// Writes down every call, one line each.
class RecordingView final : public LobbyView {
public:
    QStringList calls;
    bool roomMode = false;
    qsizetype phraseRoom = 115;

    bool echoesLines() const override { return false; }
    int appendChat(bool room, const QString &line) override
    {
        calls << (room ? QStringLiteral("roomChat ") : QStringLiteral("lobbyChat ")) + line;
        return 0;
    }
    void showPlayers(const QStringList &stored) override { calls << QStringLiteral("players ") + stored.join(u'|'); }
    void showRooms(const QStringList &stored) override { calls << QStringLiteral("rooms ") + stored.join(u'|'); }
    void showRoomPlayers(const QStringList &players, std::optional<bool> start) override
    {
        calls << QStringLiteral("roomPlayers ") + players.join(u'|')
                     + (start ? (*start ? QStringLiteral(" start on") : QStringLiteral(" start off")) : QString());
    }
    bool isRoomMode() const override { return roomMode; }
    void clearRoomPlayers() override { calls << QStringLiteral("clearRoomPlayers"); }
    void leaveRoomMode() override { calls << QStringLiteral("leaveRoomMode"); }
    void setStatusText(const QString &text) override { calls << QStringLiteral("status ") + text; }
    void matchAnnounced() override { calls << QStringLiteral("matchAnnounced"); }
    qsizetype chatPhraseRoom(qsizetype) const override { return phraseRoom; }
    void addChatPhrases(const QStringList &phrases) override { calls << QStringLiteral("phrases ") + phrases.join(u'|'); }
    void dropAlwaysOnTop() override { calls << QStringLiteral("dropAlwaysOnTop"); }
    void closeAll() override { calls << QStringLiteral("closeAll"); }
    void closeForDroppedLine() override { calls << QStringLiteral("closeForDroppedLine"); }
};

class AnswerOk final : public platform::MessageBoxes {
public:
    QStringList shown;
    int show(const QString &text, int) override
    {
        shown << text;
        return platform::mb::OK;
    }
    void beep() override {}
};

QStringList logged;
void keepMessage(QtMsgType, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "qorchat.client") == 0)
        logged << text;
}

} // namespace

class tst_netview : public QObject {
    Q_OBJECT
    RecordingView view;
    AnswerOk boxes;

private slots:
    void initTestCase()
    {
        frmCom::setView(&view);
        platform::setMessageBoxes(&boxes);
        qputenv("XDG_CONFIG_HOME", QByteArray("/nonexistent/for-this-test"));
    }
    void init()
    {
        view.calls.clear();
        view.roomMode = false;
        boxes.shown.clear();
        session().reset();
        frmCom::resetForTests();
    }

    void effects_data()
    {
        QTest::addColumn<int>("host");
        QTest::addColumn<bool>("roomMode");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("calls");
        const auto L = [](std::initializer_list<const char *> items) {
            QStringList out;
            for (const char *i : items)
                out << QString::fromUtf8(i);
            return out;
        };
        QTest::newRow("lobby chat") << 0 << false << "LMESSAGE ann hi there" << L({"lobbyChat <ann> hi there"});
        QTest::newRow("room chat") << 0 << true << "RMESSAGE bob yo" << L({"roomChat <bob> yo"});
        QTest::newRow("chat without sender") << 0 << false << "LMESSAGE" << QStringList();
        QTest::newRow("players") << 0 << false << "PLAYERLIST \na 0\nb 1" << L({"players a 0|b 1|"});
        QTest::newRow("rooms in the lobby") << 0 << false << "ROOMLIST \nr 1" << L({"rooms r 1|", "clearRoomPlayers"});
        QTest::newRow("rooms in a room") << 0 << true << "ROOMLIST \nr 1" << L({"rooms r 1|"});
        QTest::newRow("room players, client") << 0 << true << "ROOMPLAYERLIST \na\n\nb" << L({"roomPlayers a|b"});
        QTest::newRow("room players, host") << -1 << true << "ROOMPLAYERLIST \na\nb" << L({"roomPlayers a|b start on"});
        QTest::newRow("empty room, host") << -1 << true << "ROOMPLAYERLIST" << L({"roomPlayers "});
        QTest::newRow("host address") << 0 << true << "HOSTIP 192.0.2.1"
                                      << L({"status ゲームが開始されました。アプリケーションに戻った後ホストに接続してください。",
                                            "matchAnnounced"});
        QTest::newRow("start") << 0 << true << "START" << L({"closeAll"});
        QTest::newRow("not always on top") << 0 << false << "GAMEINFO 1 2 3 False" << L({"dropAlwaysOnTop"});
        QTest::newRow("always on top") << 0 << false << "GAMEINFO 1 2 3 True" << QStringList();
        QTest::newRow("room deleted, host") << -1 << true << "DELETEROOM" << L({"leaveRoomMode"});
        QTest::newRow("room deleted, client") << 0 << true << "DELETEROOM" << L({"clearRoomPlayers", "leaveRoomMode"});
        QTest::newRow("comment") << 0 << false << "PLAYERINFO ann likes tea" << L({"status annのコメント : likes tea"});
        QTest::newRow("unknown") << 0 << false << "NOSUCHLINE a b" << QStringList();
    }
    void effects()
    {
        QFETCH(int, host);
        QFETCH(bool, roomMode);
        QFETCH(QString, line);
        QFETCH(QStringList, calls);
        session().gblnHost = qint16(host);
        session().gintMinPlayers = 2;
        view.roomMode = roomMode;
        dispatcher::dispatchLine(*frmCom::get(), line);
        QCOMPARE(view.calls, calls);
    }

    void startEndsReadingAndTheMatch()
    {
        frmCom *com = frmCom::get();
        QVERIFY(!dispatcher::dispatchLine(*com, QStringLiteral("START")));
        QVERIFY(com->isClosing());
        QCOMPARE(session().gLobbyEnd, LobbyEnd::MatchStarted);
        // Nothing after the start reaches the windows.
        view.calls.clear();
        QVERIFY(!dispatcher::dispatchLine(*com, QStringLiteral("LMESSAGE a b")));
        QVERIFY(view.calls.isEmpty());
        com->beginPass();
        QVERIFY(!com->isClosing());
    }

    void phrasesStopAtTheRoomTheViewHas()
    {
        view.phraseRoom = 2;
        session().gstrGameName = QStringLiteral("g");
        dispatcher::dispatchLine(*frmCom::get(), QStringLiteral("CHATDATA a@b@c@d@"));
        QCOMPARE(view.calls, QStringList{QStringLiteral("phrases a|b")});
        QCOMPARE(frmCom::get()->received().ignoredChatPhrases, qsizetype(2));
        view.phraseRoom = 115;
    }

    // The log is silent unless asked for, and then names what was thrown away.
    void logOnlyWhenAsked()
    {
        const auto previous = qInstallMessageHandler(keepMessage);
        logged.clear();
        dispatcher::dispatchLine(*frmCom::get(), QStringLiteral("HOSTIP not-an-address"));
        QCOMPARE(logged, QStringList());
        QCOMPARE(session().gProtocolErrors, 1u);

        QLoggingCategory::setFilterRules(QStringLiteral("qorchat.client.warning=true"));
        dispatcher::dispatchLine(*frmCom::get(), QStringLiteral("HOSTIP not-an-address"));
        QLoggingCategory::setFilterRules(QString());
        qInstallMessageHandler(previous);
        QCOMPARE(logged.size(), 1);
        QVERIFY2(logged.first().contains(QLatin1String("HOSTIP")), qPrintable(logged.first()));
        QCOMPARE(session().gProtocolErrors, 2u);
    }

    // The one wait: the time limit is tested before the condition, every turn.
    void waitForEndsOnConditionOrTicks_data()
    {
        QTest::addColumn<int>("metAtTick");  // the condition starts to hold then (-1: never)
        QTest::addColumn<int>("maxTicks");
        QTest::addColumn<bool>("met");
        QTest::newRow("met early") << 2 << 10 << true;
        QTest::newRow("never, limit 3") << -1 << 3 << false;
        QTest::newRow("only when time is up") << 4 << 3 << false;
        QTest::newRow("no limit") << 15 << frmCom::kNoTickLimit << true;
    }
    void waitForEndsOnConditionOrTicks()
    {
        QFETCH(int, metAtTick);
        QFETCH(int, maxTicks);
        QFETCH(bool, met);
        frmCom::setTickInterval(2);
        frmCom *com = frmCom::get();
        const frmCom::WaitEnd end = com->waitFor([&] { return metAtTick >= 0 && com->ticks() >= metAtTick; }, maxTicks);
        frmCom::setTickInterval(1000);
        QCOMPARE(end == frmCom::WaitEnd::Met, met);
        if (met)
            QCOMPARE(com->ticks(), qint16(metAtTick));
        else
            QCOMPARE(com->ticks(), qint16(maxTicks + 1));
    }
};

QTEST_GUILESS_MAIN(tst_netview)
#include "tst_netview.moc"
