// Server lines and their effects on the shared state, the stored lists and the
// lobby window.
#include "lobbywire.h"
#include "support/comtestpeer.h"

#include "net/dispatcher.h"
#include "net/protocol/protocol.h"
#include "session/settings.h"
#include "about/frmAbout.h"
#include "lobby/dlgInputRoomName.h"
#include "phrases/frmEditChat.h"
#include "signin/dlgIPWarning.h"
#include "account/dlgInputUserPas.h"
#include "account/dlgLicence.h"
#include "signin/dlgLogin.h"
#include "signin/frmStatus.h"
#include "stats/dlgChart.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>

// A second window, so the window-order work has more than one to go through.
class dlgProbe : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "dlgProbe";
    struct State : FormStateBase {};
};

namespace {
// What the box shows once the lines of this pass went in.
QStringList lines(const QPlainTextEdit *box)
{
    QCoreApplication::processEvents();
    return box->document()->isEmpty() ? QStringList() : box->toPlainText().split(u'\n');
}

void dispatch(LobbyWire &w, const QString &line)
{
    dispatcher::dispatchLine(*w.com, line);
}

// Every window of the client, loaded.
void loadEveryWindow()
{
    Forms::get<frmMain>();
    Forms::get<frmStatus>();
    Forms::get<dlgLogin>();
    Forms::get<dlgInputUserPas>();
    Forms::get<dlgIPWarning>();
    Forms::get<dlgLicence>();
    Forms::get<dlgInputRoomName>();
    Forms::get<dlgChart>();
    Forms::get<frmEditChat>();
    Forms::get<frmAbout>();
}

// Labels of every window that would draw their text as markup.
QStringList labelsReadAsMarkup()
{
    QStringList out;
    for (QWidget *w : QApplication::allWidgets())
        if (auto *label = qobject_cast<QLabel *>(w))
            if (label->textFormat() != Qt::PlainText && Qt::mightBeRichText(label->text()))
                out << label->objectName() + QStringLiteral(": ") + label->text();
    return out;
}

bool sameImage(const QPixmap &a, const QPixmap &b)
{
    return a.toImage().convertToFormat(QImage::Format_ARGB32) == b.toImage().convertToFormat(QImage::Format_ARGB32);
}
} // namespace

