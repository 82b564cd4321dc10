// The phrase editor: loading from the section "chat", and OK rewriting the section
// and both drop-down lists of the lobby's chat inputs.
#include "lobby/frmMain.h"
#include "phrases/frmEditChat.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/fakeplatform.h"
#include "support/testenv.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

const QString kChat = QStringLiteral("chat");

QStringList upToLastText(QStringList texts)
{
    while (!texts.isEmpty() && texts.constLast().isEmpty())
        texts.removeLast();
    return texts;
}

// Keys "1" to "16" of the section.
QStringList stored()
{
    QStringList out;
    for (int k = 1; k <= 16; ++k)
        out << settings::GetSetting(kChat, QString::number(k));
    return upToLastText(out);
}

QStringList texts(const frmEditChat *e)
{
    QStringList out;
    for (const QLineEdit *box : e->txtChat)
        out << box->text();
    return upToLastText(out);
}

QStringList items(const QComboBox *input)
{
    QStringList out;
    for (int i = 0; i < input->count(); ++i)
        out << input->itemText(i);
    return out;
}

} // namespace

class TestFrmEditChat : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { Forms::resetAll(); }

    // Keys before, boxes as the user leaves them, what OK stores. The boxes are
    // loaded from the keys up to the first missing or empty one.
    void loadAndSave_data()
    {
        QTest::addColumn<QStringList>("keys"); // "" leaves that key out
        QTest::addColumn<QStringList>("loaded");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QStringList>("saved");
        QStringList fifteen;
        for (int k = 1; k <= 15; ++k)
            fifteen << QStringLiteral("phrase %1").arg(k);
        QTest::newRow("first use") << QStringList() << QStringList() << QStringList{"one", "", "three"}
                                   << QStringList{"one", "three"};
        QTest::newRow("all fifteen") << fifteen << fifteen << fifteen << fifteen;
        QTest::newRow("a missing key ends the list, OK drops the rest")
            << QStringList{"a", "b", "", "d"} << QStringList{"a", "b"} << QStringList{"a", "b"} << QStringList{"a", "b"};
        QTest::newRow("all emptied") << QStringList{"a", "b"} << QStringList{"a", "b"} << QStringList{"", ""}
                                     << QStringList();
        QTest::newRow("spaces are a phrase") << QStringList{"  "} << QStringList{"  "}
                                             << (QStringList(14, QString()) << " ") << QStringList{" "};
    }
    void loadAndSave()
    {
        QFETCH(QStringList, keys);
        QFETCH(QStringList, loaded);
        QFETCH(QStringList, typed);
        QFETCH(QStringList, saved);
        TestEnv env;
        FakePlatform fake;
        for (int k = 0; k < keys.size(); ++k)
            if (!keys.at(k).isEmpty())
                settings::SaveSetting(kChat, QString::number(k + 1), keys.at(k));
        settings::SaveSetting(QStringLiteral("chat\\game"), QStringLiteral("1"), QStringLiteral("server's"));
        frmMain *lobby = Forms::get<frmMain>();
        // Phrases the server supplied for the game; a line being typed; a phrase picked.
        lobby->addChatPhrases({QStringLiteral("server 1"), QStringLiteral("server 2")});
        lobby->txtLobbyChat->setEditText(QStringLiteral("half a line"));
        lobby->txtRoomChat->setCurrentIndex(1);

        frmEditChat *e = Forms::get<frmEditChat>();
        QCOMPARE(texts(e), loaded);
        for (int i = 0; i < frmEditChat::kPhrases; ++i)
            e->txtChat[i]->setText(typed.value(i));
        e->cmdOK->click();

        QVERIFY(!Forms::isCurrent(e));
        QCOMPARE(stored(), saved);
        QCOMPARE(items(lobby->txtLobbyChat), saved);
        QCOMPARE(items(lobby->txtRoomChat), saved);
        QCOMPARE(lobby->txtLobbyChat->currentText(), QStringLiteral("half a line"));
        QCOMPARE(lobby->txtRoomChat->currentText(), QStringLiteral("server 2"));
        QCOMPARE(settings::GetSetting(QStringLiteral("chat\\game"), QStringLiteral("1")), QStringLiteral("server's"));
        QCOMPARE(texts(Forms::get<frmEditChat>()), saved);
    }

    // A store that cannot be written is reported; the lists still show the edit.
    void failedSaveIsTold()
    {
        TestEnv env;
        FakePlatform fake;
        QVERIFY(QDir().mkpath(env.settingsFile())); // a folder where the file should be
        frmMain *lobby = Forms::get<frmMain>();
        frmEditChat *e = Forms::get<frmEditChat>();
        e->txtChat[0]->setText(QStringLiteral("mine"));
        e->cmdOK->click();
        QCOMPARE(fake.messages.size(), 1);
        QVERIFY2(fake.messages.at(0).text.startsWith(QStringLiteral("定型文を保存できませんでした。")),
                 qPrintable(fake.messages.at(0).text));
        QCOMPARE(fake.messages.at(0).style, platform::mb::Critical);
        QCOMPARE(items(lobby->txtLobbyChat), QStringList{"mine"});
    }

    // The lobby's file menu opens the editor modally; its close box discards the edits.
    void closeBoxDiscards()
    {
        TestEnv env;
        FakePlatform fake;
        settings::SaveSetting(kChat, QStringLiteral("1"), QStringLiteral("kept"));
        frmMain *lobby = Forms::get<frmMain>();
        fake.handlers[QStringLiteral("frmEditChat")] = [](QDialog *d) {
            static_cast<frmEditChat *>(d)->txtChat[0]->setText(QStringLiteral("changed"));
            d->close();
        };
        lobby->mnuEditChat->trigger();
        QCOMPARE(fake.modalShown, QStringList{"frmEditChat"});
        QVERIFY(!Forms::ifLoaded<frmEditChat>());
        QCOMPARE(stored(), QStringList{"kept"});
        QCOMPARE(lobby->txtLobbyChat->count(), 0);
    }
};

QTEST_MAIN(TestFrmEditChat)
#include "tst_frmeditchat.moc"
