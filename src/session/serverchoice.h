#pragma once
// Which lobby server to connect to. Highest first: the choice the caller made for
// this process (the launcher's --server makes it too), the environment variable
// QORCHAT_SERVER, the settings file, the defaults. Only the settings file is
// shared between games; nothing here writes to it.
#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

namespace serverchoice {

struct Server {
    QString host; // a host name or an IP address, without brackets
    QString port; // decimal, as the connection form takes it
    bool tls = false;
    // SHA-256 of the server certificate as the user wrote it; when set it is the
    // only certificate accepted and the system's authorities are not asked.
    QString fingerprint;
    bool operator==(const Server &) const = default;
};

inline constexpr char kDefaultHost[] = "localhost";
inline constexpr quint16 kDefaultPort = 2300;

// "HOST", "HOST:PORT", "[V6]", "[V6]:PORT" or a bare IPv6 address, each optionally
// behind "tls://"; a missing port is the default one. nullopt when the text is no
// such thing.
std::optional<Server> parse(const QString &text);
// A host as a caller gives it (brackets allowed around an IPv6 address) and a
// port, 0 for the default; a "tls://" before the host asks for TLS. nullopt when
// either is not acceptable.
std::optional<Server> make(const QString &host, int port);

// The caller's choice; nullopt forgets it. Safe from any thread.
void setChosen(const std::optional<Server> &server);

// The server the next connection goes to. Only the settings file's server carries
// a pinned fingerprint (tls_fingerprint, which also turns TLS on); a server named
// for one run with tls:// is checked against the system's authorities.
Server current();

// The 32 bytes of a SHA-256 written in hex, with or without ':' (or spaces)
// between the bytes, either case; empty when it is not one.
QByteArray parseFingerprint(QStringView text);

} // namespace serverchoice
