#pragma once
// Which address the clients of a match are told to connect to.
#include <QHostAddress>
#include <QString>

namespace hostaddress {

// 10/8, 172.16/12, 192.168/16, by the rule the client warns with.
bool isPrivate(const QHostAddress &address);
// An IPv4 address that other players on the internet could reach.
bool isPublic(const QHostAddress &address);

// The address the host announced with IP, unless it is private while the server
// sees the host's connection from a public address: then the one the server sees.
// Without a usable announcement, the one the server sees.
QString forClients(const QString &announced, const QHostAddress &seen);

} // namespace hostaddress
