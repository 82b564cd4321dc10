#pragma once
// The client's commands, typed: one struct per line a client sends. The client
// builds its lines with encode(); the server reads them with parseClientLine(),
// exactly as it always split them, so the bytes on the wire are those of before.
// Lines here are decoded text without their CR LF.
#include "wire/wire.h"

#include <QString>

#include <optional>
#include <variant>

namespace protocol::client {

// Each command knows its keyword and whether the server takes it only from a
// signed-in player (kSignedIn); the server answers the others before the sign-in.

// "GAMENAME name", the name escaped ("[" and "]" behind a backslash).
struct GameName {
    static constexpr const char *kKeyword = kw::GAMENAME;
    static constexpr bool kSignedIn = false;
    QString name; // unescaped
    QString encode() const;
    bool operator==(const GameName &) const = default;
};

// "HOST yes" or "HOST no"; nullopt stands for any other argument (also none).
struct Host {
    static constexpr const char *kKeyword = kw::HOST;
    static constexpr bool kSignedIn = false;
    std::optional<bool> host;
    QString encode() const;
    bool operator==(const Host &) const = default;
};

// "REGISTUSER user password email comment" and the same for UPDATEUSER: three
// fields cut at single spaces, then the comment, which is the rest of the line.
struct RegistUser {
    static constexpr const char *kKeyword = kw::REGISTUSER;
    static constexpr bool kSignedIn = false;
    QString user, password, email, comment;
    QString encode() const;
    bool operator==(const RegistUser &) const = default;
};
struct UpdateUser {
    static constexpr const char *kKeyword = kw::UPDATEUSER;
    static constexpr bool kSignedIn = true;
    QString user, password, email, comment;
    QString encode() const;
    bool operator==(const UpdateUser &) const = default;
};

// "LOGIN user password": the password is the rest of the line after the user ID.
struct Login {
    static constexpr const char *kKeyword = kw::LOGIN;
    static constexpr bool kSignedIn = false;
    QString user, password;
    QString encode() const;
    bool operator==(const Login &) const = default;
};

// Commands that are their keyword alone; anything after it is not read.
template <const char *K, bool SignedIn>
struct Bare {
    static constexpr const char *kKeyword = K;
    static constexpr bool kSignedIn = SignedIn;
    QString encode() const { return QString::fromLatin1(K); }
    bool operator==(const Bare &) const = default;
};
using ListDelta = Bare<kw::LISTDELTA, false>;
using Quit = Bare<kw::QUIT, false>;
using ChatData = Bare<kw::CHATDATA, true>;
using RoomList = Bare<kw::ROOMLIST, true>;
using DayChart = Bare<kw::DAYCHART, true>;
using WeekChart = Bare<kw::WEEKCHART, true>;
using LeaveRoom = Bare<kw::LEAVEROOM, true>;
using Start = Bare<kw::START, true>;

// "LMESSAGE text" and "RMESSAGE text": the text is everything after the keyword's
// space, spaces and all ("" for the keyword alone).
struct LobbyMessage {
    static constexpr const char *kKeyword = kw::LMESSAGE;
    static constexpr bool kSignedIn = true;
    QString text;
    QString encode() const;
    bool operator==(const LobbyMessage &) const = default;
};
struct RoomMessage {
    static constexpr const char *kKeyword = kw::RMESSAGE;
    static constexpr bool kSignedIn = true;
    QString text;
    QString encode() const;
    bool operator==(const RoomMessage &) const = default;
};

// The room commands: the name is everything after the keyword's space, without
// the spaces at its end. ENTERROOM and ROOMPLAYERLIST are sent from a room-list
// entry, whose name part keeps the space before the count, plus one more space:
// fromEntry("MyRoom 3") sends "ENTERROOM MyRoom  " and the server reads "MyRoom".
template <const char *K>
struct RoomCommand {
    static constexpr const char *kKeyword = K;
    static constexpr bool kSignedIn = true;
    QString name;
    QString encode() const { return QString::fromLatin1(K) + u' ' + name; }
    bool operator==(const RoomCommand &) const = default;
};
using CreateRoom = RoomCommand<kw::CREATEROOM>;
using EnterRoom = RoomCommand<kw::ENTERROOM>;
using RoomPlayerList = RoomCommand<kw::ROOMPLAYERLIST>;
using DeleteRoom = RoomCommand<kw::DELETEROOM>;
// The name as sent for a room-list entry (see above); not trimmed, so the bytes
// stay those the client always sent.
QString roomNameOfEntry(const QString &roomEntry);

// "PLAYERINFO name [rest]": the client sends a player-list entry ("taro 1"); the
// server reads the name, its first token, and nothing after it.
struct PlayerInfo {
    static constexpr const char *kKeyword = kw::PLAYERINFO;
    static constexpr bool kSignedIn = true;
    QString name;
    std::optional<QString> rest; // what follows the name's space; nullopt without one
    static PlayerInfo fromEntry(const QString &playerEntry);
    QString encode() const;
    bool operator==(const PlayerInfo &) const = default;
};

// "IP address": the argument without white space around it; the server checks it
// is a plain address.
struct Ip {
    static constexpr const char *kKeyword = kw::IP;
    static constexpr bool kSignedIn = true;
    QString address;
    QString encode() const;
    bool operator==(const Ip &) const = default;
};

// A line that names no command: answered with err::Any::UnknownCommand.
struct Unknown {
    static constexpr bool kSignedIn = false;
    enum class Why { NoKeyword, UnknownKeyword };
    Why why = Why::UnknownKeyword;
    QString keyword; // as it came (case and all); "" for NoKeyword
    bool operator==(const Unknown &) const = default;
};

using Line = std::variant<Unknown, GameName, Host, RegistUser, Login, ListDelta, Quit, LobbyMessage, RoomMessage,
                          ChatData, RoomList, DayChart, WeekChart, CreateRoom, EnterRoom, RoomPlayerList, LeaveRoom,
                          DeleteRoom, PlayerInfo, UpdateUser, Ip, Start>;

// The keyword is token 0 of the line, compared exactly; the fields are read as the
// comments above say. Every line gives a value: unknown lines give Unknown.
Line parseClientLine(const QString &line);

// The line of a command; Unknown gives its keyword.
QString encode(const Line &line);

// The line as the server's log shows it: of the account commands (LOGIN,
// REGISTUSER, UPDATEUSER) the keyword and the user ID only, never a password.
QString loggable(const Line &parsed, const QString &line);

} // namespace protocol::client
