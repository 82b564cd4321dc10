// The phrase editor: loading from the section "chat", and OK rewriting the section
// and both drop-down lists of the lobby's chat inputs.
#include "lobby/frmMain.h"
#include "phrases/frmEditChat.h"
#include "platform/forms.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/fakeplatform.h"
#include "support/testenv.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <map>

namespace {

const QString kChat = QStringLiteral("chat");
using Store = std::map<int, QString>;

void store(const Store &keys)
{
    for (const auto &[k, v] : keys)
        QVERIFY(settings::SaveSetting(kChat, QString::number(k), v));
}

QStringList boxes(const frmEditChat *e)
{
    QStringList out;
    for (const QLineEdit *box : e->txtChat)
        out << box->text();
    return out;
}

// The stored keys "1" to "16", cut after the last non-empty one.
QStringList stored()
{
    QStringList out;
    for (int k = 1; k <= 16; ++k)
        out << settings::GetSetting(kChat, QString::number(k));
    while (!out.isEmpty() && out.constLast().isEmpty())
        out.removeLast();
    return out;
}

QStringList items(const QComboBox *input)
{
    QStringList out;
    for (int i = 0; i < input->count(); ++i)
        out << input->itemText(i);
    return out;
}

QStringList padded(QStringList texts)
{
    while (texts.size() < frmEditChat::kPhrases)
        texts << QString();
    return texts;
}

} // namespace

class TestFrmEditChat : public QObject {
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    std::unique_ptr<FakePlatform> fake;

private slots:
    void init()
    {
        resetSessionState();
        env = std::make_unique<TestEnv>();
        fake = std::make_unique<FakePlatform>();
    }
    void cleanup()
    {
        Forms::resetAll();
        fake.reset();
        env.reset();
    }

    void numbering()
    {
        frmEditChat *e = Forms::get<frmEditChat>();
        QCOMPARE(e->lblChat[0]->text(), QStringLiteral("１．"));
        QCOMPARE(e->lblChat[9]->text(), QStringLiteral("１０．"));
        QCOMPARE(e->lblChat[14]->text(), QStringLiteral("１５．"));
        QCOMPARE(e->findChildren<QLineEdit *>(QStringLiteral("txtChat")).size(), frmEditChat::kPhrases);
        // Rows 360 twips apart; the labels never cut their numbers.
        QCOMPARE(e->txtChat[14]->y() - e->txtChat[0]->y(), 360 * 14 / 15);
        QCOMPARE(e->txtChat[14]->size(), QSize(4335 / 15, 270 / 15));
        for (const QLabel *label : e->lblChat)
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
        QVERIFY(e->lblComment->height() >= e->lblComment->heightForWidth(e->lblComment->width()));
        QVERIFY(e->cmdOK->geometry().bottom() < e->height());
    }

    void load_data()
    {
        QTest::addColumn<Store>("keys");
        QTest::addColumn<QStringList>("shown");
        Store all;
        QStringList allTexts;
        for (int k = 1; k <= 15; ++k) {
            all[k] = QStringLiteral("phrase %1").arg(k);
            allTexts << all[k];
        }
        QTest::newRow("nothing stored") << Store{} << QStringList();
        QTest::newRow("all fifteen") << all << allTexts;
        QTest::newRow("a missing key ends the list")
            << Store{{1, "よろしく"}, {2, "gg"}, {4, "four"}} << QStringList{"よろしく", "gg"};
        QTest::newRow("an empty value ends the list")
            << Store{{1, "a"}, {2, ""}, {3, "c"}} << QStringList{"a"};
        QTest::newRow("key 16 is not shown") << Store{{16, "x"}} << QStringList();
        QTest::newRow("spaces are a phrase") << Store{{1, "  "}, {2, "b"}} << QStringList{"  ", "b"};
    }
    void load()
    {
        QFETCH(Store, keys);
        QFETCH(QStringList, shown);
        store(keys);
        QCOMPARE(boxes(Forms::get<frmEditChat>()), padded(shown));
    }

