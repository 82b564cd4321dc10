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
    return !stored.isNull() && shown == stored;
}
} // namespace

class TestFrmMain : public QObject {
    Q_OBJECT
    TestEnv env;
    FakePlatform *fake = nullptr;

    frmMain *load(qint16 host)
    {
        gblnHost = host;
        return Forms::get<frmMain>();
    }

private slots:
    void init()
    {
        resetSessionState();
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
        row("lblRoomPlayerList", "QLabel", {4800, 120, 4575, 255}, "部屋内のプレイヤー");
        row("lstRoomPlayers", "QListWidget", {4800, 360, 4575, 1500});
        row("lblLobbyChat", "QLabel", {120, 1920, 4695, 255}, "ロビーチャット");
        row("rtfLobbyChat", "QPlainTextEdit", {120, 2160, 4575, 3015});
        row("lblRoom", "QLabel", {4800, 1920, 4695, 255}, "部屋リスト");
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
        frmMain *f = load(vbFalse);
        auto *w = f->findChild<QWidget *>(name);
        QVERIFY(w);
        QVERIFY(w->inherits(kind.toLatin1()));
        QCOMPARE(w->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(label->text(), text);
    }

    void windowFrameAndMenus()
    {
        frmMain *f = load(vbFalse);
        QCOMPARE(f->objectName(), QStringLiteral("frmMain"));
        QCOMPARE(f->windowTitle(), QStringLiteral("QorChat"));
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f));
        // The client area keeps its size below the menu; the window cannot be resized.
        QWidget *client = f->rtfLobbyChat->parentWidget();
        QCOMPARE(client->size(), QSize(632, 437));
        QVERIFY(client->y() >= f->menuBar->geometry().bottom());
        QCOMPARE(f->minimumSize(), f->maximumSize());
        QVERIFY(!(f->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(f->staInfo->geometry().bottom() < client->height());
        QVERIFY(f->staInfo->geometry().top() >= f->cmdStart->geometry().bottom());

        const QList<QPair<QString, QString>> menus = {
            {"mnuFile", "ファイル(&F)"}, {"mnuChageInfo", "ユーザー情報の変更(&C)"}, {"mnuExit", "終了(&X)"},
            {"mnuHelp", "ヘルプ(&H)"}, {"mnuAccess", "アクセス状況(&I)"}, {"mnuOnlineHelp", "オンラインヘルプ(&O)"},
            {"mnuVersion", "バージョン情報(&A)"}};
        for (const auto &[name, caption] : menus) {
            if (auto *menu = f->findChild<QMenu *>(name))
                QCOMPARE(menu->title(), caption);
            else if (auto *item = f->findChild<QAction *>(name))
                QCOMPARE(item->text(), caption);
            else
                QFAIL(qPrintable(name));
        }
        QCOMPARE(f->mnuFile->actions(), (QList<QAction *>{f->mnuChageInfo, f->mnuExit}));
        QCOMPARE(f->mnuHelp->actions(), (QList<QAction *>{f->mnuAccess, f->mnuOnlineHelp, f->mnuVersion}));
        QCOMPARE(f->menuBar->actions(), (QList<QAction *>{f->mnuFile->menuAction(), f->mnuHelp->menuAction()}));

        // The clock panels show today.
        auto *date = f->staInfo->findChild<QLabel *>(QStringLiteral("staInfoDate"));
        QVERIFY(date);
        QCOMPARE(date->text(), QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd")));
    }

    void tabOrder()
    {
        frmMain *f = load(vbFalse);
        const QList<QWidget *> expected = {f->txtLobbyChat, f->txtRoomChat, f->cmdHelp, f->cmdEnter, f->cmdLeave,
                                           f->cmdStart, f->lstPlayers, f->lstRoomPlayers, f->lstRooms};
        QList<QWidget *> seen;
        QWidget *w = f->txtLobbyChat;
        do {
            if (expected.contains(w) && !seen.contains(w))
                seen.append(w);
            w = w->nextInFocusChain();
        } while (w != f->txtLobbyChat);
        QCOMPARE(seen, expected);
    }

    void loadShowsUserKind_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::addColumn<QString>("status");
        const QString rest = QStringLiteral("ユーザーで接続しています。詳細はオンラインヘルプを参照してください。");
        QTest::newRow("host") << vbTrue << QStringLiteral("サーバー") + rest;
        QTest::newRow("client") << vbFalse << QStringLiteral("クライアント") + rest;
        // Only -1 is True.
        QTest::newRow("one") << qint16(1) << QStringLiteral("クライアント") + rest;
    }
    void loadShowsUserKind()
    {
        QFETCH(qint16, host);
        QFETCH(QString, status);
        frmMain::m().blnDisplayDbgMessage = true;
        gblnTopmost = true;
        frmMain *f = load(host);
        QCOMPARE(f->statusText(), status);
        QVERIFY(!frmMain::m().blnDisplayDbgMessage);
        QVERIFY(!f->isRoomMode());
        QVERIFY(fake->orderCalls.contains(QStringLiteral("topmost:frmMain:1")));
    }

    void roomMode_data()
    {
        QTest::addColumn<qint16>("host");
        QTest::newRow("host") << vbTrue;
        QTest::newRow("client") << vbFalse;
    }
    void roomMode()
    {
        QFETCH(qint16, host);
        frmMain *f = load(host);
        frmMain::m().mstrRoomName = QStringLiteral("abc");
        f->visibleControl(true);
        QVERIFY(f->isRoomMode());
        QVERIFY(f->lstRooms->isHidden());
        QCOMPARE(f->lblRoomPlayerList->text(), QStringLiteral("部屋内のプレイヤー(abc)"));
        QCOMPARE(f->lblRoom->text(), QStringLiteral("部屋チャット(abc)"));
        QVERIFY(f->txtRoomChat->isEnabled());
        QCOMPARE(f->txtRoomChat->toolTip(),
                 QStringLiteral("送信する文字列を入力してEnterを押してください。部屋内のユーザーのみに送信されます。"));
        QVERIFY(f->cmdEnter->isHidden());
        QVERIFY(!f->cmdLeave->isHidden());
        QCOMPARE(f->lstRoomPlayers->toolTip(), QStringLiteral("この部屋に参加しているユーザーのリストが表示されます。"));
        QCOMPARE(f->rtfRoomChat->toolTip(), QStringLiteral("部屋内のチャットが表示されます"));
        if (host == vbTrue) {
            QVERIFY(looksLike(f->cmdLeave, QIcon::Normal, f->imgDeleteEnable));
            QVERIFY(looksLike(f->cmdLeave, QIcon::Disabled, f->imgDeleteDisable));
            QCOMPARE(f->cmdLeave->toolTip(), QStringLiteral("部屋を削除します"));
            QVERIFY(!f->cmdStart->isHidden());
            QVERIFY(!f->cmdStart->isEnabled());
            QCOMPARE(f->cmdStart->toolTip(), QStringLiteral("この部屋に参加しているクライアントユーザーと対戦を始めます。"));
            QCOMPARE(f->statusText(), QStringLiteral("クライアントユーザーがこの部屋に参加すればゲームを開始することができます。"));
        } else {
            QVERIFY(looksLike(f->cmdLeave, QIcon::Normal, f->imgLeaveEnable));
            QCOMPARE(f->cmdLeave->toolTip(), QStringLiteral("現在参加している部屋から抜けます"));
            QVERIFY(f->cmdStart->isHidden());
            QCOMPARE(f->statusText(), QStringLiteral("サーバーユーザーが「開始」ボタンを押すと対戦ゲームを開始することができます。"));
        }
    }

    void lobbyMode_data() { roomMode_data(); }
    void lobbyMode()
    {
        QFETCH(qint16, host);
        frmMain *f = load(host);
        frmMain::m().mstrRoomName = QStringLiteral("abc");
        f->visibleControl(true);
        f->rtfLobbyChat->appendPlainText(QStringLiteral("<a> lobby"));
        f->rtfRoomChat->appendPlainText(QStringLiteral("<b> room"));
        f->lstRoomPlayers->addItem(QStringLiteral("b"));
        f->lstPlayers->addItem(QStringLiteral("a (サーバー)"));
        f->lstRooms->addItem(QStringLiteral("r  (1)"));
        f->cmdLeave->setEnabled(false);
        const QString status = f->statusText();

        f->visibleControl(false);
        QVERIFY(!f->isRoomMode());
        QVERIFY(!f->lstRooms->isHidden());
        QCOMPARE(f->lblRoomPlayerList->text(), QStringLiteral("部屋内のプレイヤー"));
        QCOMPARE(f->lblRoom->text(), QStringLiteral("部屋リスト"));
        QVERIFY(!f->txtRoomChat->isEnabled());
        QVERIFY(!f->cmdEnter->isHidden());
        QVERIFY(f->cmdLeave->isHidden());
        QVERIFY(f->cmdStart->isHidden());
        QVERIFY(f->rtfRoomChat->toPlainText().isEmpty());
        QCOMPARE(f->lstRoomPlayers->count(), 0);
        // What lobby mode leaves alone.
        QCOMPARE(f->rtfLobbyChat->toPlainText(), QStringLiteral("<a> lobby"));
        QCOMPARE(f->lstPlayers->count(), 1);
        QCOMPARE(f->lstRooms->count(), 1);
        QCOMPARE(f->statusText(), status);
        QVERIFY(!f->cmdLeave->isEnabled());
        QCOMPARE(f->lstRooms->toolTip(), QStringLiteral("サーバーユーザーにより現在作成されている部屋のリストが表示されます。"));
        QCOMPARE(f->lstPlayers->toolTip(), QStringLiteral("ロビーに参加しているユーザーのリストが表示されます"));
        QCOMPARE(f->rtfLobbyChat->toolTip(), QStringLiteral("ロビー内のチャットが表示されます"));
        QCOMPARE(f->txtLobbyChat->toolTip(),
                 QStringLiteral("送信する文字列を入力してEnterを押してください。ロビーに参加している全てのユーザーに送信されます。"));
        QCOMPARE(f->lstRoomPlayers->toolTip(),
                 QStringLiteral("部屋リストから存在する部屋をクリックすると、その部屋に参加しているユーザーのリストが表示されます。"));
        if (host == vbTrue) {
            QVERIFY(looksLike(f->cmdEnter, QIcon::Normal, f->imgCreateEnable));
            QCOMPARE(f->cmdEnter->toolTip(), QStringLiteral("部屋の作成を行います。対戦を始めるにはまずサーバーユーザーが部屋を作成する必要があります。"));
        } else {
            QVERIFY(looksLike(f->cmdEnter, QIcon::Normal, f->imgEnterEnable));
            QCOMPARE(f->cmdEnter->toolTip(), QStringLiteral("作成されている部屋に参加します。部屋一覧より参加する部屋を選択してクリックしてください。"));
        }
    }

    void picturesAreLoaded()
    {
        frmMain *f = load(vbFalse);
        for (QLabel *img : {f->imgCreateEnable, f->imgCreateDisable, f->imgEnterEnable, f->imgEnterDisable,
                            f->imgLeaveEnable, f->imgLeaveDisable, f->imgDeleteEnable, f->imgDeleteDisable}) {
            QCOMPARE(img->pixmap().size(), QSize(32, 32));
            QVERIFY(img->isHidden());
        }
        QVERIFY(f->imgLeaveEnable->pixmap().toImage() != f->imgLeaveDisable->pixmap().toImage());
        QVERIFY(!f->cmdHelp->icon().isNull());
        QVERIFY(!f->cmdStart->icon().isNull());
        QCOMPARE(f->cmdHelp->toolTip(), QStringLiteral("オンラインヘルプを表示します"));
    }

    void phrasesKeepTypedText()
    {
        frmMain *f = load(vbFalse);
        f->txtLobbyChat->setEditText(QStringLiteral("typing"));
        f->addChatPhrases({QStringLiteral("よろしく"), QStringLiteral("がんばろう")});
        QCOMPARE(f->txtLobbyChat->currentText(), QStringLiteral("typing"));
        QCOMPARE(f->txtRoomChat->currentText(), QString());
        QCOMPARE(f->txtRoomChat->count(), 2);
        // The first arrow-down picks the first phrase.
        f->txtLobbyChat->setFocus();
        QTest::keyClick(f->txtLobbyChat, Qt::Key_Down);
        QCOMPARE(f->txtLobbyChat->currentText(), QStringLiteral("よろしく"));
    }

    void unloadedWindowComesBackInDesignState()
    {
        frmMain *f = load(vbTrue);
        frmMain::m().mstrRoomName = QStringLiteral("abc");
        frmMain::m().mstrUser = QStringLiteral("taro");
        f->visibleControl(true);
        Forms::unload<frmMain>();
        Forms::collect();
        f = Forms::get<frmMain>();
        QVERIFY(!f->isRoomMode());
        QCOMPARE(frmMain::m().mstrUser, QStringLiteral("taro"));
        QCOMPARE(frmMain::m().mstrRoomName, QStringLiteral("abc"));
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
