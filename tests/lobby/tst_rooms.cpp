// Rooms, the room-name dialog and the host's start, against a scripted server.
#include "net/lobbywire.h"
#include "wire/codec.h"
#include "support/typing.h"

#include "lobby/dlgInputRoomName.h"
#include "net/dispatcher.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>

namespace {
void dispatch(LobbyWire &w, const QString &line) { dispatcher::dispatchLine(*w.com, line); }

// The replies to a command, all in one arrival.
void answer(LobbyWire &w, const QString &keyword, const QStringList &replies)
{
    w.server.onLine = [&w, keyword, replies](const QString &line) {
        if (line.startsWith(keyword) && !replies.isEmpty())
            w.server.sendRaw(cp932::encode(replies.join(QStringLiteral("\r\n"))) + "\r\n");
    };
}

void chooseRoomQuietly(frmMain *f, int row)
{
    const QSignalBlocker quiet(f->lstRooms);
    f->lstRooms->setCurrentRow(row);
}
} // namespace

class TestRooms : public QObject {
    Q_OBJECT

private slots:
    // Host: create; client: enter the chosen room. Lists that come with the reply
    // still show once the window is in room mode.
    void createOrEnter_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("style");
        const int crit = platform::mb::Critical;
        QTest::newRow("created") << vbTrue << "+OK" << "" << 0;
        QTest::newRow("name taken") << vbTrue << "-ERR 1" << "同じ名前の部屋が存在します。他の名前の部屋を作成してください" << crit;
        QTest::newRow("not created") << vbTrue << "-ERR 3" << "部屋が作れませんでした" << crit;
        // The "-ERR 1" of an earlier command is no answer to this one.
        QTest::newRow("no reply") << vbTrue << "" << "部屋が作れませんでした" << crit;
        QTest::newRow("entered") << vbFalse << "+OK" << "" << 0;
        QTest::newRow("full") << vbFalse << "-ERR 1" << "この部屋は満室です" << int(platform::mb::Information);
        QTest::newRow("not entered") << vbFalse << "-ERR 2" << "参加できません" << crit;
    }
    void createOrEnter()
    {
        QFETCH(qint16, host);
        QFETCH(QString, reply);
        QFETCH(QString, message);
        QFETCH(int, style);
        LobbyWire w(host);
        QVERIFY(w.connect());
        const QString name = host == vbTrue ? QStringLiteral("my room") : QStringLiteral("abc  ");
        answer(w, host == vbTrue ? "CREATEROOM" : "ENTERROOM",
               reply == QLatin1String("+OK") ? QStringList{reply, "ROOMPLAYERLIST \nh 1\nme 0", "ROOMLIST \nabc 2/8"}
                                             : QStringList{reply}.filter(QStringLiteral("ERR")));
        w.fake.handlers[QStringLiteral("dlgInputRoomName")] = [](QDialog *d) {
            static_cast<dlgInputRoomName *>(d)->txtName->setText(QStringLiteral("my room"));
            static_cast<dlgInputRoomName *>(d)->OKButton->click();
        };
        frmMain *f = w.lobby();
        // An empty entry makes no row: row 0 is entry 1.
        dispatch(w, QStringLiteral("ROOMLIST \n\nabc 1/8"));
        chooseRoomQuietly(f, 0);
        session().gintErrCode = 1;
        f->cmdEnter->click();
        QCOMPARE(w.server.received, QStringList{(host == vbTrue ? "CREATEROOM " : "ENTERROOM ") + name});
        QCOMPARE(w.fake.messageTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(f->isRoomMode(), message.isEmpty());
        QVERIFY(!Forms::isLoaded(QStringLiteral("dlgInputRoomName")));
        if (!message.isEmpty()) {
            QCOMPARE(w.fake.messages.first().style, style);
            return;
        }
        QCOMPARE(frmMain::m().mstrRoomName, name);
        QCOMPARE(f->lblRoom->text(), "部屋チャット(" + name + ")");
        QCOMPARE(items(f->lstRoomPlayers), (QStringList{"h 1", "me 0"}));
    }

    void emptyNameAsksAgainNoRoomChosen()
    {
        LobbyWire w(vbTrue);
        QVERIFY(w.connect());
        QList<QDialog *> shown;
        w.fake.handlers[QStringLiteral("dlgInputRoomName")] = [&](QDialog *d) {
            shown << d;
            auto *dlg = static_cast<dlgInputRoomName *>(d);
            (shown.size() == 1 ? dlg->OKButton : dlg->CancelButton)->click();
        };
        w.lobby()->cmdEnter->click();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown.at(0), shown.at(1)); // as it was left
        session().gblnHost = vbFalse;
        w.lobby()->cmdEnter->click();
        QCOMPARE(w.fake.messageTexts(), (QStringList{"ゲーム名を入力してください", "存在する部屋を選択してください"}));
        QTest::qWait(50);
        QVERIFY(w.server.received.isEmpty());
    }

    void leave_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("roomMode");
        QTest::newRow("host deletes") << vbTrue << "+OK" << "DELETEROOM r 1" << false;
        QTest::newRow("host refused") << vbTrue << "-ERR 1" << "DELETEROOM r 1" << true;
        QTest::newRow("client leaves") << vbFalse << "+OK" << "LEAVEROOM" << false;
        QTest::newRow("client refused still leaves") << vbFalse << "-ERR 2" << "LEAVEROOM" << false;
    }
    void leave()
    {
        QFETCH(qint16, host);
        QFETCH(QString, reply);
        QFETCH(QString, sent);
        QFETCH(bool, roomMode);
        LobbyWire w(host);
        QVERIFY(w.connect());
        answer(w, sent.section(u' ', 0, 0), {reply});
        frmMain *f = w.lobby();
        frmMain::m().mstrRoomName = QStringLiteral("r 1");
        f->visibleControl(true);
        dispatch(w, QStringLiteral("ROOMPLAYERLIST \nh 1\nc 0"));
        f->cmdLeave->click();
        QCOMPARE(w.server.received, QStringList{sent});
        QCOMPARE(f->isRoomMode(), roomMode);
        QCOMPARE(f->lstRoomPlayers->count(), roomMode ? 2 : 0);
        QCOMPARE(w.fake.messageTexts(), roomMode ? QStringList{"部屋が削除できません"} : QStringList{});
    }

    // Choosing a row by keyboard or mouse asks the server; a refill asks nothing.
    void listClicks()
    {
        LobbyWire w(vbFalse);
        QVERIFY(w.connect());
        w.server.once(QStringLiteral("ROOMPLAYERLIST"), {"+OK", "ROOMPLAYERLIST \nh 1"});
        w.server.once(QStringLiteral("ROOMPLAYERLIST"), {"-ERR 2"});
        frmMain *f = w.lobby();
        dispatch(w, QStringLiteral("ROOMLIST \nabc 1/8\nMy Room 2/8"));
        dispatch(w, QStringLiteral("PLAYERLIST \ntaro 1\n\nhanako 0"));
        f->lstRooms->setCurrentRow(1);
        QTRY_COMPARE(items(f->lstRoomPlayers), QStringList{"h 1"});
        // The row already chosen, clicked again.
        QTest::mouseClick(f->lstRooms->viewport(), Qt::LeftButton, {}, f->lstRooms->visualItemRect(f->lstRooms->item(1)).center());
        QTRY_COMPARE(w.fake.messageTexts(), QStringList{"存在しません"});
        QCOMPARE(f->lstRoomPlayers->count(), 0);
        QTest::mouseClick(f->lstPlayers->viewport(), Qt::LeftButton, {}, f->lstPlayers->visualItemRect(f->lstPlayers->item(1)).center());
        QVERIFY(w.server.waitForLines(3));
        dispatch(w, QStringLiteral("ROOMLIST \nabc 1/8"));
        dispatch(w, QStringLiteral("PLAYERLIST \ntaro 1"));
        QTest::qWait(50);
        QCOMPARE(w.server.received, (QStringList{"ROOMPLAYERLIST My Room  ", "ROOMPLAYERLIST My Room  ", "PLAYERINFO hanako 0"}));
        f->lstPlayers_Click();
        QCOMPARE(w.fake.messageTexts().last(), QStringLiteral("ロビー内のプレイヤーより表示するユーザーをクリックしてください。"));
    }

    // While a command waits, the controls that would start another one are shown
    // disabled: a second room picked or Enter clicked meanwhile is refused where the
    // player sees it, and the window keeps showing what was asked.
    void busyDuringWait()
    {
        LobbyWire w(vbFalse);
        QVERIFY(w.connect());
        frmMain *f = w.lobby();
        dispatch(w, QStringLiteral("ROOMLIST \nabc 1/8\nMy Room 2/8"));
        QStringList during;
        w.server.onLine = [&](const QString &line) {
            if (!line.startsWith(QLatin1String("ROOMPLAYERLIST")))
                return;
            during << QStringLiteral("%1%2%3").arg(int(f->lstRooms->isEnabled())).arg(int(f->cmdEnter->isEnabled()))
                          .arg(int(f->mnuChageInfo->isEnabled()));
            QTest::mouseClick(f->lstRooms->viewport(), Qt::LeftButton, {},
                              f->lstRooms->visualItemRect(f->lstRooms->item(1)).center());
            f->cmdEnter->click();
            w.server.sendRaw("+OK\r\nROOMPLAYERLIST \nh 1\r\n");
        };
        QTest::mouseClick(f->lstRooms->viewport(), Qt::LeftButton, {},
                          f->lstRooms->visualItemRect(f->lstRooms->item(0)).center());
        QTRY_COMPARE(items(f->lstRoomPlayers), QStringList{"h 1"});
        QTRY_VERIFY(f->lstRooms->isEnabled());
        QCOMPARE(during, QStringList{"000"});
        QCOMPARE(f->lstRooms->currentRow(), 0);
        QVERIFY(f->lstRooms->item(0)->isSelected() && !f->lstRooms->item(1)->isSelected());
        QVERIFY(f->cmdEnter->isEnabled() && f->mnuChageInfo->isEnabled());
        QTest::qWait(50);
        QCOMPARE(w.server.received, QStringList{"ROOMPLAYERLIST abc  "});
    }

    // What the dispatcher enables or disables during a wait shows once it ends.
    void changesDuringWaitShowAfter()
    {
        LobbyWire w(vbTrue);
        QVERIFY(w.connect());
        session().gintMinPlayers = 2;
        frmMain *f = w.lobby();
        f->visibleControl(true);
        dispatch(w, QStringLiteral("ROOMPLAYERLIST \nme 1"));
        QVERIFY(!f->cmdStart->isEnabled() && f->cmdLeave->isEnabled());
        bool startDuring = true;
        w.server.onLine = [&](const QString &line) {
            if (!line.startsWith(QLatin1String("DELETEROOM")))
                return;
            w.server.sendLine(QStringLiteral("ROOMPLAYERLIST \nme 1\nc 0"));
            QTRY_COMPARE(f->lstRoomPlayers->count(), 2);
            startDuring = f->cmdStart->isEnabled();
            w.server.sendLine(QStringLiteral("-ERR 1"));
        };
        f->cmdLeave->click();
        QCOMPARE(w.fake.messageTexts(), QStringList{"部屋が削除できません"});
        QVERIFY(!startDuring);
        QVERIFY(f->isRoomMode() && f->cmdStart->isEnabled() && f->cmdLeave->isEnabled());
    }

    void start_data()
    {
        QTest::addColumn<QString>("startReply");
        QTest::addColumn<bool>("closes");
        QTest::newRow("accepted") << "+OK" << true;
        QTest::newRow("no reply") << "" << true;
        QTest::newRow("refused: stays in the room") << "-ERR 2" << false;
    }
    void start()
    {
        QFETCH(QString, startReply);
        QFETCH(bool, closes);
        LobbyWire w(vbTrue);
        QVERIFY(w.connect());
        session().gintMinPlayers = 2;
        frmMain *f = w.lobby();
        f->visibleControl(true);
        dispatch(w, QStringLiteral("ROOMPLAYERLIST \nme 1\nc 0"));
        bool lockedWhileWaiting = false;
        w.server.onLine = [&](const QString &line) {
            if (line.startsWith(QLatin1String("IP "))) {
                lockedWhileWaiting = !f->cmdStart->isEnabled() && !f->cmdLeave->isEnabled()
                    && f->statusText() == QStringLiteral("アプリケーションに制御が戻った後クライアントが接続するまで待つ必要があります。");
                f->cmdStart->setEnabled(true);
                f->cmdStart->click(); // ignored while waiting
                f->cmdStart->setEnabled(false);
                w.server.sendLine(QStringLiteral("+OK"));
            } else if (!startReply.isEmpty()) {
                w.server.sendLine(startReply);
            }
        };
        f->cmdStart->click();
        QVERIFY(lockedWhileWaiting);
        QCOMPARE(w.server.received, (QStringList{"IP 127.0.0.1", "START"}));
        QCOMPARE(Forms::isCurrent(f), !closes);
        QCOMPARE(session().gLobbyEnd, closes ? LobbyEnd::MatchStarted : LobbyEnd::None);
        QCOMPARE(w.fake.messageTexts(), closes ? QStringList{} : QStringList{"ゲームを開始できませんでした"});
        if (!closes)
            QVERIFY(f->isRoomMode() && f->cmdLeave->isEnabled() && f->cmdStart->isEnabled());
        Forms::collect();
    }

    void roomNameKeys_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("beeps");
        QTest::addColumn<bool>("enterCloses");
        const QString a17(17, QChar(0x3042));
        QTest::newRow("space kept") << "" << "a b" << "a b" << 0 << true;
        QTest::newRow("36 bytes: keys and Enter refused") << a17 + u'\x3042' << "a" << a17 + u'\x3042' << 2 << false;
        QTest::newRow("35 bytes: double-byte refused") << a17 + u'a' << QString::fromUtf8("い") << a17 + u'a' << 1 << true;
        QTest::newRow("dependent dropped silently") << "" << QString::fromUtf8("a①") << "a" << 0 << true;
    }
    void roomNameKeys()
    {
        QFETCH(QString, before);
        QFETCH(QString, typed);
        QFETCH(QString, after);
        QFETCH(int, beeps);
        QFETCH(bool, enterCloses);
        LobbyWire w(vbTrue);
        auto *dlg = Forms::get<dlgInputRoomName>();
        dlg->show();
        dlg->txtName->setText(before);
        typeInto(dlg->txtName, typed);
        dlg->txtName->insert(QStringLiteral("\nQUIT")); // pasted: refused with a beep
        QTest::keyClick(dlg->txtName, Qt::Key_Return);
        QCOMPARE(dlg->txtName->text(), after);
        QCOMPARE(w.fake.beeps, beeps + 1);
        QCOMPARE(dlg->isVisible(), !enterCloses);
        QCOMPARE(dlgInputRoomName::m().mblnOK, enterCloses);
        dlg->OKButton->click(); // OK does not look at the text
        QVERIFY(dlgInputRoomName::m().mblnOK);
        dlg->show();
        dlg->close(); // the close box cancels and keeps the dialog
        QVERIFY(Forms::isCurrent(dlg) && !dlg->isVisible() && !dlgInputRoomName::m().mblnOK);
    }

    // The line drops while a command waits: only the reconnect question shows.
    void lineDropsWhileWaiting_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("command");
        QTest::newRow("create") << vbTrue << "enter";
        QTest::newRow("enter") << vbFalse << "enter";
        QTest::newRow("leave") << vbFalse << "leave";
        QTest::newRow("start") << vbTrue << "start";
        QTest::newRow("room players") << vbFalse << "rooms";
    }
    void lineDropsWhileWaiting()
    {
        QFETCH(qint16, host);
        QFETCH(QString, command);
        LobbyWire w(host);
        QVERIFY(w.connect());
        w.server.onLine = [&](const QString &) { w.server.closeClient(); };
        w.fake.answers.push_back(platform::mb::No);
        w.fake.handlers[QStringLiteral("dlgInputRoomName")] = [](QDialog *d) {
            static_cast<dlgInputRoomName *>(d)->txtName->setText(QStringLiteral("x"));
            static_cast<dlgInputRoomName *>(d)->OKButton->click();
        };
        frmMain *f = w.lobby();
        dispatch(w, QStringLiteral("ROOMLIST \nabc 1/8"));
        chooseRoomQuietly(f, 0);
        if (command == QLatin1String("leave") || command == QLatin1String("start"))
            f->visibleControl(true);
        if (command == QLatin1String("rooms"))
            f->lstRooms_Click();
        else if (command == QLatin1String("start"))
            f->cmdStart_Click();
        else
            (command == QLatin1String("leave") ? f->cmdLeave : f->cmdEnter)->click();
        QCOMPARE(w.fake.messageTexts(), QStringList{"回線が切断されました。再接続しますか？"});
        QVERIFY(!Forms::isCurrent(f));
        QCOMPARE(w.server.received.size(), 1);
        Forms::collect();
    }
};

QTEST_MAIN(TestRooms)
#include "tst_rooms.moc"