class TestDispatcher : public QObject {
    Q_OBJECT

private slots:
    void severalLinesInOneRead()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        session().gintStatus = StatusWaiting;
        w.server.sendRaw("-ERR 7 busy\r\nLMESSAGE taro hello  world\r\nROOMLIST \nMyRoom 3\nSolo\r\n+OK\r\nLMESS");
        QTRY_COMPARE(w.lobby()->lstRooms->count(), 2);
        // In order: the "-ERR" set the code, the "+OK" after it the status.
        QCOMPARE(session().gintStatus, qint16(StatusOK));
        QCOMPARE(session().gintErrCode, qint16(7));
        QCOMPARE(lines(w.lobby()->rtfLobbyChat), QStringList{QStringLiteral("<taro> hello  world")});
        QCOMPARE(items(w.lobby()->lstRooms), (QStringList{QStringLiteral("MyRoom  (3)"), QStringLiteral(" (Solo)")}));
        // The unterminated tail waits for the rest of its line.
        w.server.sendRaw("AGE jiro hi\r\n");
        QTRY_COMPARE(lines(w.lobby()->rtfLobbyChat).size(), 2);
        QCOMPARE(lines(w.lobby()->rtfLobbyChat).last(), QStringLiteral("<jiro> hi"));
    }

    void startEndsLobbyAndArrival()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        session().gintStatus = StatusWaiting;
        bool timedOut = false;
        QTimer::singleShot(0, &w.server, [&] {
            w.server.sendRaw("HOSTIP 192.0.2.7\r\nSTART\r\nLMESSAGE a b\r\n+OK\r\nSTART\r\n");
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            timedOut = true;
            Forms::unload<frmMain>();
        });
        guard.start(5000);
        // The lobby's modal display ends when START unloads it.
        platform::modalRunner().run(w.lobby());
        QVERIFY(!timedOut);
        QVERIFY(!Forms::isLoaded(QStringLiteral("frmMain")));
        QVERIFY(frmComTestPeer::blnClosing(*w.com));
        QCOMPARE(session().gstrHostIP, QStringLiteral("192.0.2.7"));

        // A later arrival is not read either.
        w.server.sendRaw("START\r\n+OK\r\n");
        QVERIFY(w.server.waitForLines(1));
        QTest::qWait(100);
        QCOMPARE(w.server.received, QStringList{QStringLiteral("QUIT")});
        QCOMPARE(session().gintStatus, qint16(StatusWaiting));
        QVERIFY(!Forms::isLoaded(QStringLiteral("frmMain")));
    }

    void chatKeepsNewestLines_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::newRow("lobby") << QStringLiteral("LMESSAGE");
        QTest::newRow("room") << QStringLiteral("RMESSAGE");
    }
    void chatKeepsNewestLines()
    {
        QFETCH(QString, keyword);
        const bool room = keyword == QLatin1String("RMESSAGE");
        LobbyWire w;
        frmMain *f = w.lobby();
        if (room)
            f->visibleControl(true);
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f));
        QPlainTextEdit *box = room ? f->rtfRoomChat : f->rtfLobbyChat;
        // Lines that come one pass at a time and lines that come together.
        for (int i = 1; i <= 60; ++i) {
            dispatch(w, keyword + QStringLiteral(" u line %1").arg(i));
            QCoreApplication::processEvents();
        }
        for (int i = 61; i <= 100; ++i)
            dispatch(w, keyword + QStringLiteral(" u line %1").arg(i));
        QCOMPARE(lines(box).size(), 100);
        QCOMPARE(box->document()->firstBlock().text(), QStringLiteral("<u> line 1"));
        // The 101st message pushes out the oldest.
        dispatch(w, keyword + QStringLiteral(" u line 101"));
        QCOMPARE(room ? frmComTestPeer::received(*w.com).intRoomLines : frmComTestPeer::received(*w.com).intLobbyLines, 100);
        QCOMPARE(lines(box).size(), 100);
        QCOMPARE(box->document()->firstBlock().text(), QStringLiteral("<u> line 2"));
        QCOMPARE(box->document()->lastBlock().text(), QStringLiteral("<u> line 101"));
        // Scrolled to the newest line even when the user had scrolled up.
        box->verticalScrollBar()->setValue(0);
        dispatch(w, keyword + QStringLiteral(" u line 102"));
        lines(box);
        QVERIFY(box->verticalScrollBar()->maximum() > 0);
        QCOMPARE(box->verticalScrollBar()->value(), box->verticalScrollBar()->maximum());
        // A burst keeps only its newest lines, in order.
        for (int i = 1000; i < 1250; ++i)
            dispatch(w, keyword + QStringLiteral(" u line %1").arg(i));
        const QStringList shown = lines(box);
        QCOMPARE(shown.size(), 100);
        QCOMPARE(shown.first(), QStringLiteral("<u> line 1150"));
        QCOMPARE(shown.last(), QStringLiteral("<u> line 1249"));
        QCOMPARE(box->verticalScrollBar()->value(), box->verticalScrollBar()->maximum());
        // The other box is untouched.
        QVERIFY(lines(room ? f->rtfLobbyChat : f->rtfRoomChat).isEmpty());
    }

    void startButtonByRoomSize_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("enabledBefore");
        QTest::addColumn<bool>("enabledAfter");
        QTest::addColumn<QStringList>("rows");
        const QStringList three{"a", "b", "c"};
        const QStringList four{"a", "b", "c", "d 1"};
        QTest::newRow("host, three of four") << vbTrue << "ROOMPLAYERLIST \na\nb\nc" << true << false << three;
        QTest::newRow("host, exactly four") << vbTrue << "ROOMPLAYERLIST \na\nb\nc\nd 1" << false << true << four;
        QTest::newRow("host, five") << vbTrue << "ROOMPLAYERLIST \na\nb\nc\nd\ne" << false << true
                                    << QStringList{"a", "b", "c", "d", "e"};
        QTest::newRow("host, empty list untouched") << vbTrue << "ROOMPLAYERLIST" << true << true << QStringList();
        QTest::newRow("host, trailing line feed is no player")
            << vbTrue << "ROOMPLAYERLIST \na\nb\nc\n" << true << false << three;
        QTest::newRow("client untouched, off") << vbFalse << "ROOMPLAYERLIST \na\nb\nc\nd 1" << false << false << four;
        QTest::newRow("client untouched, on") << vbFalse << "ROOMPLAYERLIST \na" << true << true << QStringList{"a"};
        QTest::newRow("host flag 1 is not True") << qint16(1) << "ROOMPLAYERLIST \na\nb\nc\nd 1" << false << false << four;
    }
    void startButtonByRoomSize()
    {
        QFETCH(qint16, host);
        QFETCH(QString, line);
        QFETCH(bool, enabledBefore);
        QFETCH(bool, enabledAfter);
        QFETCH(QStringList, rows);
        LobbyWire w(host);
        session().gintMinPlayers = 4;
        w.lobby()->lstRoomPlayers->addItem(QStringLiteral("old"));
        w.lobby()->cmdStart->setEnabled(enabledBefore);
        dispatch(w, line);
        QCOMPARE(w.lobby()->cmdStart->isEnabled(), enabledAfter);
        QCOMPARE(items(w.lobby()->lstRoomPlayers), rows);
        QCOMPARE(frmComTestPeer::received(*w.com).astrRoomPlayers, protocol::listEntries(line) << QString());
    }

    void roomListClearsRoomPlayersInLobbyModeOnly()
    {
        LobbyWire w;
        frmMain *f = w.lobby();
        f->lstRoomPlayers->addItem(QStringLiteral("a"));
        dispatch(w, QStringLiteral("ROOMLIST \nr 1"));
        QCOMPARE(f->lstRoomPlayers->count(), 0);
        QVERIFY(frmComTestPeer::received(*w.com).blnRoomListReady);
        f->visibleControl(true);
        f->lstRoomPlayers->addItem(QStringLiteral("a"));
        dispatch(w, QStringLiteral("ROOMLIST \nr 2"));
        QCOMPARE(f->lstRoomPlayers->count(), 1);
        QCOMPARE(items(f->lstRooms), QStringList{QStringLiteral("r  (2)")});
    }

    // Changes of one entry leave the lists and windows as the whole list would.
    void listDeltasShowAsWholeLists_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("whole");
        QTest::addColumn<bool>("roomMode");
        QTest::newRow("player comes")
            << QStringList{"PLAYERLIST \na 1\nb 0", "PLAYERSET c 0"} << "PLAYERLIST \na 1\nb 0\nc 0" << false;
        QTest::newRow("player goes")
            << QStringList{"PLAYERLIST \na 1\nb 0", "PLAYERREMOVE a"} << "PLAYERLIST \nb 0" << false;
        QTest::newRow("no list before") << QStringList{"PLAYERSET a 1"} << "PLAYERLIST \na 1" << false;
        QTest::newRow("unknown player goes") << QStringList{"PLAYERLIST \na 1", "PLAYERREMOVE z"} << "PLAYERLIST \na 1" << false;
        QTest::newRow("room fills, in the lobby")
            << QStringList{"ROOMLIST \nMy Room 1/4\nx 1/2", "ROOMSET My Room 2/4"} << "ROOMLIST \nMy Room 2/4\nx 1/2" << false;
        QTest::newRow("room closes, in a room")
            << QStringList{"ROOMLIST \nMy Room 1/4\nx 1/2", "ROOMREMOVE My Room"} << "ROOMLIST \nx 1/2" << true;
        QTest::newRow("room made") << QStringList{"ROOMLIST", "ROOMSET r 1/8"} << "ROOMLIST \nr 1/8" << false;
    }
    void listDeltasShowAsWholeLists()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, whole);
        QFETCH(bool, roomMode);
        auto run = [roomMode](const QStringList &in) {
            LobbyWire w;
            frmMain *f = w.lobby();
            f->visibleControl(roomMode);
            for (const QString &line : in) {
                f->lstRoomPlayers->clear();
                f->lstRoomPlayers->addItem(QStringLiteral("a"));
                dispatch(w, line);
            }
            const auto &r = frmComTestPeer::received(*w.com);
            return QList<QStringList>{r.astrPlayers, r.astrRooms, items(f->lstPlayers), items(f->lstRooms),
                                      items(f->lstRoomPlayers)};
        };
        const QList<QStringList> byChanges = run(lines);
        const QList<QStringList> byWhole = run({whole});
        QCOMPARE(byChanges, byWhole);
        QVERIFY(!byChanges.at(2).isEmpty() || !byChanges.at(3).isEmpty());
    }

    void hostIp_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("address");
        QTest::newRow("client") << vbFalse << "HOSTIP 192.0.2.7" << "192.0.2.7";
        QTest::newRow("host keeps the old address") << vbTrue << "HOSTIP 192.0.2.7" << "198.51.100.1";
        QTest::newRow("client, no address") << vbFalse << "HOSTIP" << "198.51.100.1";
    }
    void hostIp()
    {
        QFETCH(qint16, host);
        QFETCH(QString, line);
        QFETCH(QString, address);
        LobbyWire w(host);
        session().gstrHostIP = QStringLiteral("198.51.100.1");
        frmMain *f = w.lobby();
        f->visibleControl(true);
        dispatch(w, line);
        QCOMPARE(session().gstrHostIP, address);
        QCOMPARE(settings::GetSetting(QStringLiteral("dbg"), QStringLiteral("hostip")), address);
        QCOMPARE(f->statusText(), QStringLiteral("ゲームが開始されました。アプリケーションに戻った後ホストに接続してください。"));
        QVERIFY(!f->cmdLeave->isEnabled());
        QVERIFY(sameImage(f->cmdLeave->icon().pixmap(QSize(32, 32), QIcon::Disabled), f->imgLeaveDisable->pixmap()));
    }

    void gameInfo_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<qint16>("gameId");
        QTest::addColumn<qint16>("minPlayers");
        QTest::addColumn<bool>("topmost");
        QTest::addColumn<bool>("reordered");
        QTest::newRow("False") << "GAMEINFO 12 4 0 False" << qint16(12) << qint16(4) << false << true;
        QTest::newRow("false in lower case") << "GAMEINFO 12 4 0 false" << qint16(12) << qint16(4) << false << true;
        QTest::newRow("zero") << "GAMEINFO 12 4 0 0" << qint16(12) << qint16(4) << false << true;
        QTest::newRow("True") << "GAMEINFO 12 4 0 TRUE" << qint16(12) << qint16(4) << true << false;
        // Missing or unreadable fields leave their values as they were.
        QTest::newRow("id only") << "GAMEINFO 12" << qint16(12) << qint16(2) << true << false;
        QTest::newRow("keyword only") << "GAMEINFO" << qint16(9) << qint16(2) << true << false;
        QTest::newRow("bad fields") << "GAMEINFO x 3 y maybe" << qint16(9) << qint16(3) << true << false;
    }
    void gameInfo()
    {
        QFETCH(QString, line);
        QFETCH(qint16, gameId);
        QFETCH(qint16, minPlayers);
        QFETCH(bool, topmost);
        QFETCH(bool, reordered);
        LobbyWire w;
        session().gintGameID = 9;
        session().gintMinPlayers = 2;
        session().gblnTopmost = true;
        Forms::get<dlgProbe>()->show();
        frmMain *f = w.lobby();
        f->show();
        f->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f));
        w.fake.orderCalls.clear();
        dispatch(w, line);
        QCOMPARE(session().gintGameID, gameId);
        QCOMPARE(session().gintMinPlayers, minPlayers);
        QCOMPARE(session().gblnTopmost, topmost);
        const QStringList expected = reordered ? QStringList{"topmost:frmMain:0", "bottom:frmMain", "top:frmMain",
                                                             "topmost:dlgProbe:0", "bottom:dlgProbe", "top:dlgProbe",
                                                             "top:frmMain"}
                                               : QStringList();
        QCOMPARE(w.fake.orderCalls, expected);
    }

    void deleteRoom_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::newRow("client is told") << vbFalse;
        QTest::newRow("host is not") << vbTrue;
    }
    void deleteRoom()
    {
        QFETCH(qint16, host);
        LobbyWire w(host);
        w.lobby()->visibleControl(true);
        w.lobby()->lstRoomPlayers->addItem(QStringLiteral("a"));
        dispatch(w, QStringLiteral("RMESSAGE a last words"));
        int playersWhileShown = -1;
        bool roomModeWhileShown = false;
        w.fake.onMessage = [&](const QString &) {
            playersWhileShown = w.lobby()->lstRoomPlayers->count();
            roomModeWhileShown = w.lobby()->isRoomMode();
        };
        dispatch(w, QStringLiteral("DELETEROOM"));
        if (host == vbFalse) {
            QCOMPARE(w.fake.messages.size(), 1);
            QCOMPARE(w.fake.messages.at(0).text, QStringLiteral("部屋が削除されました"));
            QCOMPARE(w.fake.messages.at(0).style, platform::mb::OKOnly | platform::mb::Information);
            QCOMPARE(playersWhileShown, 0);
            QVERIFY(roomModeWhileShown);
        } else {
            QVERIFY(w.fake.messages.isEmpty());
        }
        QVERIFY(!w.lobby()->isRoomMode());
        QCOMPARE(w.lobby()->lstRoomPlayers->count(), 0);
        // The room chat is emptied, also of the line that came just before.
        QCOMPARE(lines(w.lobby()->rtfRoomChat), QStringList());
    }

    // The start of the match is answered however many notices the lines before it
    // would open: none waits for a click (the fake box stays up for 100 ticks unless
    // it is closed).
    void startWinsOverNotices_data()
    {
        QTest::addColumn<QByteArrayList>("writes"); // the later ones while the first notice is up
        QTest::newRow("DELETEROOM and START in one write") << QByteArrayList{"DELETEROOM\r\nSTART\r\n"};
        QTest::newRow("two DELETEROOMs, then START") << QByteArrayList{"DELETEROOM\r\n", "DELETEROOM\r\n", "START\r\n"};
        QTest::newRow("30 DELETEROOMs, then START")
            << QByteArrayList{"DELETEROOM\r\n", QByteArray("DELETEROOM\r\n").repeated(29), "START\r\n"};
        QTest::newRow("30 DELETEROOMs and START in one write") << QByteArrayList{QByteArray("DELETEROOM\r\n").repeated(30) + "START\r\n"};
    }
    void startWinsOverNotices()
    {
        QFETCH(QByteArrayList, writes);
        LobbyWire w;
        QVERIFY(w.connect());
        w.lobby()->visibleControl(true);
        int ticks = 0;
        QObject::connect(frmComTestPeer::tmrError(*w.com), &QTimer::timeout, [&] { ++ticks; });
        int answeredByUser = 0;
        w.fake.onMessage = [&](const QString &) {
            if (w.fake.messages.size() == 1)
                for (qsizetype i = 1; i < writes.size(); ++i)
                    w.server.sendRaw(writes.at(i));
            const int closes = w.fake.closeAlls;
            const int until = ticks + 100;
            while (w.fake.closeAlls == closes && ticks < until)
                frmCom::waitForEvents();
            if (w.fake.closeAlls == closes)
                ++answeredByUser;
        };
        w.server.sendRaw(writes.at(0));
        QVERIFY(w.server.waitForLines(1, 60000));
        QCOMPARE(w.server.received, QStringList{QStringLiteral("QUIT")});
        QCOMPARE(answeredByUser, 0);
        QVERIFY(w.fake.messages.size() <= 1);
        QVERIFY(w.com->isClosing());
    }

    // A flood of lines that store what the server sent: one write per pass of the
    // event loop at most, the window's loop turns while lines wait, and the match
    // still starts with the last value stored.
    void serverWritesAreCoalesced_data()
    {
        QTest::addColumn<QString>("line"); // %1: the line's number
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("last");
        QTest::newRow("HOSTIP") << "HOSTIP 2001:db8::%1" << "dbg" << "hostip" << "2001:db8::5000";
        QTest::newRow("CHATDATA") << "CHATDATA p%1@" << "chat\\Game" << "1" << "p5000";
    }
    void serverWritesAreCoalesced()
    {
        QFETCH(QString, line);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, last);
        LobbyWire w;
        QVERIFY(w.connect());
        session().gstrGameName = QStringLiteral("Game");
        QByteArray bytes;
        for (int i = 1; i <= 5000; ++i)
            bytes += line.arg(i).toLatin1() + "\r\n";
        bytes += "START\r\n";
        int passes = 0;
        int passesWithLinesWaiting = 0;
        QTimer pass;
        pass.setInterval(0);
        QObject::connect(&pass, &QTimer::timeout, [&] {
            ++passes;
            if (frmComTestPeer::queuedLines(*w.com) > 0)
                ++passesWithLinesWaiting;
        });
        const qsizetype writesBefore = settings::writeCount();
        pass.start();
        w.server.sendRaw(bytes);
        QVERIFY(w.server.waitForLines(1, 120000));
        pass.stop();
        QCOMPARE(w.server.received, QStringList{QStringLiteral("QUIT")});
        const qsizetype writes = settings::writeCount() - writesBefore;
        QVERIFY2(writes >= 1 && writes <= passes + 1, qPrintable(QStringLiteral("%1 writes, %2 passes").arg(writes).arg(passes)));
        QVERIFY(passesWithLinesWaiting > 0);
        QCOMPARE(settings::GetSetting(section, key), last);
        QCOMPARE(settings::valueIn(w.env.readSettings(), section, key), last);
    }

    void chatDataAddsEachTime()
    {
        LobbyWire w;
        session().gstrGameName = QStringLiteral("Game");
        frmMain *f = w.lobby();
        f->txtLobbyChat->setEditText(QStringLiteral("typed"));
        dispatch(w, QStringLiteral("CHATDATA よろしく@がんばろう@"));
        dispatch(w, QStringLiteral("CHATDATA a@b@"));
        const QStringList four{"よろしく", "がんばろう", "a", "b"};
        for (QComboBox *input : {f->txtLobbyChat, f->txtRoomChat}) {
            QStringList got;
            for (int i = 0; i < input->count(); ++i)
                got << input->itemText(i);
            QCOMPARE(got, four);
        }
        QCOMPARE(f->txtLobbyChat->currentText(), QStringLiteral("typed"));
        QCOMPARE(settings::GetSetting(QStringLiteral("chat\\Game"), QStringLiteral("1")), QStringLiteral("a"));
        // A shorter line leaves the keys beyond it as they were.
        dispatch(w, QStringLiteral("CHATDATA c@tail"));
        QCOMPARE(settings::GetSetting(QStringLiteral("chat\\Game"), QStringLiteral("1")), QStringLiteral("c"));
        QCOMPARE(settings::GetSetting(QStringLiteral("chat\\Game"), QStringLiteral("2")), QStringLiteral("b"));
        QCOMPARE(f->txtRoomChat->count(), 5);
        QCOMPARE(settings::GetSetting(QStringLiteral("chat"), QStringLiteral("1")), QString());
    }

    void chart_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QList<qint16>>("values");
        const QList<qint16> old{9};
        QTest::newRow("day") << "DAYCHART x 13 5 7 11" << "13" << QList<qint16>{5, 7, 11};
        QTest::newRow("week") << "WEEKCHART 2001/4/19 1 2 3 4 5 6 7" << "2001/4/19" << QList<qint16>{1, 2, 3, 4, 5, 6, 7};
        QTest::newRow("bad value stays 0") << "DAYCHART x 13 5 many 7" << "13" << QList<qint16>{5, 0, 7};
        QTest::newRow("day, keyword only") << "DAYCHART" << "old" << old;
        QTest::newRow("week, keyword only") << "WEEKCHART" << "old" << old;
        QTest::newRow("day, no date") << "DAYCHART x" << "old" << QList<qint16>();
        QTest::newRow("day, no values") << "DAYCHART x 13" << "13" << QList<qint16>();
        QList<qint16> twentyFive;
        QString thirty = QStringLiteral("DAYCHART x 0");
        for (int i = 1; i <= 30; ++i) {
            thirty += QStringLiteral(" %1").arg(i);
            if (i <= 25)
                twentyFive << qint16(i);
        }
        QTest::newRow("more than 25 values") << thirty << "0" << twentyFive;
    }
    void chart()
    {
        QFETCH(QString, line);
        QFETCH(QString, date);
        QFETCH(QList<qint16>, values);
        LobbyWire w;
        frmComTestPeer::received(*w.com).strChartDate = QStringLiteral("old");
        frmComTestPeer::received(*w.com).aintChart = {9};
        frmComTestPeer::received(*w.com).blnChartReady = false;
        dispatch(w, line);
        QVERIFY(frmComTestPeer::received(*w.com).blnChartReady);
        QCOMPARE(frmComTestPeer::received(*w.com).strChartDate, date);
        QCOMPARE(frmComTestPeer::received(*w.com).aintChart, values);
    }

    void shortLinesSkipWhatTheyLack_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("chat");
        QTest::addColumn<QString>("status");
        QTest::addColumn<qint16>("errCode");
        QTest::newRow("LMESSAGE without a name") << "LMESSAGE" << "" << "before" << qint16(5);
        QTest::newRow("LMESSAGE without text") << "LMESSAGE taro" << "<taro> " << "before" << qint16(5);
        QTest::newRow("LMESSAGE keeps spaces") << "LMESSAGE taro  a  b " << "<taro>  a  b " << "before" << qint16(5);
        QTest::newRow("RMESSAGE without a name") << "RMESSAGE" << "" << "before" << qint16(5);
        QTest::newRow("PLAYERINFO without a name") << "PLAYERINFO" << "" << "before" << qint16(5);
        QTest::newRow("PLAYERINFO") << "PLAYERINFO taro hello  world" << "" << "taroのコメント : hello  world" << qint16(5);
        QTest::newRow("PLAYERINFO without comment") << "PLAYERINFO taro" << "" << "taroのコメント : " << qint16(5);
        QTest::newRow("-ERR without code") << "-ERR" << "" << "before" << qint16(5);
        QTest::newRow("-ERR with a word") << "-ERR full" << "" << "before" << qint16(0);
        QTest::newRow("-ERR with code") << "-ERR 1 exists" << "" << "before" << qint16(1);
        QTest::newRow("CHATDATA keyword only") << "CHATDATA" << "" << "before" << qint16(5);
        QTest::newRow("unknown keyword") << "lmessage taro hi" << "" << "before" << qint16(5);
    }
    void shortLinesSkipWhatTheyLack()
    {
        QFETCH(QString, line);
        QFETCH(QString, chat);
        QFETCH(QString, status);
        QFETCH(qint16, errCode);
        LobbyWire w;
        session().gintErrCode = 5;
        w.lobby()->setStatusText(QStringLiteral("before"));
        QVERIFY(dispatcher::dispatchLine(*w.com, line));
        QCOMPARE(lines(w.lobby()->rtfLobbyChat), chat.isEmpty() ? QStringList() : QStringList{chat});
        QVERIFY(lines(w.lobby()->rtfRoomChat).isEmpty());
        QCOMPARE(w.lobby()->statusText(), status);
        QCOMPARE(session().gintErrCode, errCode);
        QCOMPARE(w.lobby()->txtLobbyChat->count(), 0);
    }

    void debugEcho()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        frmMain::m().blnDisplayDbgMessage = true;
        w.server.sendRaw("WHAT is this\r\nLMESSAGE taro hi\r\n");
        QTRY_COMPARE(lines(w.lobby()->rtfLobbyChat).size(), 3);
        QCOMPARE(lines(w.lobby()->rtfLobbyChat),
                 (QStringList{"WHAT is this", "LMESSAGE taro hi", "<taro> hi"}));
        // Once closing, only the first line of an arrival is echoed.
        frmComTestPeer::blnClosing(*w.com) = true;
        w.server.sendRaw("A\r\nB\r\n");
        QTRY_COMPARE(lines(w.lobby()->rtfLobbyChat).size(), 4);
        QTest::qWait(50);
        QCOMPARE(lines(w.lobby()->rtfLobbyChat).last(), QStringLiteral("A"));
        QCOMPARE(lines(w.lobby()->rtfLobbyChat).size(), 4);
    }

    // A handler of the lobby window waits for a reply; meanwhile a line takes the
    // window away. The handler must still find its own widgets when it resumes.
    void windowUnloadedWhileItsHandlerWaits_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("start") << "start";
        QTest::newRow("line drops") << "drop";
    }
    void windowUnloadedWhileItsHandlerWaits()
    {
        QFETCH(QString, how);
        LobbyWire w;
        QVERIFY(w.connect());
        if (how == QLatin1String("start"))
            w.server.once(QStringLiteral("CREATEROOM"), {QStringLiteral("HOSTIP 192.0.2.7"), QStringLiteral("START")});
        else
            w.server.onLine = [&](const QString &) { w.server.closeClient(); };
        w.fake.answers.push_back(platform::mb::No);

        frmMain *f = w.lobby();
        qint16 result = 0;
        bool stillCurrent = true;
        bool ran = false;
        // Only the handlers below, not the window's own.
        QObject::disconnect(f->cmdEnter, nullptr, f, nullptr);
        QObject::connect(f->cmdEnter, &QToolButton::clicked, f, [&, f] {
            result = frmCom::get()->printlnAndWait(QStringLiteral("CREATEROOM x"));
            stillCurrent = Forms::isCurrent(f);
            if (!stillCurrent)
                return;
            f->visibleControl(true);
        });
        QObject::connect(f->cmdEnter, &QToolButton::clicked, f, [&, f] {
            // Runs after the waiting handler: the parked window is still whole.
            f->setStatusText(QStringLiteral("after"));
            ran = f->statusText() == QLatin1String("after");
        });
        f->cmdEnter->click();
        QVERIFY(ran);
        QVERIFY(!stillCurrent);
        QCOMPARE(result, qint16(StatusWaiting));
        QVERIFY(!Forms::isLoaded(QStringLiteral("frmMain")));
        Forms::collect();
        if (how == QLatin1String("start"))
            QCOMPARE(w.server.received, (QStringList{"CREATEROOM x", "QUIT"}));
        else
            QCOMPARE(w.fake.messageTexts(), QStringList{QStringLiteral("回線が切断されました。再接続しますか？")});
    }

    // Whatever a server puts in a chat line or a comment, it shows as one line of a
    // bounded length, and nothing in it poses as a line of someone else.
    void hostileTextShowsAsOneBoundedLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("status"); // shown in the status bar, else in the lobby chat
        QTest::addColumn<QString>("shown");
        const QString mib(1 << 20, u'x');
        QTest::newRow("1 MiB of text") << ("LMESSAGE taro " + mib) << false
                                       << QString("<taro> " + mib).left(dispatcher::kDisplayChars - 1) + "…";
        QTest::newRow("1 MiB name") << ("LMESSAGE " + mib + " hi") << false
                                    << ("<" + QString(dispatcher::kDisplayChars - 2, u'x') + "…");
        QTest::newRow("line breaks") << QStringLiteral("LMESSAGE taro hi\n<hanako> pay me\r\x2028x\x2029y\vz\x85")
                                     << false << QStringLiteral("<taro> hi <hanako> pay me  x y z ");
        QTest::newRow("line feeds only") << ("LMESSAGE a " + QString(1 << 20, u'\n')) << false
                                         << ("<a> " + QString(dispatcher::kDisplayChars - 5, u' ') + "…");
        QTest::newRow("exactly the limit") << ("LMESSAGE a " + QString(dispatcher::kDisplayChars - 4, u'y')) << false
                                           << ("<a> " + QString(dispatcher::kDisplayChars - 4, u'y'));
        QTest::newRow("character not cut in half")
            << ("LMESSAGE a " + QString(dispatcher::kDisplayChars - 6, u'y') + QString(100, QChar(0xd83d)).replace(QString(QChar(0xd83d)), QStringLiteral("\U0001F600")))
            << false << ("<a> " + QString(dispatcher::kDisplayChars - 6, u'y') + QStringLiteral("…"));
        QTest::newRow("comment") << ("PLAYERINFO taro a\nb" + mib) << true
                                 << ("taroのコメント : a b" + QString(dispatcher::kDisplayChars - 4, u'x') + "…");
    }
    void hostileTextShowsAsOneBoundedLine()
    {
        QFETCH(QString, line);
        QFETCH(bool, status);
        QFETCH(QString, shown);
        LobbyWire w;
        QVERIFY(dispatcher::dispatchLine(*w.com, line));
        if (status) {
            QCOMPARE(w.lobby()->statusText(), shown);
        } else {
            QCOMPARE(lines(w.lobby()->rtfLobbyChat), QStringList{shown});
            QCOMPARE(w.lobby()->rtfLobbyChat->blockCount(), 1);
        }
    }

    // Markup from a player or the server is shown as the characters it is made of,
    // in every window: an image tag must not load a file, bold must not paint.
    void markupIsShownAsText_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("roomMode"); // the room's name (from the room list) is in the labels
        const QString img = QStringLiteral("<img src=/nonexistent/x.png>");
        const QString big = QStringLiteral("<font size=7 color=red>管理者: パスワードを再入力</font>");
        QTest::newRow("comment") << ("PLAYERINFO taro " + img) << false;
        QTest::newRow("name with comment") << ("PLAYERINFO <b>taro</b> " + big) << false;
        QTest::newRow("lobby chat") << ("LMESSAGE <b>x</b> " + img) << false;
        QTest::newRow("room chat") << ("RMESSAGE <b>x</b> " + big) << true;
        QTest::newRow("players") << ("PLAYERLIST <b>x</b>\n" + img) << false;
        QTest::newRow("rooms") << ("ROOMLIST " + img + "\n<i>3</i>") << false;
        QTest::newRow("room players") << ("ROOMPLAYERLIST " + big) << true;
        QTest::newRow("phrases") << ("CHATDATA " + img + "@<b>x</b>@") << false;
        QTest::newRow("unknown line echoed") << ("<b>WHAT</b> " + img) << false;
    }
    void markupIsShownAsText()
    {
        QFETCH(QString, line);
        QFETCH(bool, roomMode);
        LobbyWire w;
        frmMain::m().blnDisplayDbgMessage = true;
        session().gstrGameName = QStringLiteral("<b>Game</b>");
        frmMain *f = w.lobby();
        if (roomMode) {
            frmMain::m().mstrRoomName = QStringLiteral("<img src=/nonexistent/x.png><b>room</b>");
            f->visibleControl(true);
        }
        dispatch(w, line);
        loadEveryWindow();
        QCoreApplication::processEvents();
        QCOMPARE(labelsReadAsMarkup(), QStringList());
        if (line.startsWith(QStringLiteral("PLAYERINFO")))
            QVERIFY(f->statusText().contains(line.section(u' ', 2)));
        if (roomMode)
            QVERIFY(f->lblRoom->text().contains(frmMain::m().mstrRoomName));
    }

    void debugEchoIsOneLine()
    {
        LobbyWire w;
        frmMain::m().blnDisplayDbgMessage = true;
        dispatch(w, QStringLiteral("WHAT\nLMESSAGE x forged"));
        QCOMPARE(lines(w.lobby()->rtfLobbyChat), QStringList{"WHAT LMESSAGE x forged"});
    }

    // A game gets its first hundred phrases stored in one write and shown; the rest
    // are counted, also over several lines.
    void chatDataIsCapped()
    {
        LobbyWire w;
        session().gstrGameName = QStringLiteral("Game");
        QStringList phrases;
        for (int i = 1; i <= 2000; ++i)
            phrases << QStringLiteral("p%1").arg(i);
        dispatch(w, protocol::chatDataLine(phrases));
        const QString section = QStringLiteral("chat\\Game");
        QCOMPARE(settings::GetSetting(section, QStringLiteral("1")), QStringLiteral("p1"));
        QCOMPARE(settings::GetSetting(section, QStringLiteral("100")), QStringLiteral("p100"));
        QCOMPARE(settings::GetSetting(section, QStringLiteral("101")), QString());
        frmMain *f = w.lobby();
        QCOMPARE(f->txtLobbyChat->count(), 100);
        QCOMPARE(f->txtRoomChat->itemText(99), QStringLiteral("p100"));
        QCOMPARE(frmComTestPeer::received(*w.com).ignoredChatPhrases, qsizetype(1900));
        // The lists keep room for the user's own fifteen, and no more.
        dispatch(w, QStringLiteral("CHATDATA a@b@c@d@e@f@g@h@i@j@k@l@m@n@o@p@q@"));
        QCOMPARE(f->txtLobbyChat->count(), 115);
        QCOMPARE(f->txtRoomChat->itemText(114), QStringLiteral("o"));
        QCOMPARE(frmComTestPeer::received(*w.com).ignoredChatPhrases, qsizetype(1902));
        QCOMPARE(settings::GetSetting(section, QStringLiteral("1")), QStringLiteral("a"));
        QCOMPARE(settings::GetSetting(section, QStringLiteral("17")), QStringLiteral("q"));
        QCOMPARE(settings::GetSetting(section, QStringLiteral("18")), QStringLiteral("p18"));
    }

    // While the room-deleted notice is up nothing is read; a server that goes on
    // sending fills a bounded buffer and is then treated as a dropped line.
    void floodDuringANoticeDropsTheLine()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.lobby()->visibleControl(true);
        w.fake.answers = {platform::mb::OK, platform::mb::No};
        qint64 mostBuffered = 0;
        w.fake.onMessage = [&](const QString &text) {
            if (text != QStringLiteral("部屋が削除されました"))
                return;
            const QByteArray chunk = "LMESSAGE flood " + QByteArray(64 * 1024, 'z') + "\r\n";
            for (qsizetype sent = 0; sent <= frmCom::kMaxQueuedBytes + 2 * chunk.size(); sent += chunk.size())
                w.server.sendRaw(chunk);
            while (w.com->isConnected()) {
                frmCom::waitForEvents();
                mostBuffered = std::max(mostBuffered, frmComTestPeer::wskTcp(*w.com)->bytesAvailable());
            }
        };
        w.server.sendRaw("DELETEROOM\r\nLMESSAGE after notice\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(w.fake.messages.size(), 2, 60000);
        QCOMPARE(w.fake.messages.at(1).text, QStringLiteral("回線が切断されました。再接続しますか？"));
        QVERIFY(!w.com->isConnected());
        QVERIFY2(mostBuffered <= frmCom::kMaxQueuedBytes, qPrintable(QString::number(mostBuffered)));
        // Nothing that came after the notice was shown.
        QTest::qWait(50);
        QCOMPARE(lines(w.lobby()->rtfLobbyChat), QStringList());
        QVERIFY(!session().gblnRetry);
    }

    // The line drops while the room-deleted notice is up: the dispatcher carries on
    // with a fresh window.
    void lineDropsDuringDeletedRoomNotice()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        frmMain *f = w.lobby();
        frmMain::m().mstrRoomName = QStringLiteral("abc");
        f->visibleControl(true);
        w.fake.onMessage = [&](const QString &text) {
            if (text != QStringLiteral("部屋が削除されました"))
                return;
            w.server.closeClient();
            QElapsedTimer t;
            t.start();
            while (Forms::isLoaded(QStringLiteral("frmMain")) && t.elapsed() < 5000)
                frmCom::waitForEvents();
        };
        w.server.sendRaw("DELETEROOM\r\n");
        QTRY_COMPARE(w.fake.messages.size(), 2);
        QTRY_VERIFY(Forms::isLoaded(QStringLiteral("frmMain")));
        QVERIFY(Forms::find(QStringLiteral("frmMain")) != f);
        QVERIFY(!w.lobby()->isRoomMode());
        Forms::collect();
    }
};

QTEST_MAIN(TestDispatcher)
#include "tst_dispatcher.moc"
