#pragma once
// The lobby's line protocol, both directions, as pure functions: no sockets, no
// widgets, no globals. Lines here are decoded text without their CR LF.
#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>

namespace protocol {

// Keywords, exactly as they travel.
namespace kw {
inline constexpr char OK[] = "+OK";
inline constexpr char ERR[] = "-ERR";
inline constexpr char GAMENAME[] = "GAMENAME";
inline constexpr char HOST[] = "HOST";
inline constexpr char REGISTUSER[] = "REGISTUSER";
inline constexpr char LOGIN[] = "LOGIN";
inline constexpr char CHATDATA[] = "CHATDATA";
inline constexpr char ROOMLIST[] = "ROOMLIST";
inline constexpr char DAYCHART[] = "DAYCHART";
inline constexpr char WEEKCHART[] = "WEEKCHART";
inline constexpr char CREATEROOM[] = "CREATEROOM";
inline constexpr char ENTERROOM[] = "ENTERROOM";
inline constexpr char ROOMPLAYERLIST[] = "ROOMPLAYERLIST";
inline constexpr char LEAVEROOM[] = "LEAVEROOM";
inline constexpr char DELETEROOM[] = "DELETEROOM";
inline constexpr char PLAYERINFO[] = "PLAYERINFO";
inline constexpr char LMESSAGE[] = "LMESSAGE";
inline constexpr char RMESSAGE[] = "RMESSAGE";
inline constexpr char UPDATEUSER[] = "UPDATEUSER";
inline constexpr char IP[] = "IP";
inline constexpr char START[] = "START";
inline constexpr char QUIT[] = "QUIT";
inline constexpr char PLAYERLIST[] = "PLAYERLIST";
inline constexpr char HOSTIP[] = "HOSTIP";
inline constexpr char GAMEINFO[] = "GAMEINFO";
} // namespace kw

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

// Server side: a list line (keyword alone when there are no entries).
QString listLine(const QString &keyword, const QStringList &entries);
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
// "N (T)", as the room list shows an entry.
QString roomRow(const QString &entry);
// "name (サーバー)" or "name (クライアント)".
QString playerRow(const QString &entry);

} // namespace protocol
