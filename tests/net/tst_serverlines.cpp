// Server lines as the server builds them, read back by the client's parsers; and
// the parsers on lines no good server sends.
#include "net/protocol/protocol.h"

#include <QTest>

using namespace protocol;

namespace {

// An empty optional is an invalid QVariant, so rows can say "keeps the old value".
template <typename T>
QVariant v(const std::optional<T> &o)
{
    return o ? QVariant::fromValue(*o) : QVariant();
}

const QVariant none;

QVariant n(int x)
{
    return QVariant::fromValue(qint16(x));
}

QList<qint16> counts(int n, int from = 0)
{
    QList<qint16> out;
    for (int i = 0; i < n; ++i)
        out << qint16(from + i);
    return out;
}

QString numbers(const QList<qint16> &values)
{
    QStringList out;
    for (qint16 x : values)
        out << QString::number(x);
    return out.join(u' ');
}

// A view that points into line, so nothing of the line was copied for it.
bool inside(QStringView view, const QString &line)
{
    const auto from = quintptr(line.constData());
    const auto at = quintptr(view.data());
    return view.isEmpty() || (at >= from && at + sizeof(QChar) * view.size() <= from + sizeof(QChar) * line.size());
}

const QString mib(1 << 20, u'x');

} // namespace

class TstServerLines : public QObject {
    Q_OBJECT
private slots:
    void kinds_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("kind");
        QTest::newRow("+OK") << okLine() << int(ServerLine::Ok);
        QTest::newRow("greeting") << okLine("QorChat lobby server") << int(ServerLine::Ok);
        QTest::newRow("-ERR") << errLine(err::ServerFull, "server full") << int(ServerLine::Err);
        QTest::newRow("LMESSAGE") << chatLine(false, "taro", "hi") << int(ServerLine::LobbyMessage);
        QTest::newRow("RMESSAGE") << chatLine(true, "taro", "hi") << int(ServerLine::RoomMessage);
        QTest::newRow("PLAYERLIST") << listLine(kw::PLAYERLIST, {}) << int(ServerLine::PlayerList);
        QTest::newRow("ROOMLIST") << listLine(kw::ROOMLIST, {"r 1/8"}) << int(ServerLine::RoomList);
        QTest::newRow("ROOMPLAYERLIST") << listLine(kw::ROOMPLAYERLIST, {"a 1"}) << int(ServerLine::RoomPlayerList);
        QTest::newRow("DAYCHART") << dayChartLine("2001/4/19", 3, {}) << int(ServerLine::DayChart);
        QTest::newRow("WEEKCHART") << weekChartLine(QDate(2001, 4, 19), {}) << int(ServerLine::WeekChart);
        QTest::newRow("HOSTIP") << hostIpLine("192.0.2.7") << int(ServerLine::HostIp);
        QTest::newRow("START") << startLine() << int(ServerLine::Start);
        QTest::newRow("GAMEINFO") << gameInfoLine(1, 2, 0, true) << int(ServerLine::GameInfo);
        QTest::newRow("DELETEROOM") << deleteRoomLine("r") << int(ServerLine::DeleteRoom);
        QTest::newRow("PLAYERINFO") << playerInfoLine("taro", "c") << int(ServerLine::PlayerInfo);
        QTest::newRow("CHATDATA") << chatDataLine({"a"}) << int(ServerLine::ChatData);
        QTest::newRow("PLAYERSET") << "PLAYERSET taro 1" << int(ServerLine::ListDelta);
        QTest::newRow("PLAYERREMOVE") << "PLAYERREMOVE taro" << int(ServerLine::ListDelta);
        QTest::newRow("ROOMSET") << "ROOMSET r 1/8" << int(ServerLine::ListDelta);
        QTest::newRow("ROOMREMOVE") << "ROOMREMOVE r" << int(ServerLine::ListDelta);
        QTest::newRow("client's LISTDELTA") << "LISTDELTA" << int(ServerLine::Unknown);
        QTest::newRow("lower case") << "start" << int(ServerLine::Unknown);
        QTest::newRow("longer keyword") << "STARTED" << int(ServerLine::Unknown);
        QTest::newRow("leading space") << " +OK" << int(ServerLine::Unknown);
        QTest::newRow("empty") << "" << int(ServerLine::Unknown);
        QTest::newRow("client command") << "QUIT" << int(ServerLine::Unknown);
    }
    void kinds()
    {
        QFETCH(QString, line);
        QFETCH(int, kind);
        QCOMPARE(int(serverLine(line)), kind);
    }

    void status_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QVariant>("code");
        QTest::newRow("ok") << okLine() << true << true << none;
        QTest::newRow("greeting") << okLine("QorChat lobby server") << true << true << none;
        QTest::newRow("err") << errLine(err::RoomExists) << true << false << n(1);
        QTest::newRow("busy") << errLine(err::ServerFull, "server full") << true << false << n(100);
        QTest::newRow("timeout") << errLine(err::SignInTimeout, "sign-in timed out") << true << false << n(92);
        QTest::newRow("err alone keeps the code") << "-ERR" << true << false << none;
        QTest::newRow("empty code") << "-ERR " << true << false << n(0);
        QTest::newRow("word") << "-ERR full" << true << false << n(0);
        QTest::newRow("half to even") << "-ERR 2.5 x" << true << false << n(2);
        QTest::newRow("beyond 16 bits") << "-ERR 32768" << true << false << n(0);
        QTest::newRow("negative") << "-ERR -32768" << true << false << n(-32768);
        QTest::newRow("huge code") << "-ERR " + QString(1 << 20, u'9') << true << false << n(0);
        QTest::newRow("lower case") << "+ok" << false << false << none;
        QTest::newRow("other line") << "LMESSAGE a b" << false << false << none;
    }
    void status()
    {
        QFETCH(QString, line);
        QFETCH(bool, parsed);
        QFETCH(bool, ok);
        QFETCH(QVariant, code);
        const auto s = parseStatus(line);
        QCOMPARE(s.has_value(), parsed);
        if (!s)
            return;
        QCOMPARE(s->ok, ok);
        QCOMPARE(v(s->code), code);
    }

    void chat_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<bool>("room");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("text");
        QTest::newRow("lobby") << chatLine(false, "taro", "hello  world") << true << false << "taro" << "hello  world";
        QTest::newRow("room") << chatLine(true, "花子_2", "よろしく ") << true << true << "花子_2" << "よろしく ";
        QTest::newRow("empty text") << chatLine(false, "taro", "") << true << false << "taro" << "";
        QTest::newRow("text with LF") << chatLine(true, "a", "x\ny") << true << true << "a" << "x\ny";
        QTest::newRow("no text") << "LMESSAGE taro" << true << false << "taro" << "";
        QTest::newRow("empty sender") << "RMESSAGE  text" << true << true << "" << "text";
        QTest::newRow("keyword and space") << "LMESSAGE " << true << false << "" << "";
        QTest::newRow("keyword alone") << "LMESSAGE" << false << false << "" << "";
        QTest::newRow("other line") << "PLAYERINFO taro hi" << false << false << "" << "";
    }
    void chat()
    {
        QFETCH(QString, line);
        QFETCH(bool, parsed);
        QFETCH(bool, room);
        QFETCH(QString, sender);
        QFETCH(QString, text);
        const auto c = parseChatLine(line);
        QCOMPARE(c.has_value(), parsed);
        if (!c)
            return;
        QCOMPARE(c->room, room);
        QCOMPARE(c->sender.toString(), sender);
        QCOMPARE(c->text.toString(), text);
    }

    void longFreeTextIsNotCopied_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("chat text") << chatLine(false, "taro", mib);
        QTest::newRow("chat sender") << chatLine(true, mib, "hi");
        QTest::newRow("comment") << playerInfoLine("taro", mib);
        QTest::newRow("deleted room") << deleteRoomLine(mib);
    }
    void longFreeTextIsNotCopied()
    {
        QFETCH(QString, line);
        QList<QStringView> views;
        if (const auto c = parseChatLine(line))
            views << c->sender << c->text;
        else if (const auto p = parsePlayerInfo(line))
            views << p->name << p->comment;
        else if (const auto d = parseDeleteRoom(line))
            views << d->room;
        QVERIFY(!views.isEmpty());
        qsizetype total = 0;
        for (QStringView view : views) {
            QVERIFY(inside(view, line));
            total += view.size();
        }
        QVERIFY(total >= mib.size());
    }

    void lists_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("entries");
        const QStringList players{playerListEntry("taro", true), playerListEntry("hanako", false)};
        const QStringList rooms{roomListEntry("My Room", 2, 8), roomListEntry("50%2 off", 1, 4)};
        QTest::newRow("players") << listLine(kw::PLAYERLIST, players) << int(ListLine::Players) << players;
        QTest::newRow("rooms") << listLine(kw::ROOMLIST, rooms) << int(ListLine::Rooms) << rooms;
        QTest::newRow("room players") << listLine(kw::ROOMPLAYERLIST, players) << int(ListLine::RoomPlayers) << players;
        QTest::newRow("empty") << listLine(kw::PLAYERLIST, {}) << int(ListLine::Players) << QStringList();
        QTest::newRow("junk before the first LF") << "ROOMLIST junk\nr 1/8" << int(ListLine::Rooms) << QStringList{"r 1/8"};
        QTest::newRow("no LF at all") << "PLAYERLIST taro 1" << int(ListLine::Players) << QStringList();
        QTest::newRow("trailing LF") << "ROOMPLAYERLIST \na 1\n" << int(ListLine::RoomPlayers) << QStringList{"a 1", ""};
    }
    // The greeting's words after "+OK": only the exact word offers incremental lists.
    void greetingOffers_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("offers");
        QTest::newRow("plain greeting") << okLine("QorChat lobby server") << false;
        QTest::newRow("offering") << okLine("QorChat lobby server LISTDELTA") << true;
        QTest::newRow("word first") << okLine("LISTDELTA") << true;
        QTest::newRow("lower case") << okLine("listdelta") << false;
        QTest::newRow("part of a word") << okLine("LISTDELTAS") << false;
        QTest::newRow("keyword alone") << okLine() << false;
        QTest::newRow("on -ERR") << errLine(1, "LISTDELTA") << false;
    }
    void greetingOffers()
    {
        QFETCH(QString, line);
        QFETCH(bool, offers);
        const auto st = parseStatus(line);
        QVERIFY(st);
        QCOMPARE(st->offersListDelta, offers);
    }

    // What the server sends to turn sent into now, applied by the client, gives now.
    void listDeltaRoundTrip_data()
    {
        QTest::addColumn<bool>("rooms");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QStringList>("now");
        QTest::addColumn<int>("lines");
        const QStringList ab{"a 0", "b 1"};
        QTest::newRow("same") << false << ab << ab << 0;
        QTest::newRow("one signs in") << false << ab << QStringList{"a 0", "b 1", "c 0"} << 1;
        QTest::newRow("one signs out") << false << ab << QStringList{"b 1"} << 1;
        QTest::newRow("from nothing") << false << QStringList() << ab << 2;
        QTest::newRow("to nothing") << false << ab << QStringList() << 2;
        QTest::newRow("out and in again") << false << ab << QStringList{"b 1", "a 0"} << 2;
        QTest::newRow("role changed") << false << ab << QStringList{"a 1", "b 1"} << 1;
        QTest::newRow("room fills") << true << QStringList{"My Room 1/4", "x 2/2"} << QStringList{"My Room 2/4", "x 2/2"} << 1;
        QTest::newRow("room made again") << true << QStringList{"r 1/4", "s 1/4"} << QStringList{"s 1/4", "t 1/4", "r 1/4"} << 3;
        QTest::newRow("names with spaces") << true << QStringList{"a b 1/4", "a 1/4"} << QStringList{"a 2/4", "a  b 1/4"} << 3;
        QTest::newRow("one of many goes") << false << QStringList{"a 0", "b 0", "c 0", "d 0"} << QStringList{"a 0", "c 0", "d 0"} << 1;
    }
    void listDeltaRoundTrip()
    {
        QFETCH(bool, rooms);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, now);
        QFETCH(int, lines);
        const QStringList delta = listDeltaLines(rooms ? ListDelta::Rooms : ListDelta::Players, sent, now);
        QCOMPARE(delta.size(), lines);
        QStringList stored = sent;
        stored.append(QString());
        for (const QString &line : delta) {
            const auto d = parseListDelta(line);
            QVERIFY2(d, qPrintable(line));
            QCOMPARE(d->kind == ListDelta::Rooms, rooms);
            applyListDelta(stored, *d);
        }
        now.append(QString());
        QCOMPARE(stored, now);
    }

    void listDelta_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("after");
        const QStringList ab{"a 0", "b 1", ""};
        QTest::newRow("append") << ab << "PLAYERSET c 0" << QStringList{"a 0", "b 1", "c 0", ""};
        QTest::newRow("replace in place") << ab << "PLAYERSET a 1" << QStringList{"a 1", "b 1", ""};
        QTest::newRow("remove") << ab << "PLAYERREMOVE a" << QStringList{"b 1", ""};
        QTest::newRow("remove unknown") << ab << "PLAYERREMOVE c" << ab;
        QTest::newRow("remove by whole entry") << ab << "PLAYERREMOVE a 0" << ab;
        QTest::newRow("no list yet") << QStringList() << "ROOMSET r 1/8" << QStringList{"r 1/8", ""};
        QTest::newRow("room name with spaces") << QStringList{"My Room 1/8", ""} << "ROOMREMOVE My Room" << QStringList{""};
        QTest::newRow("keyword alone") << ab << "PLAYERSET" << ab;
        QTest::newRow("keyword and space") << ab << "PLAYERREMOVE " << ab;
        QTest::newRow("other line") << ab << "PLAYERLIST \nc 0" << ab;
    }
    void listDelta()
    {
        QFETCH(QStringList, stored);
        QFETCH(QString, line);
        QFETCH(QStringList, after);
        if (const auto d = parseListDelta(line))
            applyListDelta(stored, *d);
        QCOMPARE(stored, after);
    }

    void lists()
    {
        QFETCH(QString, line);
        QFETCH(int, kind);
        QFETCH(QStringList, entries);
        const auto l = parseListLine(line);
        QVERIFY(l);
        QCOMPARE(int(l->kind), kind);
        QCOMPARE(l->entries, entries);
    }

    void listEntriesRoundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "taro";
        QTest::newRow("japanese") << "花子_2";
        QTest::newRow("with spaces") << "My  Room";
        QTest::newRow("placeholders") << "50%2 off %1";
    }
    void listEntriesRoundTrip()
    {
        QFETCH(QString, name);
        for (bool host : {true, false}) {
            const PlayerEntry p = playerEntry(playerListEntry(name, host));
            if (!name.contains(u' ')) {
                QCOMPARE(p.name, name);
                QCOMPARE(p.host, host);
            }
        }
        // The client enters a room with the name of its ROOMLIST entry plus spaces.
        const RoomEntry r = roomEntry(roomListEntry(name, 3, 8));
        QCOMPARE(r.name, name + u' ');
        QCOMPARE(r.status, QStringLiteral("3/8"));
        QCOMPARE(roomNameArgument(enterRoom(roomListEntry(name, 3, 8))), name);
    }

    void charts_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("week");
        QTest::addColumn<QVariant>("date");
        QTest::addColumn<QVariant>("values");
        const QList<int> day = {5, 0, 32767, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
        QList<qint16> day16(day.cbegin(), day.cend());
        QTest::newRow("day") << dayChartLine("2001/4/19", 13, day) << false << QVariant("13") << QVariant::fromValue(day16);
        QTest::newRow("week") << weekChartLine(QDate(2001, 4, 19), {1, 2, 3, 4, 5, 6, 7}) << true
                              << QVariant("2001/4/19") << QVariant::fromValue(counts(7, 1));
        QTest::newRow("week, two-digit month") << weekChartLine(QDate(2026, 12, 8), {}) << true << QVariant("2026/12/8")
                                               << QVariant::fromValue(QList<qint16>());
        QTest::newRow("day, keyword alone") << "DAYCHART" << false << none << none;
        QTest::newRow("week, keyword alone") << "WEEKCHART" << true << none << none;
        QTest::newRow("day, no hour") << "DAYCHART x" << false << none << QVariant::fromValue(QList<qint16>());
        QTest::newRow("week, empty date") << "WEEKCHART " << true << QVariant("") << QVariant::fromValue(QList<qint16>());
        QTest::newRow("day, no values") << "DAYCHART x 13" << false << QVariant("13") << QVariant::fromValue(QList<qint16>());
        QTest::newRow("garbage stays 0") << "DAYCHART x 13 5 many 7 32768 1e9" << false << QVariant("13")
                                         << QVariant::fromValue(QList<qint16>{5, 0, 7, 0, 0});
        QTest::newRow("empty value stays 0") << "WEEKCHART d 1  3" << true << QVariant("d")
                                             << QVariant::fromValue(QList<qint16>{1, 0, 3});
        QTest::newRow("more than 25") << "DAYCHART x 0 " + numbers(counts(30)) << false << QVariant("0")
                                      << QVariant::fromValue(counts(25));
        QTest::newRow("a million values") << "WEEKCHART d " + QStringList(1 << 20, QStringLiteral("1")).join(u' ') << true
                                          << QVariant("d") << QVariant::fromValue(QList<qint16>(25, 1));
    }
    void charts()
    {
        QFETCH(QString, line);
        QFETCH(bool, week);
        QFETCH(QVariant, date);
        QFETCH(QVariant, values);
        const auto c = parseChart(line);
        QVERIFY(c);
        QCOMPARE(c->week, week);
        QCOMPARE(v(c->date), date);
        QCOMPARE(v(c->values), values);
    }

    void hostIp_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QVariant>("address");
        QTest::addColumn<bool>("malformed");
        QTest::newRow("ipv4") << hostIpLine("192.0.2.7") << QVariant("192.0.2.7") << false;
        QTest::newRow("ipv6") << hostIpLine("2001:db8::1") << QVariant("2001:db8::1") << false;
        QTest::newRow("45 characters") << hostIpLine("0000:0000:0000:0000:0000:ffff:192.168.100.200")
                                       << QVariant("0000:0000:0000:0000:0000:ffff:192.168.100.200") << false;
        QTest::newRow("no address keeps the old one") << "HOSTIP" << none << false;
        QTest::newRow("empty address") << "HOSTIP " << QVariant("") << true;
        QTest::newRow("a name") << hostIpLine("example.org") << QVariant("") << true;
        QTest::newRow("scope id") << hostIpLine("fe80::1%eth0") << QVariant("") << true;
        QTest::newRow("escape") << hostIpLine("::1\x1b[2J") << QVariant("") << true;
        QTest::newRow("second token ignored") << "HOSTIP 192.0.2.7 junk" << QVariant("192.0.2.7") << false;
        QTest::newRow("a megabyte") << hostIpLine(mib) << QVariant("") << true;
    }
    void hostIp()
    {
        QFETCH(QString, line);
        QFETCH(QVariant, address);
        QFETCH(bool, malformed);
        const auto h = parseHostIp(line);
        QVERIFY(h);
        QCOMPARE(v(h->address), address);
        QCOMPARE(h->malformed, malformed);
    }

    void gameInfo_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QVariant>("id");
        QTest::addColumn<QVariant>("minPlayers");
        QTest::addColumn<QVariant>("topmost");
        QTest::newRow("topmost") << gameInfoLine(12, 4, 0, true) << n(12) << n(4) << QVariant(true);
        QTest::newRow("not topmost") << gameInfoLine(1, 2, 7, false) << n(1) << n(2)
                                     << QVariant(false);
        QTest::newRow("largest id") << gameInfoLine(32767, 8, 0, true) << n(32767) << n(8)
                                    << QVariant(true);
        QTest::newRow("id beyond 16 bits kept") << gameInfoLine(40000, 2, 0, true) << none << n(2)
                                                << QVariant(true);
        QTest::newRow("keyword alone") << "GAMEINFO" << none << none << none;
        QTest::newRow("id only") << "GAMEINFO 12" << n(12) << none << none;
        QTest::newRow("four tokens") << "GAMEINFO 12 4 0" << n(12) << n(4) << none;
        QTest::newRow("garbage") << "GAMEINFO x 3 y maybe" << none << n(3) << none;
        QTest::newRow("numbers as flags") << "GAMEINFO 2.5 1e1 z -1" << n(2) << n(10)
                                          << QVariant(true);
        QTest::newRow("zero is false") << "GAMEINFO 1 2 3 0" << n(1) << n(2) << QVariant(false);
        QTest::newRow("any letter case") << "GAMEINFO 1 2 3 fALSE extra" << n(1) << n(2)
                                         << QVariant(false);
        QTest::newRow("empty fields") << "GAMEINFO    " << none << none << none;
    }
    void gameInfo()
    {
        QFETCH(QString, line);
        QFETCH(QVariant, id);
        QFETCH(QVariant, minPlayers);
        QFETCH(QVariant, topmost);
        const auto g = parseGameInfo(line);
        QVERIFY(g);
        QCOMPARE(v(g->id), id);
        QCOMPARE(v(g->minPlayers), minPlayers);
        QCOMPARE(v(g->topmost), topmost);
    }

    void freeText_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("rest");
        QTest::newRow("comment") << playerInfoLine("taro", "よろしく お願いします") << true << "taro" << "よろしく お願いします";
        QTest::newRow("empty comment") << playerInfoLine("taro", "") << true << "taro" << "";
        QTest::newRow("comment spaces kept") << playerInfoLine("taro", " a  b ") << true << "taro" << " a  b ";
        QTest::newRow("no comment") << "PLAYERINFO taro" << true << "taro" << "";
        QTest::newRow("info keyword alone") << "PLAYERINFO" << false << "" << "";
        QTest::newRow("deleted room") << deleteRoomLine("My Room") << true << "" << "My Room";
        QTest::newRow("deleted, no name") << "DELETEROOM" << true << "" << "";
        QTest::newRow("start") << startLine() << true << "" << "";
        QTest::newRow("start with text") << "START now" << true << "" << "";
        QTest::newRow("not start") << "STARTX" << false << "" << "";
    }
    void freeText()
    {
        QFETCH(QString, line);
        QFETCH(bool, parsed);
        QFETCH(QString, first);
        QFETCH(QString, rest);
        switch (serverLine(line)) {
        case ServerLine::PlayerInfo: {
            const auto p = parsePlayerInfo(line);
            QCOMPARE(p.has_value(), parsed);
            if (p) {
                QCOMPARE(p->name.toString(), first);
                QCOMPARE(p->comment.toString(), rest);
            }
            break;
        }
        case ServerLine::DeleteRoom: {
            const auto d = parseDeleteRoom(line);
            QVERIFY(d);
            QCOMPARE(d->room.toString(), rest);
            break;
        }
        default:
            QCOMPARE(parseStart(line).has_value(), parsed);
        }
    }

    void chatData_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("max");
        QTest::addColumn<QStringList>("phrases");
        QTest::addColumn<int>("more");
        const QStringList five{"よろしく", "がんばろう", "good game", " ", ""};
        QTest::newRow("all") << chatDataLine(five) << 100 << five << 0;
        QTest::newRow("capped") << chatDataLine(five) << 3 << five.mid(0, 3) << 2;
        QTest::newRow("none") << chatDataLine({}) << 100 << QStringList() << 0;
        QTest::newRow("keyword alone") << "CHATDATA" << 100 << QStringList() << 0;
        QTest::newRow("tail dropped") << "CHATDATA a@b" << 100 << QStringList{"a"} << 0;
        QTest::newRow("a million") << "CHATDATA " + QString(1 << 20, u'@') << 100 << QStringList(100, QString())
                                   << (1 << 20) - 100;
    }
    void chatData()
    {
        QFETCH(QString, line);
        QFETCH(int, max);
        QFETCH(QStringList, phrases);
        QFETCH(int, more);
        const auto c = parseChatData(line, max);
        QVERIFY(c);
        QCOMPARE(c->phrases, phrases);
        QCOMPARE(c->more, qsizetype(more));
    }

    // Each parser takes its own lines only.
    void othersRefused()
    {
        const QStringList lines{"", " ", "\n", "+OK", "-ERR 1", "LMESSAGE a b", "PLAYERLIST", "DAYCHART", "HOSTIP",
                                "START", "GAMEINFO", "DELETEROOM", "PLAYERINFO a", "CHATDATA", "UNKNOWN x"};
        for (const QString &line : lines) {
            const ServerLine k = serverLine(line);
            QCOMPARE(parseStatus(line).has_value(), k == ServerLine::Ok || k == ServerLine::Err);
            QCOMPARE(parseChatLine(line).has_value(), k == ServerLine::LobbyMessage || k == ServerLine::RoomMessage);
            QCOMPARE(parseListLine(line).has_value(), k == ServerLine::PlayerList);
            QCOMPARE(parseChart(line).has_value(), k == ServerLine::DayChart);
            QCOMPARE(parseHostIp(line).has_value(), k == ServerLine::HostIp);
            QCOMPARE(parseStart(line).has_value(), k == ServerLine::Start);
            QCOMPARE(parseGameInfo(line).has_value(), k == ServerLine::GameInfo);
            QCOMPARE(parseDeleteRoom(line).has_value(), k == ServerLine::DeleteRoom);
            QCOMPARE(parsePlayerInfo(line).has_value(), k == ServerLine::PlayerInfo);
            QCOMPARE(parseChatData(line, 10).has_value(), k == ServerLine::ChatData);
        }
    }
};

QTEST_APPLESS_MAIN(TstServerLines)
#include "tst_serverlines.moc"
