// Client lines: what the client encodes is what the server reads back, field by
// field; and what the server reads from lines no client of ours sends.
#include "net/protocol/clientlines.h"

#include <QTest>

using namespace protocol::client;

Q_DECLARE_METATYPE(protocol::client::Line)

namespace {

QString show(const Line &l)
{
    if (const auto *u = std::get_if<Unknown>(&l))
        return QStringLiteral("Unknown(%1, \"%2\")").arg(int(u->why)).arg(u->keyword);
    return QStringLiteral("#%1 \"%2\"").arg(l.index()).arg(encode(l));
}

} // namespace

class TstClientLines : public QObject {
    Q_OBJECT
private slots:
    void lines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<Line>("parsed");
        // Whether encoding the parsed value gives the line back byte for byte.
        QTest::addColumn<bool>("canonical");
        const auto row = [](const char *name, const QString &line, const Line &parsed, bool canonical = true) {
            QTest::newRow(name) << line << parsed << canonical;
        };
        row("gamename escaped", "GAMENAME Go\\[9\\]", GameName{"Go[9]"});
        row("gamename empty", "GAMENAME ", GameName{""});
        row("gamename alone", "GAMENAME", GameName{""}, false);
        row("host yes", "HOST yes", Host{true});
        row("host no", "HOST no", Host{false});
        row("host alone", "HOST", Host{std::nullopt});
        row("host upper case", "HOST YES", Host{std::nullopt}, false);
        row("host space after", "HOST yes ", Host{std::nullopt}, false);
        row("registuser", "REGISTUSER taro pw123 t@x.jp hello  world ",
            RegistUser{"taro", "pw123", "t@x.jp", "hello  world "});
        row("registuser no comment", "REGISTUSER taro pw123 t@x.jp ", RegistUser{"taro", "pw123", "t@x.jp", ""});
        row("registuser short", "REGISTUSER taro", RegistUser{"taro", "", "", ""}, false);
        row("registuser empty field", "REGISTUSER  p", RegistUser{"", "p", "", ""}, false);
        row("updateuser", "UPDATEUSER 花子 secret1 h@x.jp よろしく", UpdateUser{"花子", "secret1", "h@x.jp", "よろしく"});
        row("login", "LOGIN taro secret", Login{"taro", "secret"});
        row("login password with spaces", "LOGIN taro my  pass ", Login{"taro", "my  pass "});
        row("login user only", "LOGIN taro", Login{"taro", ""}, false);
        row("listdelta", "LISTDELTA", ListDelta{});
        row("quit", "QUIT", Quit{});
        row("quit with text", "QUIT bye", Quit{}, false);
        row("chatdata", "CHATDATA", ChatData{});
        row("roomlist", "ROOMLIST", RoomList{});
        row("daychart", "DAYCHART", DayChart{});
        row("weekchart", "WEEKCHART", WeekChart{});
        row("leaveroom", "LEAVEROOM", LeaveRoom{});
        row("start", "START", Start{});
        row("start with text", "START now", Start{}, false);
        row("lmessage", "LMESSAGE hi  there ", LobbyMessage{"hi  there "});
        row("lmessage empty", "LMESSAGE ", LobbyMessage{""});
        row("lmessage alone", "LMESSAGE", LobbyMessage{""}, false);
        row("rmessage", "RMESSAGE よろしく お願いします", RoomMessage{"よろしく お願いします"});
        row("createroom", "CREATEROOM my room", CreateRoom{"my room"});
        row("createroom trailing spaces", "CREATEROOM 部屋  ", CreateRoom{"部屋"}, false);
        row("enterroom", "ENTERROOM r", EnterRoom{"r"});
        row("enterroom from the list", "ENTERROOM MyRoom  ", EnterRoom{"MyRoom"}, false);
        row("enterroom leading spaces kept", "ENTERROOM  r  ", EnterRoom{" r"}, false);
        row("roomplayerlist", "ROOMPLAYERLIST a b", RoomPlayerList{"a b"});
        row("deleteroom", "DELETEROOM abc", DeleteRoom{"abc"});
        row("deleteroom alone", "DELETEROOM", DeleteRoom{""}, false);
        row("playerinfo entry", "PLAYERINFO taro 1", PlayerInfo{"taro", "1"});
        row("playerinfo name", "PLAYERINFO taro", PlayerInfo{"taro", std::nullopt});
        row("playerinfo empty name", "PLAYERINFO  x y", PlayerInfo{"", "x y"});
        row("playerinfo alone", "PLAYERINFO", PlayerInfo{"", std::nullopt}, false);
        row("ip", "IP 203.0.113.5", Ip{"203.0.113.5"});
        row("ip white space", "IP  192.0.2.1 \t", Ip{"192.0.2.1"}, false);
        row("empty", "", Unknown{Unknown::Why::NoKeyword, ""}, false);
        row("leading space", " QUIT", Unknown{Unknown::Why::NoKeyword, ""}, false);
        row("lower case", "quit", Unknown{Unknown::Why::UnknownKeyword, "quit"}, false);
        row("longer keyword", "QUITS", Unknown{Unknown::Why::UnknownKeyword, "QUITS"}, false);
        row("tab is no separator", "LOGIN\ttaro pw", Unknown{Unknown::Why::UnknownKeyword, "LOGIN\ttaro"}, false);
        row("server line", "PLAYERLIST \ntaro 1", Unknown{Unknown::Why::UnknownKeyword, "PLAYERLIST"}, false);
        row("status line", "+OK", Unknown{Unknown::Why::UnknownKeyword, "+OK"}, false);
    }
    void lines()
    {
        QFETCH(QString, line);
        QFETCH(Line, parsed);
        QFETCH(bool, canonical);
        const Line got = parseClientLine(line);
        QVERIFY2(got == parsed, qPrintable(show(got) + QStringLiteral(" != ") + show(parsed)));
        if (std::holds_alternative<Unknown>(parsed))
            return;
        // What the client sends for the value is read back as that value.
        const QString sent = encode(parsed);
        QCOMPARE(sent == line, canonical);
        QVERIFY2(parseClientLine(sent) == parsed, qPrintable(sent));
    }

    void fromListEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("enter");
        QTest::addColumn<QString>("room");
        QTest::newRow("room") << "MyRoom 3" << "ENTERROOM MyRoom  " << "MyRoom";
        QTest::newRow("spaces in the name") << "My Room 2/8" << "ENTERROOM My Room  " << "My Room";
        QTest::newRow("no count") << "Solo" << "ENTERROOM  " << "";
    }
    void fromListEntries()
    {
        QFETCH(QString, entry);
        QFETCH(QString, enter);
        QFETCH(QString, room);
        QCOMPARE(EnterRoom{roomNameOfEntry(entry)}.encode(), enter);
        QVERIFY(parseClientLine(enter) == Line(EnterRoom{room}));
        QVERIFY(parseClientLine(RoomPlayerList{roomNameOfEntry(entry)}.encode()) == Line(RoomPlayerList{room}));
    }

    void loggable_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("logged");
        QTest::newRow("login") << "LOGIN taro my secret" << "LOGIN taro";
        QTest::newRow("registuser") << "REGISTUSER taro secret1 t@x.jp hi" << "REGISTUSER taro";
        QTest::newRow("updateuser") << "UPDATEUSER taro secret1 t@x.jp hi" << "UPDATEUSER taro";
        QTest::newRow("chat as it came") << "LMESSAGE secret1" << "LMESSAGE secret1";
        QTest::newRow("unknown as it came") << "login taro secret1" << "login taro secret1";
    }
    void loggable()
    {
        QFETCH(QString, line);
        QFETCH(QString, logged);
        QCOMPARE(protocol::client::loggable(parseClientLine(line), line), logged);
    }
};

QTEST_GUILESS_MAIN(TstClientLines)
#include "tst_clientlines.moc"
