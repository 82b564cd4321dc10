// The lobby window: its controls and menus, its load and its two modes.
#include "lobby/frmMain.h"
#include "platform/forms.h"
#include "session/lobbyModule.h"
#include "support/fakeplatform.h"
#include "support/testenv.h"

#include <QAction>
#include <QComboBox>
#include <QDate>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

namespace {
bool looksLike(const QToolButton *button, QIcon::Mode mode, const QLabel *img)
{
    const QImage shown = button->icon().pixmap(QSize(32, 32), mode).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage stored = img->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    return stored.size() == QSize(32, 32) && shown == stored;
}
} // namespace

class TestFrmMain : public QObject {
    Q_OBJECT
    TestEnv env;
    FakePlatform *fake = nullptr;

    frmMain *load(qint16 host)
    {
        session().gblnHost = host;
        return Forms::get<frmMain>();
    }

private slots:
    void init()
    {
        session().reset();
        fake = new FakePlatform;
    }
    void cleanup()
    {
        Forms::resetAll();
        delete fake;
    }

    void controlsArePlaced_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("text");
        auto row = [](const char *n, const char *k, QRect r, const char *t = "") {
            QTest::newRow(n) << QString::fromLatin1(n) << QString::fromLatin1(k) << r << QString::fromUtf8(t);
        };
        row("lblPlayers", "QLabel", {120, 120, 4575, 255}, "ロビー内のプレイヤー");
        row("lstPlayers", "QListWidget", {120, 360, 4575, 1500});
        row("lblRoomPlayerList", "QLabel", {4800, 120, 4680, 255}, "部屋内のプレイヤー");
        row("lstRoomPlayers", "QListWidget", {4800, 360, 4575, 1500});
        row("lblLobbyChat", "QLabel", {120, 1920, 4695, 255}, "ロビーチャット");
        row("rtfLobbyChat", "QPlainTextEdit", {120, 2160, 4575, 3015});
        row("lblRoom", "QLabel", {4800, 1920, 4680, 255}, "部屋リスト");
        row("lstRooms", "QListWidget", {4800, 2160, 4575, 2940});
        row("rtfRoomChat", "QPlainTextEdit", {4800, 2160, 4575, 3015});
        row("txtLobbyChat", "QComboBox", {120, 5280, 4575, 300});
        row("txtRoomChat", "QComboBox", {4800, 5280, 4575, 300});
        row("cmdHelp", "QToolButton", {120, 5640, 495, 495});
        row("cmdEnter", "QToolButton", {4800, 5640, 495, 495});
        row("cmdLeave", "QToolButton", {5520, 5640, 495, 495});
        row("cmdStart", "QToolButton", {6240, 5640, 495, 495});
    }
    void controlsArePlaced()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QRect, twips);
        QFETCH(QString, text);
        auto *w = load(vbFalse)->findChild<QWidget *>(name);
        QVERIFY(w && w->inherits(kind.toLatin1()));
        QCOMPARE(w->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(label->text(), text);
        if (auto *button = qobject_cast<QToolButton *>(w))
            QVERIFY(!button->icon().isNull()); // the pictures were packed in and found
    }

    void windowFrameAndMenus()
    {
        frmMain *f = load(vbFalse);
        QCOMPARE(f->windowTitle(), QStringLiteral("QorChat"));
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f));
        // The client area keeps its size below the menu; the window cannot be resized.
        QWidget *client = f->rtfLobbyChat->parentWidget();
        QCOMPARE(client->size(), QSize(632, 437));
        QVERIFY(client->y() >= f->menuBar->geometry().bottom());
        QCOMPARE(f->minimumSize(), f->maximumSize());
        QVERIFY(f->staInfo->geometry().top() >= f->cmdStart->geometry().bottom());
        QVERIFY(f->staInfo->geometry().bottom() < client->height());
        auto *date = f->staInfo->findChild<QLabel *>(QStringLiteral("staInfoDate"));
        QVERIFY(date);
        QCOMPARE(date->text(), QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd")));

        QCOMPARE(f->findChild<QMenu *>(QStringLiteral("mnuFile"))->title(), QStringLiteral("ファイル(&F)"));
        QCOMPARE(f->findChild<QMenu *>(QStringLiteral("mnuHelp"))->title(), QStringLiteral("ヘルプ(&H)"));
        QStringList items;
        for (QMenu *menu : {f->mnuFile, f->mnuHelp})
            for (QAction *a : menu->actions())
                items << a->objectName() + u'=' + a->text();
        QCOMPARE(items, (QStringList{"mnuChageInfo=ユーザー情報の変更(&C)", "mnuEditChat=チャット選択データ編集(&E)", "mnuExit=終了(&X)",
                                     "mnuAccess=アクセス状況(&I)", "mnuOnlineHelp=オンラインヘルプ(&O)",
                                     "mnuVersion=バージョン情報(&A)"}));
    }

    void loadShowsUserKind_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("kind");
        QTest::newRow("host") << vbTrue << QStringLiteral("サーバー");
        QTest::newRow("client") << vbFalse << QStringLiteral("クライアント");
        QTest::newRow("1 is not True") << qint16(1) << QStringLiteral("クライアント");
    }
    void loadShowsUserKind()
    {
        QFETCH(qint16, host);
        QFETCH(QString, kind);
        frmMain::m().blnDisplayDbgMessage = true;
        session().gblnTopmost = true;
        frmMain *f = load(host);
        QCOMPARE(f->statusText(), kind + QStringLiteral("ユーザーで接続しています。詳細はオンラインヘルプを参照してください。"));
        QVERIFY(!frmMain::m().blnDisplayDbgMessage);
        QVERIFY(!f->isRoomMode());
        QVERIFY(f->cmdStart->isHidden() && f->cmdLeave->isHidden() && !f->txtRoomChat->isEnabled());
        QCOMPARE(fake->orderCalls, QStringList{QStringLiteral("topmost:frmMain:1")});
    }

    void modes_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::newRow("host") << vbTrue;
        QTest::newRow("client") << vbFalse;
    }
    void modes()
    {
        QFETCH(qint16, host);
        const bool isHost = host == vbTrue;
        frmMain *f = load(host);
        frmMain::m().mstrRoomName = QStringLiteral("abc");
        f->visibleControl(true);
        QVERIFY(f->isRoomMode() && f->lstRooms->isHidden());
        QCOMPARE(f->lblRoomPlayerList->text(), QStringLiteral("部屋内のプレイヤー(abc)"));
        QCOMPARE(f->lblRoom->text(), QStringLiteral("部屋チャット(abc)"));
        QVERIFY(f->txtRoomChat->isEnabled());
        QVERIFY(f->cmdEnter->isHidden() && !f->cmdLeave->isHidden());
        QCOMPARE(f->cmdStart->isHidden(), !isHost);
        QVERIFY(!f->cmdStart->isEnabled() || !isHost);
        QVERIFY(looksLike(f->cmdLeave, QIcon::Normal, isHost ? f->imgDeleteEnable : f->imgLeaveEnable));
        QVERIFY(looksLike(f->cmdLeave, QIcon::Disabled, isHost ? f->imgDeleteDisable : f->imgLeaveDisable));
        QCOMPARE(f->cmdLeave->toolTip(), isHost ? QStringLiteral("部屋を削除します") : QStringLiteral("現在参加している部屋から抜けます"));
        QCOMPARE(f->statusText(), isHost ? QStringLiteral("クライアントユーザーがこの部屋に参加すればゲームを開始することができます。")
                                         : QStringLiteral("サーバーユーザーが「開始」ボタンを押すと対戦ゲームを開始することができます。"));

        f->rtfLobbyChat->appendPlainText(QStringLiteral("<a> lobby"));
        f->rtfRoomChat->appendPlainText(QStringLiteral("<b> room"));
        f->lstRoomPlayers->addItem(QStringLiteral("b"));
        f->cmdLeave->setEnabled(false);
        const QString status = f->statusText();
        f->visibleControl(false);
        QVERIFY(!f->isRoomMode() && !f->lstRooms->isHidden());
        QCOMPARE(f->lblRoomPlayerList->text(), QStringLiteral("部屋内のプレイヤー"));
        QCOMPARE(f->lblRoom->text(), QStringLiteral("部屋リスト"));
        QVERIFY(!f->txtRoomChat->isEnabled());
        QVERIFY(!f->cmdEnter->isHidden() && f->cmdLeave->isHidden() && f->cmdStart->isHidden());
        QVERIFY(f->rtfRoomChat->document()->isEmpty());
        QCOMPARE(f->lstRoomPlayers->count(), 0);
        // What lobby mode leaves alone.
        QCOMPARE(f->rtfLobbyChat->toPlainText(), QStringLiteral("<a> lobby"));
        QCOMPARE(f->statusText(), status);
        QVERIFY(!f->cmdLeave->isEnabled());
        QVERIFY(looksLike(f->cmdEnter, QIcon::Normal, isHost ? f->imgCreateEnable : f->imgEnterEnable));
        QVERIFY(f->cmdEnter->toolTip().startsWith(isHost ? QStringLiteral("部屋の作成を行います。")
                                                         : QStringLiteral("作成されている部屋に参加します。")));
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
