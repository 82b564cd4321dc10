// Chat input, the change of account details, exit and online help.
#include "net/lobbywire.h"
#include "support/typing.h"

#include "session/settings.h"
#include "signin/dlgInputUserPas.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>

class TestLobbyChat : public QObject {
    Q_OBJECT

private slots:
    void enterSendsTheLine_data()
    {
        QTest::addColumn<bool>("room");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::newRow("empty") << false << "" << "LMESSAGE ";
        QTest::newRow("spaces kept") << false << "  hi  there " << "LMESSAGE   hi  there ";
        // A machine-dependent character never reaches the input.
        QTest::newRow("dependent dropped") << false << QString::fromUtf8("a①b") << "LMESSAGE ab";
        QTest::newRow("room") << true << QString::fromUtf8("よろしく") << QString::fromUtf8("RMESSAGE よろしく");
    }
    void enterSendsTheLine()
    {
        QFETCH(bool, room);
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        LobbyWire w;
        QVERIFY(w.connect());
        frmMain *f = w.lobby();
        if (room)
            f->visibleControl(true);
        QComboBox *input = room ? f->txtRoomChat : f->txtLobbyChat;
        typeInto(input->lineEdit(), typed);
        QTest::keyClick(input->lineEdit(), Qt::Key_Return);
        QVERIFY(w.server.waitForLines(1));
        QCOMPARE(w.server.received, QStringList{sent});
        QCOMPARE(input->currentText(), QString());
        // Shown only when the server sends it back.
        QVERIFY(f->rtfLobbyChat->document()->isEmpty() && f->rtfRoomChat->document()->isEmpty());
    }

    void phrasePickedWithArrowKey()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        frmMain *f = w.lobby();
        f->addChatPhrases({QStringLiteral("よろしく"), QStringLiteral("gg")});
        QTest::keyClick(f->txtLobbyChat->lineEdit(), Qt::Key_Down);
        QTest::keyClick(f->txtLobbyChat->lineEdit(), Qt::Key_Down);
        QTest::keyClick(f->txtLobbyChat->lineEdit(), Qt::Key_Enter);
        QVERIFY(w.server.waitForLines(1));
        QCOMPARE(w.server.received, QStringList{"LMESSAGE gg"});
        QCOMPARE(f->txtLobbyChat->count(), 2);
    }

    void changeOfDetails_data()
    {
        QTest::addColumn<bool>("pressOK");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("cancelled") << false << "" << QStringList{};
        QTest::newRow("accepted") << true << "+OK" << QStringList{"ユーザー情報を変更しました。"};
        QTest::newRow("refused") << true << "-ERR 4" << QStringList{"ユーザー情報の変更に失敗しました。"};
    }
    void changeOfDetails()
    {
        QFETCH(bool, pressOK);
        QFETCH(QString, reply);
        QFETCH(QStringList, messages);
        LobbyWire w;
        QVERIFY(w.connect());
        const QString user = QStringLiteral("user");
        settings::SaveSetting(user, "name", "taro");
        settings::SaveSetting(user, "password", lobbyModule::encodeString("oldpass"));
        settings::SaveSetting(user, "comment", "old");
        settings::SaveSetting(user, "email", "t@x.jp");
        frmMain::m().mstrUser = QStringLiteral("taro");
        frmMain::m().mstrPassword = QStringLiteral("oldpass");
        if (!reply.isEmpty())
            w.server.on("UPDATEUSER", {reply});
        QStringList prepared;
        w.fake.handlers[QStringLiteral("dlgInputUserPas")] = [&](QDialog *d) {
            auto *form = static_cast<dlgInputUserPas *>(d);
            prepared << form->windowTitle() << form->txtUser->text() << form->txtPassword->text()
                     << form->txtPasswordConfirm->text() << form->txtComment->text() << form->txtEmail->text();
            QVERIFY(!form->txtUser->isEnabled() && form->chkUseOldAccount->isHidden());
            form->txtPassword->setText(QStringLiteral("newpass"));
            form->txtPasswordConfirm->setText(QStringLiteral("newpass"));
            form->txtComment->setText(QStringLiteral("my new comment"));
            if (pressOK)
                form->OKButton->click();
            else
                form->close();
        };
        w.lobby()->mnuChageInfo->trigger();
        QCOMPARE(prepared, (QStringList{"ユーザー情報の変更", "taro", "oldpass", "oldpass", "old", "t@x.jp"}));
        QCOMPARE(w.fake.messageTexts(), messages);
        const bool stored = reply == QLatin1String("+OK");
        QCOMPARE(frmMain::m().mstrPassword, QString(pressOK ? "newpass" : "oldpass"));
        QCOMPARE(lobbyModule::decodeString(settings::GetSetting(user, "password")),
                 QString(stored ? "newpass" : "oldpass"));
        QCOMPARE(settings::GetSetting(user, "comment"), QString(stored ? "my new comment" : "old"));
        QTest::qWait(50);
        QCOMPARE(w.server.received,
                 pressOK ? QStringList{"UPDATEUSER taro newpass t@x.jp my new comment"} : QStringList{});
    }

    void exitClosesTheLobbyOnly()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        frmMain *f = w.lobby();
        f->mnuExit->trigger();
        QVERIFY(!Forms::isCurrent(f));
        QVERIFY(w.com->isConnected());
        QTest::qWait(50);
        QVERIFY(w.server.received.isEmpty());
    }

    void onlineHelp_data()
    {
        QTest::addColumn<bool>("browserWorks");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("opened") << true << QStringList{};
        QTest::newRow("no browser") << false
                                    << QStringList{"ブラウザが起動できませんでした。オンラインヘルプを参照するには任意のブラウザで "
                                                   "https://help.qorchat.example/lobby/ にアクセスしてください"};
    }
    void onlineHelp()
    {
        QFETCH(bool, browserWorks);
        QFETCH(QStringList, messages);
        LobbyWire w;
        w.fake.browserWorks = browserWorks;
        gintGameID = 12;
        frmMain *f = w.lobby();
        f->cmdHelp->click();
        f->mnuOnlineHelp->trigger();
        const QUrl page(QStringLiteral("https://help.qorchat.example/online/12/"));
        QCOMPARE(w.fake.opened, (QList<QUrl>{page, page}));
        QCOMPARE(w.fake.messageTexts(), messages + messages);
        QCOMPARE(f->statusText(), QStringLiteral("オンラインヘルプを表示します"));
    }
};

QTEST_MAIN(TestLobbyChat)
#include "tst_lobbychat.moc"
