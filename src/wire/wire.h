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
// command it answers: one enum per command, plus the greeting's and those any
// command may get.
namespace err {
enum class Greeting : qint16 {
    ServerFull = 100, // the client tells the user to come back later
    TooManyFromAddress = 101,
};
enum class Any : qint16 {
    UnknownCommand = 90,
    SignInFirst = 91,
    SignInTimeout = 92, // unasked, before the server closes
    ServerFailure = 99,
};
enum class GameName : qint16 { UnknownGame = 1, NotAllowedNow = 2 }; // unknown: not in the catalogue
enum class Host : qint16 { BadArgument = 1, NotAllowedNow = 2 };     // neither yes nor no; after the sign-in
enum class RegistUser : qint16 { Exists = 1, BadUserId = 2, BadPassword = 3, BadEmail = 4, BadComment = 5 };
enum class UpdateUser : qint16 { NotOwnAccount = 1, BadPassword = 3, BadEmail = 4, BadComment = 5 };
enum class Login : qint16 {
    AlreadySignedIn = 1,
    WrongPassword = 2,
    NoSuchUser = 3,
    NoGameYet = 4, // no GAMENAME accepted on this connection
    Banned = 5,    // banned or disabled: the client's general sign-in error
};
enum class CreateRoom : qint16 { Exists = 1, NotHost = 2, BadName = 3, AlreadyInRoom = 4 }; // not host: no HOST yes
enum class EnterRoom : qint16 { Full = 1, NoSuchRoom = 2, AlreadyInRoom = 4 };
enum class RoomPlayerList : qint16 { NoSuchRoom = 2 };
enum class LeaveRoom : qint16 { NotInRoom = 2 };
enum class DeleteRoom : qint16 { NotOwner = 1, NoSuchRoom = 2 };
enum class Ip : qint16 { BadArgument = 1 }; // no plain address
enum class Start : qint16 { NotOwner = 1, TooFewPlayers = 2 };

// The same numbers by their older names.
inline constexpr int ServerFull = int(Greeting::ServerFull);
inline constexpr int TooManyFromAddress = int(Greeting::TooManyFromAddress);
inline constexpr int UnknownCommand = int(Any::UnknownCommand);
inline constexpr int SignInFirst = int(Any::SignInFirst);
inline constexpr int SignInTimeout = int(Any::SignInTimeout);
inline constexpr int ServerFailure = int(Any::ServerFailure);
inline constexpr int UnknownGame = int(GameName::UnknownGame);
inline constexpr int BadArgument = int(Host::BadArgument);
inline constexpr int NotAllowedNow = int(GameName::NotAllowedNow);
inline constexpr int UserExists = int(RegistUser::Exists);
inline constexpr int NotOwnAccount = int(UpdateUser::NotOwnAccount);
inline constexpr int BadUserId = int(RegistUser::BadUserId);
inline constexpr int BadPassword = int(RegistUser::BadPassword);
inline constexpr int BadEmail = int(RegistUser::BadEmail);
inline constexpr int BadComment = int(RegistUser::BadComment);
inline constexpr int AlreadySignedIn = int(Login::AlreadySignedIn);
inline constexpr int WrongPassword = int(Login::WrongPassword);
inline constexpr int NoSuchUser = int(Login::NoSuchUser);
inline constexpr int NoGameYet = int(Login::NoGameYet);
inline constexpr int Banned = int(Login::Banned);
inline constexpr int RoomExists = int(CreateRoom::Exists);
inline constexpr int NotHost = int(CreateRoom::NotHost);
inline constexpr int BadRoomName = int(CreateRoom::BadName);
inline constexpr int AlreadyInRoom = int(CreateRoom::AlreadyInRoom);
inline constexpr int RoomFull = int(EnterRoom::Full);
inline constexpr int NoSuchRoom = int(EnterRoom::NoSuchRoom);
inline constexpr int NotRoomOwner = int(DeleteRoom::NotOwner);
inline constexpr int TooFewPlayers = int(Start::TooFewPlayers);
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
