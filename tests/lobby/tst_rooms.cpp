// Rooms and the start of the match, against a scripted server: what goes on the
// wire, the window's mode and lists, and the messages.
#include "net/lobbywire.h"
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
QStringList items(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

void dispatch(LobbyWire &w, const QString &line)
{
    dispatcher::dispatchLine(*w.com, line);
}

// The replies of one command, all in one arrival.
void answer(LobbyWire &w, const QString &keyword, const QStringList &replies)
{
    w.server.onLine = [&w, keyword, replies](const QString &line) {
        if (line.startsWith(keyword) && !replies.isEmpty())
            w.server.sendRaw(replies.join(QStringLiteral("\r\n")).toUtf8() + "\r\n");
    };
}

void typeRoomName(FakePlatform &fake, const QString &name)
{
    fake.handlers[QStringLiteral("dlgInputRoomName")] = [name](QDialog *d) {
        auto *dlg = static_cast<dlgInputRoomName *>(d);
        dlg->txtName->setText(name);
        dlg->OKButton->click();
    };
}
} // namespace

class TestRooms : public QObject {
    Q_OBJECT

private slots:
    void create_data()
    {
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<qint16>("oldErrCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("roomPlayers");
        QTest::newRow("accepted, lists in the same arrival")
            << QStringList{"+OK", "ROOMPLAYERLIST \nme 1", "ROOMLIST \nmy room 1/8"} << qint16(0) << QString()
            << QStringList{"me 1"};
        QTest::newRow("name taken") << QStringList{"-ERR 1"} << qint16(0)
                                    << "同じ名前の部屋が存在します。他の名前の部屋を作成してください" << QStringList{};
        QTest::newRow("refused") << QStringList{"-ERR 3 bad"} << qint16(0) << "部屋が作れませんでした" << QStringList{};
        // A "-ERR 1" of an earlier command is no answer to this one.
        QTest::newRow("no reply") << QStringList{} << qint16(1) << "部屋が作れませんでした" << QStringList{};
    }
    void create()
    {
        QFETCH(QStringList, replies);
        QFETCH(qint16, oldErrCode);
        QFETCH(QString, message);
        QFETCH(QStringList, roomPlayers);
        LobbyWire w(vbTrue);
        QVERIFY(w.connect());
        answer(w, QStringLiteral("CREATEROOM"), replies);
        typeRoomName(w.fake, QStringLiteral("my room"));
        gintErrCode = oldErrCode;
        frmMain *f = w.lobby();
        f->cmdEnter->click();
        QCOMPARE(w.server.received, QStringList{"CREATEROOM my room"});
        QCOMPARE(w.fake.messageTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(f->isRoomMode(), message.isEmpty());
        QCOMPARE(items(f->lstRoomPlayers), roomPlayers);
        QVERIFY(!Forms::isLoaded(QStringLiteral("dlgInputRoomName")));
        if (message.isEmpty()) {
            QCOMPARE(frmMain::m().mstrRoomName, QStringLiteral("my room"));
            QCOMPARE(f->lblRoom->text(), QStringLiteral("部屋チャット(my room)"));
        } else {
            QCOMPARE(w.fake.messages.first().style, int(platform::mb::Critical));
        }
    }

    // Empty name: the same dialog again, until the user cancels.
    void emptyNameAsksAgainCancelSendsNothing()
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
        QCOMPARE(shown.at(0), shown.at(1));
        QCOMPARE(w.fake.messageTexts(), QStringList{"ゲーム名を入力してください"});
        QCOMPARE(w.fake.messages.first().style, int(platform::mb::Exclamation));
        QTest::qWait(50);
        QVERIFY(w.server.received.isEmpty());
        QVERIFY(!w.lobby()->isRoomMode());
    }

    void enter_data()
    {
        QTest::addColumn<bool>("select");
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("style");
        QTest::newRow("accepted") << true << QStringList{"+OK", "ROOMPLAYERLIST \nh 1\nme 0", "ROOMLIST \nabc 2/8"}
                                  << QString() << 0;
        QTest::newRow("full") << true << QStringList{"-ERR 1"} << "この部屋は満室です" << int(platform::mb::Information);
        QTest::newRow("refused") << true << QStringList{"-ERR 2"} << "参加できません" << int(platform::mb::Critical);
        QTest::newRow("no room selected") << false << QStringList{} << "存在する部屋を選択してください"
                                          << int(platform::mb::Critical);
    }
    void enter()
    {
        QFETCH(bool, select);
        QFETCH(QStringList, replies);
        QFETCH(QString, message);
        QFETCH(int, style);
        LobbyWire w(vbFalse);
        QVERIFY(w.connect());
        answer(w, QStringLiteral("ENTERROOM"), replies);
        frmMain *f = w.lobby();
        // An empty entry makes no row: the row index is not the entry index.
        dispatch(w, QStringLiteral("ROOMLIST \n\nabc 1/8"));
        if (select) {
            const QSignalBlocker quiet(f->lstRooms);
            f->lstRooms->setCurrentRow(0);
        }
        f->cmdEnter->click();
        QCOMPARE(w.fake.messageTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(f->isRoomMode(), message.isEmpty());
        if (!message.isEmpty())
            QCOMPARE(w.fake.messages.first().style, style);
        if (!select) {
            QTest::qWait(50);
            QVERIFY(w.server.received.isEmpty());
            return;
        }
        QCOMPARE(w.server.received, QStringList{"ENTERROOM abc  "});
        if (message.isEmpty()) {
            QCOMPARE(frmMain::m().mstrRoomName, QStringLiteral("abc  "));
            QCOMPARE(f->lblRoomPlayerList->text(), QStringLiteral("部屋内のプレイヤー(abc  )"));
            QCOMPARE(items(f->lstRoomPlayers), (QStringList{"h 1", "me 0"}));
        }
    }

    void leave_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("roomMode");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("host deletes") << vbTrue << "+OK" << "DELETEROOM r 1" << false << QStringList{};
        QTest::newRow("host refused") << vbTrue << "-ERR 1" << "DELETEROOM r 1" << true
                                      << QStringList{"部屋が削除できません"};
        QTest::newRow("client leaves") << vbFalse << "+OK" << "LEAVEROOM" << false << QStringList{};
        QTest::newRow("client refused still leaves") << vbFalse << "-ERR 2" << "LEAVEROOM" << false << QStringList{};
    }
    void leave()
    {
        QFETCH(qint16, host);
        QFETCH(QString, reply);
        QFETCH(QString, sent);
        QFETCH(bool, roomMode);
        QFETCH(QStringList, messages);
        LobbyWire w(host);
        QVERIFY(w.connect());
        w.server.on(sent.section(u' ', 0, 0), {reply});
        frmMain *f = w.lobby();
        frmMain::m().mstrRoomName = QStringLiteral("r 1");
        f->visibleControl(true);
        dispatch(w, QStringLiteral("ROOMPLAYERLIST \nh 1\nc 0"));
        f->cmdLeave->click();
        QCOMPARE(w.server.received, QStringList{sent});
        QCOMPARE(f->isRoomMode(), roomMode);
        QCOMPARE(f->lstRoomPlayers->count(), roomMode ? 2 : 0);
        QCOMPARE(w.fake.messageTexts(), messages);
    }

    // Choosing a room, by keyboard or mouse, asks who is in it; a refill of the
    // list asks nothing.
    void roomListClick()
    {
        LobbyWire w(vbFalse);
        QVERIFY(w.connect());
        w.server.once(QStringLiteral("ROOMPLAYERLIST"), {"+OK", "ROOMPLAYERLIST \nh 1"});
        w.server.once(QStringLiteral("ROOMPLAYERLIST"), {"-ERR 2"});
        frmMain *f = w.lobby();
        dispatch(w, QStringLiteral("ROOMLIST \nabc 1/8\nMy Room 2/8"));
        f->lstRooms->setCurrentRow(1);
        QTRY_COMPARE(items(f->lstRoomPlayers), QStringList{"h 1"});
        QCOMPARE(w.server.received, QStringList{"ROOMPLAYERLIST My Room  "});
        // The row already chosen, clicked again: one request per click.
        const QRect rect = f->lstRooms->visualItemRect(f->lstRooms->item(1));
        QTest::mouseClick(f->lstRooms->viewport(), Qt::LeftButton, {}, rect.center());
        QTRY_COMPARE(w.fake.messageTexts(), QStringList{"存在しません"});
        QCOMPARE(w.server.received.size(), 2);
        QCOMPARE(f->lstRoomPlayers->count(), 0);
        dispatch(w, QStringLiteral("ROOMLIST \nabc 1/8"));
        QTest::qWait(50);
        QCOMPARE(w.server.received.size(), 2);
    }

    void playerClick()
    {
        LobbyWire w(vbFalse);
        QVERIFY(w.connect());
        frmMain *f = w.lobby();
        f->lstPlayers_Click();
        QCOMPARE(w.fake.messageTexts(), QStringList{"ロビー内のプレイヤーより表示するユーザーをクリックしてください。"});
        QCOMPARE(w.fake.messages.first().style, int(platform::mb::Information));
        dispatch(w, QStringLiteral("PLAYERLIST \ntaro 1\n\nhanako 0"));
        const QRect rect = f->lstPlayers->visualItemRect(f->lstPlayers->item(1));
        QTest::mouseClick(f->lstPlayers->viewport(), Qt::LeftButton, {}, rect.center());
        QVERIFY(w.server.waitForLines(1));
        QCOMPARE(w.server.received, QStringList{"PLAYERINFO hanako 0"});
        // A new list empties the selection without asking anything.
        dispatch(w, QStringLiteral("PLAYERLIST \ntaro 1"));
        QTest::qWait(50);
        QCOMPARE(w.server.received.size(), 1);
        QCOMPARE(w.fake.messages.size(), 1);
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
        gintMinPlayers = 2;
        frmMain *f = w.lobby();
        frmMain::m().mstrRoomName = QStringLiteral("r");
        f->visibleControl(true);
        dispatch(w, QStringLiteral("ROOMPLAYERLIST \nme 1\nc 0"));
        QVERIFY(f->cmdStart->isEnabled());
        bool lockedWhileWaiting = false;
        w.server.onLine = [&](const QString &line) {
            if (line.startsWith(QLatin1String("IP "))) {
                lockedWhileWaiting = !f->cmdStart->isEnabled() && !f->cmdLeave->isEnabled()
                    && f->statusText() == QStringLiteral("アプリケーションに制御が戻った後クライアントが接続するまで待つ必要があります。");
                // A second click while waiting does nothing.
                f->cmdStart->setEnabled(true);
                f->cmdStart->click();
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
        if (closes) {
            QVERIFY(w.fake.messages.isEmpty());
            QCOMPARE(gstrHostIP, QString());
        } else {
            QCOMPARE(w.fake.messageTexts(), QStringList{"ゲームを開始できませんでした"});
            QVERIFY(f->isRoomMode());
            QVERIFY(f->cmdLeave->isEnabled());
            QVERIFY(f->cmdStart->isEnabled());
        }
        Forms::collect();
    }

    void roomNameKeys_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("beeps");
        QTest::addColumn<bool>("enterCloses");
        const QString a17 = QString(17, QChar(0x3042));
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
        QTest::keyClick(dlg->txtName, Qt::Key_Return);
        QCOMPARE(dlg->txtName->text(), after);
        QCOMPARE(w.fake.beeps, beeps);
        QCOMPARE(dlg->isVisible(), !enterCloses);
        QCOMPARE(dlgInputRoomName::m().mblnOK, enterCloses);
        // OK does not look at the text.
        dlg->OKButton->click();
        QVERIFY(!dlg->isVisible() && dlgInputRoomName::m().mblnOK);
    }

    void roomNameCloseBoxIsCancel()
    {
        LobbyWire w(vbTrue);
        auto *dlg = Forms::get<dlgInputRoomName>();
        dlg->show();
        dlg->txtName->setText(QStringLiteral("abc"));
        dlgInputRoomName::m().mblnOK = true;
        dlg->close();
        QVERIFY(Forms::isCurrent(dlg));
        QVERIFY(!dlg->isVisible() && !dlgInputRoomName::m().mblnOK);
        QCOMPARE(dlg->txtName->text(), QStringLiteral("abc"));
    }

    // The line drops while a room command waits: the windows are gone and the
    // handler leaves them alone; only the reconnect question is shown.
    void lineDropsWhileWaiting_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("command");
        QTest::newRow("create") << vbTrue << "create";
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
        typeRoomName(w.fake, QStringLiteral("x"));
        frmMain *f = w.lobby();
        dispatch(w, QStringLiteral("ROOMLIST \nabc 1/8"));
        {
            const QSignalBlocker quiet(f->lstRooms);
            f->lstRooms->setCurrentRow(0);
        }
        if (command == QLatin1String("leave") || command == QLatin1String("start"))
            f->visibleControl(true);
        if (command == QLatin1String("rooms"))
            f->lstRooms_Click();
        else if (command == QLatin1String("leave"))
            f->cmdLeave->click();
        else if (command == QLatin1String("start"))
            f->cmdStart_Click();
        else
            f->cmdEnter->click();
        QCOMPARE(w.fake.messageTexts(), QStringList{"回線が切断されました。再接続しますか？"});
        QVERIFY(!Forms::isCurrent(f));
        QCOMPARE(w.server.received.size(), 1);
        Forms::collect();
    }
};

QTEST_MAIN(TestRooms)
#include "tst_rooms.moc"
