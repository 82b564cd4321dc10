#pragma once
// What the client and the server must agree on, in one place: keywords, error
// numbers, byte limits and the user-ID rule. Header only, Qt Core at most, so that
// the session code, the protocol module and the server can all include it.
#include <QtGlobal>
#include <QStringView>

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
// Incremental lists, an extension: the server names LISTDELTA among the words of
// its greeting; a client that sends LISTDELTA gets one line per player or room
// that came, changed or went instead of whole PLAYERLIST and ROOMLIST lines.
inline constexpr char LISTDELTA[] = "LISTDELTA";
inline constexpr char PLAYERSET[] = "PLAYERSET";
inline constexpr char PLAYERREMOVE[] = "PLAYERREMOVE";
inline constexpr char ROOMSET[] = "ROOMSET";
inline constexpr char ROOMREMOVE[] = "ROOMREMOVE";
} // namespace kw

// The numbers of "-ERR" lines. A number means something only together with the
// command it answers, so several names share a value.
namespace err {
// The greeting.
inline constexpr int ServerFull = 100;          // the client tells the user to come back later
inline constexpr int TooManyFromAddress = 101;
// Any command.
inline constexpr int UnknownCommand = 90;
inline constexpr int SignInFirst = 91;
inline constexpr int SignInTimeout = 92;        // unasked, before the server closes
inline constexpr int ServerFailure = 99;
// GAMENAME, HOST, IP.
inline constexpr int UnknownGame = 1;           // GAMENAME: not in the catalogue
inline constexpr int BadArgument = 1;           // HOST: neither yes nor no; IP: no plain address
inline constexpr int NotAllowedNow = 2;         // GAMENAME, HOST after the sign-in
// REGISTUSER, UPDATEUSER.
inline constexpr int UserExists = 1;            // REGISTUSER
inline constexpr int NotOwnAccount = 1;         // UPDATEUSER
inline constexpr int BadUserId = 2;
inline constexpr int BadPassword = 3;
inline constexpr int BadEmail = 4;
inline constexpr int BadComment = 5;
// LOGIN.
inline constexpr int AlreadySignedIn = 1;
inline constexpr int WrongPassword = 2;
inline constexpr int NoSuchUser = 3;
inline constexpr int NoGameYet = 4;             // no GAMENAME accepted on this connection
inline constexpr int Banned = 5;                // banned or disabled: the client's general sign-in error
// Rooms.
inline constexpr int RoomExists = 1;            // CREATEROOM
inline constexpr int NotHost = 2;               // CREATEROOM by a player without HOST yes
inline constexpr int BadRoomName = 3;           // CREATEROOM
inline constexpr int AlreadyInRoom = 4;         // CREATEROOM, ENTERROOM
inline constexpr int RoomFull = 1;              // ENTERROOM
inline constexpr int NoSuchRoom = 2;            // ENTERROOM, ROOMPLAYERLIST, LEAVEROOM, DELETEROOM
inline constexpr int NotRoomOwner = 1;          // DELETEROOM, START
inline constexpr int TooFewPlayers = 2;         // START
} // namespace err

// Sizes of fields, in bytes of their code page 932 form unless named otherwise.
namespace limits {
inline constexpr quint16 kDefaultPort = 2300;
inline constexpr int kUserIdBytes = 32;
inline constexpr int kPasswordBytes = 32;
inline constexpr int kPasswordMinChars = 5;
inline constexpr int kCommentBytes = 80;
inline constexpr int kEmailBytes = 128;
inline constexpr int kEmailMinChars = 4;
// What the room-name box takes, typed or pasted; the server takes no more.
inline constexpr int kRoomNameBytes = 36;
// A plain IPv4 or IPv6 address in text: "0000:0000:0000:0000:0000:ffff:255.255.255.255".
inline constexpr int kAddressChars = 45;
// A line is dropped (and the connection goes on) beyond these, CR LF not counted:
// what the server reads from a client, and what the client reads from a server
// (a player list of a large game is long).
inline constexpr qsizetype kClientLineBytes = 64 * 1024;
inline constexpr qsizetype kServerLineBytes = 1024 * 1024;
// Chat text has no limit of its own: what fits in a client line after the keyword
// and its space ("LMESSAGE " and "RMESSAGE " are both 9 bytes).
inline constexpr qsizetype kChatTextBytes = kClientLineBytes - 9;
// The counts of DAYCHART and WEEKCHART, and the largest count (the client keeps
// 16-bit counts).
inline constexpr int kDayChartHours = 24;
inline constexpr int kWeekChartDays = 7;
inline constexpr int kChartCountMax = 32767;
} // namespace limits

// The user-ID rule: the space and every printable ASCII symbol but "_" (32 codes)
// are refused; letters, digits, "_", control codes and everything beyond ASCII pass
// this rule. code is a character or a code page 932 key code (a double-byte
// character's key code is negative and so passes).
constexpr bool isUserIdSymbol(int code)
{
    return (code >= 32 && code <= 47) || (code >= 58 && code <= 64) || (code >= 91 && code <= 94) || code == 96
        || (code >= 123 && code <= 126);
}

// Whether text holds any character that isUserIdSymbol refuses.
inline bool hasUserIdSymbol(QStringView text)
{
    for (const QChar c : text)
        if (isUserIdSymbol(c.unicode()))
            return true;
    return false;
}

} // namespace protocol
