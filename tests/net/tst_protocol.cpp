#include "wire/lineframer.h"
#include "net/protocol/protocol.h"

#include <QTest>

using namespace protocol;

class TstProtocol : public QObject {
    Q_OBJECT
private slots:
    void commands_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("expected");
        QTest::newRow("gamename escaped") << gameName("A[1]") << "GAMENAME A\\[1\\]";
        QTest::newRow("gamename backslash kept") << gameName("a\\b]") << "GAMENAME a\\b\\]";
        QTest::newRow("host yes") << host(-1) << "HOST yes";
        QTest::newRow("host 1 is no") << host(1) << "HOST no";
        QTest::newRow("host no") << host(0) << "HOST no";
        QTest::newRow("registuser comment with spaces") << registUser("taro", "pw123", "t@x.jp", "hello  world")
                                                        << "REGISTUSER taro pw123 t@x.jp hello  world";
        QTest::newRow("updateuser") << updateUser("taro", "pw", "e@x.y", "") << "UPDATEUSER taro pw e@x.y ";
        QTest::newRow("login") << login("taro", "secret") << "LOGIN taro secret";
        QTest::newRow("chatdata") << command(kw::CHATDATA) << "CHATDATA";
        QTest::newRow("createroom") << createRoom("my room") << "CREATEROOM my room";
        QTest::newRow("enterroom") << enterRoom("MyRoom 3") << "ENTERROOM MyRoom  ";
        QTest::newRow("enterroom solo") << enterRoom("Solo") << "ENTERROOM  ";
        QTest::newRow("roomplayerlist") << roomPlayerList("a b 2/8") << "ROOMPLAYERLIST a b  ";
        QTest::newRow("deleteroom") << deleteRoom("abc") << "DELETEROOM abc";
        QTest::newRow("playerinfo entry") << playerInfo("taro 1") << "PLAYERINFO taro 1";
        QTest::newRow("empty chat") << lobbyMessage("") << "LMESSAGE ";
        QTest::newRow("room chat") << roomMessage("hi  there") << "RMESSAGE hi  there";
        QTest::newRow("ip") << ip("203.0.113.5") << "IP 203.0.113.5";
        QTest::newRow("empty list") << listLine("PLAYERLIST", {}) << "PLAYERLIST";
        QTest::newRow("list") << listLine("PLAYERLIST", {"taro 1", "hanako 0"}) << "PLAYERLIST \ntaro 1\nhanako 0";
        QTest::newRow("chatdata line") << chatDataLine({"よろしく", "がんばろう"}) << "CHATDATA よろしく@がんばろう@";
    }
    void commands()
    {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        QCOMPARE(line, expected);
    }

    void gameNameRoundTrip()
    {
        for (const QString &n : {QStringLiteral("A[1]"), QStringLiteral("[]]["), QStringLiteral("x\\y")})
            QCOMPARE(unescapeGameName(escapeGameName(n)), n);
    }

    void restOfLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("rest");
        QTest::newRow("spaces kept") << "LMESSAGE taro hello  world" << "hello  world";
        QTest::newRow("empty text") << "LMESSAGE taro " << "";
        QTest::newRow("no text") << "LMESSAGE taro" << "";
        QTest::newRow("no name") << "LMESSAGE" << "";
        QTest::newRow("empty name") << "LMESSAGE  text" << "text";
        QTest::newRow("playerinfo") << "PLAYERINFO taro よろしく お願いします" << "よろしく お願いします";
    }
    void restOfLine()
    {
        QFETCH(QString, line);
        QFETCH(QString, rest);
        QCOMPARE(protocol::restOfLine(line), rest);
    }

    void listEntries_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("keyword alone") << "PLAYERLIST" << QStringList{};
        QTest::newRow("two") << "PLAYERLIST \ntaro 1\nhanako 0" << QStringList{"taro 1", "hanako 0"};
        QTest::newRow("junk before first LF ignored") << "ROOMLIST junk\nR 1/8" << QStringList{"R 1/8"};
        QTest::newRow("trailing LF gives empty entry") << "ROOMLIST \na 1\n" << QStringList{"a 1", ""};
    }
    void listEntries()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, entries);
        QCOMPARE(protocol::listEntries(line), entries);
    }

    void rows()
    {
        QCOMPARE(playerRow("taro 1"), QStringLiteral("taro (サーバー)"));
        QCOMPARE(playerRow("hanako 0"), QStringLiteral("hanako (クライアント)"));
        QCOMPARE(playerRow("jiro 2"), QStringLiteral("jiro (クライアント)"));
        QCOMPARE(playerRow("solo"), QStringLiteral("solo (クライアント)"));
        QCOMPARE(roomRow("MyRoom 3"), QStringLiteral("MyRoom  (3)"));
        QCOMPARE(roomRow("Solo"), QStringLiteral(" (Solo)"));
        QCOMPARE(roomRow("a b 2/8"), QStringLiteral("a b  (2/8)"));
        QCOMPARE(roomEntry("MyRoom 3").name, QStringLiteral("MyRoom "));
        QCOMPARE(roomEntry("MyRoom 3").status, QStringLiteral("3"));
    }

    void chatPhrases_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("phrases");
        QTest::newRow("two") << "CHATDATA よろしく@がんばろう@" << QStringList{"よろしく", "がんばろう"};
        QTest::newRow("tail dropped") << "CHATDATA a@b" << QStringList{"a"};
        QTest::newRow("none") << "CHATDATA " << QStringList{};
        QTest::newRow("keyword alone") << "CHATDATA" << QStringList{};
        QTest::newRow("spaces kept") << "CHATDATA good game@ hi @" << QStringList{"good game", " hi "};
    }
    void chatPhrases()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, phrases);
        QCOMPARE(protocol::chatPhrases(line), phrases);
    }

    void tokensKeepPositions()
    {
        QCOMPARE(tokens("-ERR 3"), (QStringList{"-ERR", "3"}));
        QCOMPARE(tokens("A  B"), (QStringList{"A", "", "B"}));
        QCOMPARE(keyword("+OK welcome"), QStringLiteral("+OK"));
        QCOMPARE(afterKeyword("ENTERROOM MyRoom  "), QStringLiteral("MyRoom  "));
    }

    // Framing: feeds are cut the way a socket may cut them.
    void framing_data()
    {
        QTest::addColumn<QList<QByteArray>>("feeds");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<int>("pendingAfter");
        QTest::newRow("three in one read") << QList<QByteArray>{"+OK\r\nLMESSAGE a b\r\nROOMLIST\r\n"}
                                           << QList<QByteArray>{"+OK", "LMESSAGE a b", "ROOMLIST"} << 0;
        QTest::newRow("split across reads") << QList<QByteArray>{"LMESS", "AGE a b\r", "\nX\r\n"}
                                            << QList<QByteArray>{"LMESSAGE a b", "X"} << 0;
        QTest::newRow("split inside a double-byte char") << QList<QByteArray>{"LMESSAGE a \x82", "\xa0\r\n"}
                                                         << QList<QByteArray>{"LMESSAGE a \x82\xa0"} << 0;
        QTest::newRow("bare LF stays in the line") << QList<QByteArray>{"PLAYERLIST \na 1\r\n"}
                                                   << QList<QByteArray>{"PLAYERLIST \na 1"} << 0;
        QTest::newRow("unterminated tail waits") << QList<QByteArray>{"+OK\r\nLMESS"} << QList<QByteArray>{"+OK"} << 5;
        QTest::newRow("empty line") << QList<QByteArray>{"\r\n\r\n"} << QList<QByteArray>{"", ""} << 0;
    }
    void framing()
    {
        QFETCH(QList<QByteArray>, feeds);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(int, pendingAfter);
        LineFramer f;
        QList<QByteArray> out;
        for (const auto &b : feeds)
            f.feed(b, out);
        QCOMPARE(out, lines);
        QCOMPARE(f.pending(), qsizetype(pendingAfter));
    }

    void overlongLinesAreDroppedWithBoundedMemory_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::newRow("1 byte chunks") << 1;
        QTest::newRow("4 KiB chunks") << 4096;
        QTest::newRow("one piece") << (1 << 21);
    }
    void overlongLinesAreDroppedWithBoundedMemory()
    {
        QFETCH(int, chunk);
        LineFramer f(1024);
        QByteArray data = "ok1\r\n" + QByteArray(10000, 'x') + "\r\nok2\r\n" + QByteArray(5000, 'y') + "\r";
        data += "\nok3\r\n" + QByteArray(1024, 'z') + "\r\n";
        QList<QByteArray> out;
        qsizetype maxPending = 0;
        for (qsizetype i = 0; i < data.size(); i += chunk) {
            f.feed(QByteArrayView(data).sliced(i, std::min<qsizetype>(chunk, data.size() - i)), out);
            maxPending = std::max(maxPending, f.pending());
        }
        QCOMPARE(out, (QList<QByteArray>{"ok1", "ok2", "ok3", QByteArray(1024, 'z')}));
        QCOMPARE(f.droppedLines(), qsizetype(2));
        QVERIFY(maxPending <= 1025 + chunk);
    }

    void megabyteWithoutCrLf()
    {
        LineFramer f;
        QList<QByteArray> out;
        const QByteArray block(64 * 1024, 'a');
        for (int i = 0; i < 16; ++i) {
            f.feed(block, out);
            QVERIFY(f.pending() <= 64 * 1024 + 1);
        }
        f.feed("\r\n+OK\r\n", out);
        QCOMPARE(out, QList<QByteArray>{"+OK"});
    }
};

QTEST_APPLESS_MAIN(TstProtocol)
#include "tst_protocol.moc"