    void save_data()
    {
        QTest::addColumn<Store>("before");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("gap closed") << Store{} << QStringList{"one", "", "three"} << QStringList{"one", "three"};
        QTest::newRow("keys beyond the list go") << Store{{1, "a"}, {2, "b"}, {4, "d"}} << QStringList{"a"}
                                                 << QStringList{"a"};
        QTest::newRow("all empty") << Store{{1, "a"}, {2, "b"}} << QStringList{"", ""} << QStringList();
        QTest::newRow("spaces kept") << Store{} << QStringList{"", " ", "", "", "last"}
                                     << QStringList{" ", "last"};
        QTest::newRow("box 15 alone") << Store{} << (QStringList(14, QString()) << "fifteenth")
                                      << QStringList{"fifteenth"};
    }
    void save()
    {
        QFETCH(Store, before);
        QFETCH(QStringList, typed);
        QFETCH(QStringList, after);
        store(before);
        QVERIFY(settings::SaveSetting(QStringLiteral("chat\\game"), QStringLiteral("1"), QStringLiteral("server's")));
        frmMain *lobby = Forms::get<frmMain>();
        // Phrases the server supplied for the game, and a line being typed.
        lobby->addChatPhrases({QStringLiteral("server 1"), QStringLiteral("server 2")});
        lobby->txtLobbyChat->setEditText(QStringLiteral("half a line"));
        lobby->txtRoomChat->setCurrentIndex(1);

        frmEditChat *e = Forms::get<frmEditChat>();
        for (int i = 0; i < frmEditChat::kPhrases; ++i)
            e->txtChat[i]->setText(typed.value(i));
        e->cmdOK->click();

        QVERIFY(!Forms::isCurrent(e));
        QCOMPARE(stored(), after);
        QCOMPARE(items(lobby->txtLobbyChat), after);
        QCOMPARE(items(lobby->txtRoomChat), after);
        QCOMPARE(lobby->txtLobbyChat->currentText(), QStringLiteral("half a line"));
        QCOMPARE(lobby->txtRoomChat->currentText(), QStringLiteral("server 2"));
        QCOMPARE(settings::GetSetting(QStringLiteral("chat\\game"), QStringLiteral("1")), QStringLiteral("server's"));
        // The next opening shows what was stored, without gaps.
        QCOMPARE(boxes(Forms::get<frmEditChat>()), padded(after));
    }

    // Saving on first use, with no settings file at all.
    void saveWithoutStore()
    {
        frmMain *lobby = Forms::get<frmMain>();
        frmEditChat *e = Forms::get<frmEditChat>();
        e->txtChat[0]->setText(QStringLiteral("hi"));
        e->cmdOK->click();
        QCOMPARE(stored(), QStringList{"hi"});
        QCOMPARE(items(lobby->txtRoomChat), QStringList{"hi"});
    }

    // The lobby opens the editor modally; its close box discards the edits.
    void closeBoxDiscards()
    {
        store({{1, "kept"}});
        frmMain *lobby = Forms::get<frmMain>();
        lobby->addChatPhrases({QStringLiteral("server")});
        fake->handlers[QStringLiteral("frmEditChat")] = [](QDialog *d) {
            auto *e = static_cast<frmEditChat *>(d);
            QCOMPARE(e->txtChat[0]->text(), QStringLiteral("kept"));
            e->txtChat[0]->setText(QStringLiteral("changed"));
            e->close();
        };
        lobby->editChatPhrases();
        QCOMPARE(fake->modalShown, QStringList{"frmEditChat"});
        QVERIFY(!Forms::ifLoaded<frmEditChat>());
        QCOMPARE(stored(), QStringList{"kept"});
        QCOMPARE(items(lobby->txtLobbyChat), QStringList{"server"});
    }
};

QTEST_MAIN(TestFrmEditChat)
#include "tst_frmeditchat.moc"
