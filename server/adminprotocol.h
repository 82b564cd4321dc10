#pragma once
// Shared by the server and qorchat-admin: the admin commands and their synopses.
// One request per line, one JSON answer per line (see admincommands.h).

namespace adminprotocol {

struct Command {
    const char *name;
    const char *usage;
    const char *help;
};

inline constexpr Command kCommands[] = {
    {"status", "status", "connections, players and rooms per game"},
    {"players", "players [GAME]", "players signed in (on this node), with address and room"},
    {"kick", "kick USER [--reason TEXT]", "close the player's connection"},
    {"ban", "ban USER|ADDRESS[/BITS] [--for DURATION] [--reason TEXT]",
     "refuse sign-ins of the account or from the address or network; kicks who is on"},
    {"unban", "unban USER|ADDRESS[/BITS]", "lift the bans on the account or address"},
    {"bans", "bans", "bans in force"},
    {"mute", "mute USER [--for DURATION] [--reason TEXT]", "relay none of the player's chat"},
    {"unmute", "unmute USER", "lift the player's mutes (also automatic ones)"},
    {"mutes", "mutes", "mutes in force"},
    {"notice", "notice [--game GAME] TEXT", "a lobby chat line from the operator to one game or all"},
    {"audit", "audit [--limit N] [--target TARGET]", "the audit trail, newest first"},
    {"accounts", "accounts [PATTERN] [--limit N]", "accounts whose ID or e-mail address contains PATTERN"},
    {"account", "account USER", "one account"},
    {"disable", "disable USER [--reason TEXT]", "refuse the account's sign-ins; kicks it"},
    {"enable", "enable USER", "allow a disabled account again"},
    {"delete", "delete USER [--reason TEXT]", "delete the account; kicks it"},
    {"reset-password", "reset-password USER", "set a new random password and print it"},
    {"reload", "reload", "re-read word list, games and TLS certificate (as SIGHUP)"},
};

// Exit statuses of qorchat-admin.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;     // the server answered with an error
inline constexpr int kExitUsage = 2;       // bad command line, nothing sent
inline constexpr int kExitUnreachable = 3; // no server on the socket, or no answer

} // namespace adminprotocol
