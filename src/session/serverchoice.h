#pragma once
// Which lobby server to connect to. Highest first: the choice the caller made for
// this process (the launcher's --server makes it too), the environment variable
// QORCHAT_SERVER, the settings file, the defaults. Only the settings file is
// shared between games; nothing here writes to it.
#include <QString>

#include <optional>

namespace serverchoice {

struct Server {
    QString host; // a host name or an IP address, without brackets
    QString port; // decimal, as the connection form takes it
    bool operator==(const Server &) const = default;
};

inline constexpr char kDefaultHost[] = "localhost";
inline constexpr quint16 kDefaultPort = 2300;

// "HOST", "HOST:PORT", "[V6]", "[V6]:PORT" or a bare IPv6 address; a missing port
// is the default one. nullopt when the text is no such thing.
std::optional<Server> parse(const QString &text);
// A host as a caller gives it (brackets allowed around an IPv6 address) and a
// port, 0 for the default. nullopt when either is not acceptable.
std::optional<Server> make(const QString &host, int port);

// The caller's choice; nullopt forgets it. Safe from any thread.
void setChosen(const std::optional<Server> &server);

// The server the next connection goes to.
Server current();

} // namespace serverchoice
