#pragma once
// The lobby's line protocol, both directions, as pure functions: no sockets, no
// widgets, no globals. Lines here are decoded text without their CR LF.
#include "wire/wire.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <type_traits>

namespace protocol {

// ---- Building lines ----------------------------------------------------------

// Keyword, then each argument after one space. No quoting: arguments go as they are.
QString command(const QString &keyword, const QStringList &args = {});

// "[" becomes "\[" and then "]" becomes "\]"; a backslash is not escaped.
QString escapeGameName(const QString &name);
QString unescapeGameName(const QString &escaped);

QString gameName(const QString &name);        // GAMENAME with the escaped name
QString host(qint16 blnHost);                 // HOST yes only for True (-1)
QString registUser(const QString &user, const QString &password, const QString &email, const QString &comment);
QString updateUser(const QString &user, const QString &password, const QString &email, const QString &comment);
QString login(const QString &user, const QString &password);
QString createRoom(const QString &name);
// ENTERROOM and ROOMPLAYERLIST take the room-list entry and send its name N plus one space.
QString enterRoom(const QString &roomEntry);
QString roomPlayerList(const QString &roomEntry);
QString deleteRoom(const QString &name);
QString playerInfo(const QString &playerEntry);
QString lobbyMessage(const QString &text);     // "LMESSAGE " + text, also for empty text
QString roomMessage(const QString &text);
QString ip(const QString &address);

// Server side: the status lines. "+OK" alone, or with text after a space.
QString okLine(const QString &text = QString());
// "-ERR code" or "-ERR code text".
QString errLine(int code, const QString &text = QString());
template <typename E>
    requires std::is_enum_v<E>
QString errLine(E code, const QString &text = QString())
{
    return errLine(int(code), text);
}
// "LMESSAGE sender text" (lobby) or "RMESSAGE sender text" (room).
QString chatLine(bool room, const QString &sender, const QString &text);
QString hostIpLine(const QString &address);
QString startLine();
QString deleteRoomLine(const QString &room);
// Server side: a list line (keyword alone when there are no entries).
QString listLine(const QString &keyword, const QStringList &entries);
// The entries of those lists: "name 1" for a host, "name 0" otherwise (PLAYERLIST,
// ROOMPLAYERLIST); "name members/capacity" (ROOMLIST).
QString playerListEntry(const QString &name, bool host);
QString roomListEntry(const QString &name, qsizetype members, int capacity);
QString chatDataLine(const QStringList &phrases);
// "GAMEINFO id min n True|False".
QString gameInfoLine(int id, int minPlayers, int n, bool topmost);
// "DAYCHART x hour c0 ... c23" and "WEEKCHART yyyy/m/d c0 ... c6", newest count first.
QString dayChartLine(const QString &x, int hour, const QList<int> &counts);
QString weekChartLine(const QDate &newestDay, const QList<int> &counts);
// "PLAYERINFO name comment" (the comment is the rest of the line, possibly empty).
QString playerInfoLine(const QString &name, const QString &comment);

// ---- Taking lines apart -----------------------------------------------------

// Split at every space; empty tokens are kept, so positions match the line.
QStringList tokens(const QString &line);
// The first max tokens only (fewer when the line has fewer); the rest of the line is
// not looked at, so a long line costs no more than a short one.
QStringList tokens(const QString &line, qsizetype max);
QString keyword(const QString &line);
// Everything after the second space (the text of LMESSAGE, RMESSAGE, PLAYERINFO),
// or "" when the line is shorter.
QString restOfLine(const QString &line);
// Server side: everything after the first space ("" when there is none).
QString afterKeyword(const QString &line);
// Server side: the first n space-separated fields after the keyword, then the rest
// of the line after the field that follows them (n + 1 elements, "" where missing).
// "REGISTUSER u p e my comment" with n = 3 gives u, p, e, "my comment".
QStringList fieldsAndRest(const QString &line, int n);
// Server side: the room name of ENTERROOM, ROOMPLAYERLIST, CREATEROOM and DELETEROOM:
// everything after the keyword without its trailing spaces (the client sends the
// room-list name plus spaces).
QString roomNameArgument(const QString &line);
// The entries of a list line: the pieces after each LF. The keyword part is dropped.
QStringList listEntries(const QString &line);
// CHATDATA: the text after the keyword and a space, cut at every "@"; the piece
// after the last "@" is dropped.
QStringList chatPhrases(const QString &line);
// The first max of those phrases; *more (when given) is set to how many were left out.
QStringList chatPhrases(const QString &line, qsizetype max, qsizetype *more);

// A room-list entry: the name N (everything before the last token, keeping the
// space in front of that token; "" when there is no space) and the last token.
// The client sends N plus one more space: "MyRoom 3" enters as "ENTERROOM MyRoom  ".
struct RoomEntry {
    QString name;
    QString status;
};
RoomEntry roomEntry(const QString &entry);
// A PLAYERLIST or ROOMPLAYERLIST entry: token 0 is the name; the player hosts
// when token 1 is exactly "1".
struct PlayerEntry {
    QString name;
    bool host = false;
};
PlayerEntry playerEntry(const QString &entry);
// "N (T)", as the room list shows an entry.
QString roomRow(const QString &entry);
// "name (サーバー)" or "name (クライアント)".
QString playerRow(const QString &entry);

// ---- Server lines, typed ---------------------------------------------------
//
// One parser per server line. Each takes the whole decoded line, returns nullopt
// when the keyword is not its own, and reads only the tokens it needs, so a long
// line costs no more than the part that is used. Where a field is missing or does
// not convert and the dispatcher keeps its old value, the field is an empty
// optional. Numbers and flags follow toInteger and toBoolean (wire/rules.h).
// Structs holding QStringView point into the line passed in: use them while that
// line lives.

enum class ServerLine {
    Unknown, // any other keyword: ignored
    Ok,
    Err,
    LobbyMessage,
    RoomMessage,
    PlayerList,
    RoomList,
    DayChart,
    WeekChart,
    RoomPlayerList,
    HostIp,
    Start,
    GameInfo,
    DeleteRoom,
    PlayerInfo,
    ChatData,
    ListDelta, // PLAYERSET, PLAYERREMOVE, ROOMSET, ROOMREMOVE
};
// By token 0, compared exactly.
ServerLine serverLine(QStringView line);

// "+OK" and "-ERR [code]". The dispatcher sets gintStatus to StatusOK or StatusErr
// and, when code holds a value, gintErrCode to it.
struct Status {
    bool ok = false;
    // -ERR with a second token: its number, 0 when it is no number. nullopt for
    // +OK and for -ERR alone (gintErrCode keeps its value).
    std::optional<qint16> code;
    // +OK naming LISTDELTA among its words (a greeting offering incremental lists).
    bool offersListDelta = false;
};
std::optional<Status> parseStatus(const QString &line);

// "LMESSAGE sender text" and "RMESSAGE sender text". The dispatcher appends "<",
// sender, "> ", text to the lobby (room false) or room chat box, each cut to what
// it shows. nullopt also when no space follows the keyword (nothing is shown).
// sender: token 1; text: everything after the second space, "" without one.
struct ChatLine {
    bool room = false;
    QStringView sender;
    QStringView text;
};
std::optional<ChatLine> parseChatLine(const QString &line);
std::optional<ChatLine> parseChatLine(QString &&) = delete; // the views would dangle

// PLAYERLIST, ROOMLIST and ROOMPLAYERLIST. The dispatcher stores entries plus one
// empty element (astrPlayers, astrRooms, astrRoomPlayers), sets the list's ready
// flag where it has one and shows the list. An empty entry (a line feed after the
// last one) is kept here; the room-player display skips it.
struct ListLine {
    enum Kind { Players, Rooms, RoomPlayers } kind = Players;
    QStringList entries;
};
std::optional<ListLine> parseListLine(const QString &line);

// The access chart has this many slots; a chart line's further values are ignored.
inline constexpr int kChartValues = 25;

// "DAYCHART x hour c0 ..." and "WEEKCHART yyyy/m/d c0 ...". The dispatcher sets
// strChartDate when date holds a value, aintChart when values holds one, and
// blnChartReady in every case.
struct Chart {
    bool week = false;
    // Token 2 of DAYCHART (the hour), token 1 of WEEKCHART; nullopt when missing.
    std::optional<QString> date;
    // The tokens after it, at most kChartValues, each 0 where it is no number (an
    // empty list when there are none); nullopt for the keyword alone.
    std::optional<QList<qint16>> values;
};
std::optional<Chart> parseChart(const QString &line);

// "HOSTIP address". The dispatcher shows the notice and locks Leave; for a
// non-host with address set it sets gstrHostIP to *address and, when malformed,
// counts a protocol error; then it stores gstrHostIP under "dbg"/"hostip".
struct HostIp {
    // Token 1 when it is a plain address, "" when it is something else; nullopt
    // when the line has no token 1 (gstrHostIP keeps its value).
    std::optional<QString> address;
    bool malformed = false;
};
std::optional<HostIp> parseHostIp(const QString &line);

// "START", nothing after it read. The dispatcher ends the lobby and reads no
// further line.
struct Start {};
std::optional<Start> parseStart(QStringView line);

// "GAMEINFO id min n topmost". The dispatcher sets gintGameID, gintMinPlayers and
// gblnTopmost from each field that holds a value, and drops always-on-top when
// topmost holds false. Token 3 is not read.
struct GameInfo {
    std::optional<qint16> id;
    std::optional<qint16> minPlayers;
    std::optional<bool> topmost;
};
std::optional<GameInfo> parseGameInfo(const QString &line);

// "DELETEROOM [room]": the user's room was deleted. The dispatcher does not read
// the room (everything after the keyword and its space).
struct DeleteRoom {
    QStringView room;
};
std::optional<DeleteRoom> parseDeleteRoom(const QString &line);
std::optional<DeleteRoom> parseDeleteRoom(QString &&) = delete;

// "PLAYERINFO name comment". The dispatcher shows name, "のコメント : ", comment in
// the status bar, each cut to what it shows. nullopt also for the keyword alone
// (nothing is shown). name: token 1; comment: everything after the second space.
struct PlayerInfo {
    QStringView name;
    QStringView comment;
};
std::optional<PlayerInfo> parsePlayerInfo(const QString &line);
std::optional<PlayerInfo> parsePlayerInfo(QString &&) = delete;

// "CHATDATA p1@p2@...@". The dispatcher stores phrases under keys "1", "2", ...
// of the game's chat section, offers them in the chat inputs and counts more as
// phrases left out.
struct ChatData {
    QStringList phrases; // the first max phrases
    qsizetype more = 0;  // how many phrases followed them
};
std::optional<ChatData> parseChatData(const QString &line, qsizetype max);

// ---- Incremental lists --------------------------------------------------------
//
// "PLAYERSET entry" and "ROOMSET entry": the entry replaces the one with the same
// key, or is appended when there is none. "PLAYERREMOVE key" and "ROOMREMOVE key":
// the entry with that key goes (nothing happens when there is none). The key of an
// entry is everything before its last space: a player's or a room's name.
QString listEntryKey(QStringView entry);
struct ListDelta {
    enum Kind { Players, Rooms } kind = Players;
    bool remove = false;
    QString value; // the entry, or the key to remove (the rest of the line)
};
std::optional<ListDelta> parseListDelta(const QString &line);
// Applies d to a list in its stored shape (entries, then one empty element).
void applyListDelta(QStringList &stored, const ListDelta &d);
// Server side: the lines that turn a client's list from sent into now (removals
// first, then the entries to set in order), none when they are equal.
QStringList listDeltaLines(ListDelta::Kind kind, const QStringList &sent, const QStringList &now);

} // namespace protocol
