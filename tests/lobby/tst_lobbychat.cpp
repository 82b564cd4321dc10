// Chat input, the change of account details, exit and online help.
#include "net/lobbywire.h"
#include "support/typing.h"

#include "lobby/helpPages.h"
#include "session/settings.h"
#include "account/dlgInputUserPas.h"

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QUrl>
#include <QComboBox>
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
        QTest::addColumn<int>("downKeys");
        QTest::addColumn<QString>("sent");
        QTest::newRow("empty") << false << "" << 0 << "LMESSAGE ";
        QTest::newRow("spaces kept") << false << "  hi  there " << 0 << "LMESSAGE   hi  there ";
        QTest::newRow("dependent dropped") << false << QString::fromUtf8("a①b") << 0 << "LMESSAGE ab";
        QTest::newRow("phrase by arrow key") << false << "" << 2 << "LMESSAGE gg";
        // Pasted text with a line break would put a command line of its own on the wire.
        QTest::newRow("pasted line break refused") << false << "paste:hi\r\nQUIT" << 0 << "LMESSAGE ";
        QTest::newRow("room") << true << QString::fromUtf8("よろしく") << 0 << QString::fromUtf8("RMESSAGE よろしく");
    }
    void enterSendsTheLine()
    {
        QFETCH(bool, room);
        QFETCH(QString, typed);
        QFETCH(int, downKeys);
        QFETCH(QString, sent);
        LobbyWire w;
        QVERIFY(w.connect());
        frmMain *f = w.lobby();
        f->visibleControl(room);
        f->addChatPhrases({QStringLiteral("よろしく"), QStringLiteral("gg")});
        QComboBox *input = room ? f->txtRoomChat : f->txtLobbyChat;
        if (typed.startsWith(QLatin1String("paste:")))
            input->lineEdit()->insert(typed.mid(6));
        else
            typeInto(input, typed); // keys go to the combo box, which has the focus
        for (int i = 0; i < downKeys; ++i)
            QTest::keyClick(input, Qt::Key_Down);
        QTest::keyClick(input, Qt::Key_Return);
        QVERIFY(w.server.waitForLines(1));
        QCOMPARE(w.server.received, QStringList{sent});
        QCOMPARE(input->currentText(), QString());
        QCOMPARE(input->count(), 2);
        // Shown only when the server sends it back.
        QVERIFY(f->rtfLobbyChat->document()->isEmpty() && f->rtfRoomChat->document()->isEmpty());
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
        frmMain::m().mstrPassword = QStringLiteral("oldpass");
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
            pressOK ? form->OKButton->click() : void(form->close());
        };
        w.lobby()->mnuChageInfo->trigger();
        QCOMPARE(prepared, (QStringList{"ユーザー情報の変更", "taro", "oldpass", "oldpass", "old", "t@x.jp"}));
        QCOMPARE(w.fake.messageTexts(), messages);
        const bool stored = reply == QLatin1String("+OK");
        QCOMPARE(frmMain::m().mstrPassword, QString(pressOK ? "newpass" : "oldpass"));
        QCOMPARE(lobbyModule::decodeString(settings::GetSetting(user, "password")), QString(stored ? "newpass" : "oldpass"));
        QCOMPARE(settings::GetSetting(user, "comment"), QString(stored ? "my new comment" : "old"));
        QTest::qWait(50);
        QCOMPARE(w.server.received, pressOK ? QStringList{"UPDATEUSER taro newpass t@x.jp my new comment"} : QStringList{});
    }

    // The help base comes from the settings; without one, the pages installed with
    // the component, which must be there to open.
    void onlineHelpAndExit_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<bool>("browserWorks");
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("lobbyPage"); // in the failure message
        QTest::newRow("web base") << "https://help.example.org/" << true << "https://help.example.org/online/12/"
                                  << "https://help.example.org/lobby/";
        QTest::newRow("web base, no browser") << " https://help.example.org" << false
                                              << "https://help.example.org/online/12/" << "https://help.example.org/lobby/";
        QTest::newRow("local pages") << "" << true << "online.html" << "lobby.html";
        QTest::newRow("local pages, no browser") << "" << false << "online.html" << "lobby.html";
    }
    void onlineHelpAndExit()
    {
        QFETCH(QString, base);
        QFETCH(bool, browserWorks);
        QFETCH(QString, page);
        QFETCH(QString, lobbyPage);
        const bool local = base.isEmpty();
        if (local) {
            const QString folder = helpPages::localFolder();
            QVERIFY(QFileInfo::exists(folder + u'/' + page) && QFileInfo::exists(folder + u'/' + lobbyPage));
            page = QUrl::fromLocalFile(folder + u'/' + page).toString();
            lobbyPage = QUrl::fromLocalFile(folder + u'/' + lobbyPage).toString();
        }
        const QStringList messages = browserWorks ? QStringList{}
                                                  : QStringList{"ブラウザが起動できませんでした。オンラインヘルプを参照するには任意のブラウザで "
                                                                + lobbyPage + " にアクセスしてください"};
        LobbyWire w;
        QVERIFY(w.connect());
        QVERIFY(settings::SaveSetting("server", "help", base));
        w.fake.browserWorks = browserWorks;
        session().gintGameID = 12;
        frmMain *f = w.lobby();
        f->cmdHelp->click();
        f->mnuOnlineHelp->trigger();
        QCOMPARE(w.fake.opened, (QList<QUrl>{QUrl(page), QUrl(page)}));
        QCOMPARE(w.fake.opened.constFirst().isLocalFile(), local);
        QCOMPARE(w.fake.messageTexts(), messages + messages);
        QCOMPARE(f->statusText(), QStringLiteral("オンラインヘルプを表示します"));
        // Exit closes the lobby and leaves the line to the connection form.
        f->mnuExit->trigger();
        QVERIFY(!Forms::isCurrent(f) && w.com->isConnected());
        QTest::qWait(50);
        QVERIFY(w.server.received.isEmpty());
    }
};

QTEST_MAIN(TestLobbyChat)
#include "tst_lobbychat.moc"
