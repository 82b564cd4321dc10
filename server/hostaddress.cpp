#include "hostaddress.h"

#include "wire/rules.h"

namespace hostaddress {

static QHostAddress ipv4(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : address;
}

static bool inNet(quint32 ip, quint32 net, int bits) { return (ip >> (32 - bits)) == (net >> (32 - bits)); }

bool isPrivate(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    return ok && protocol::isPrivateAddress(QHostAddress(ip).toString());
}

bool isPublic(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    if (!ok || isPrivate(address))
        return false;
    // This network, shared address space (carrier NAT), loopback, link-local,
    // multicast and reserved.
    return !(inNet(ip, 0x00000000, 8) || inNet(ip, 0x64400000, 10) || inNet(ip, 0x7F000000, 8) ||
             inNet(ip, 0xA9FE0000, 16) || inNet(ip, 0xE0000000, 4) || inNet(ip, 0xF0000000, 4));
}

QString forClients(const QString &announced, const QHostAddress &seen)
{
    const QHostAddress seen4 = ipv4(seen);
    const QHostAddress a(announced);
    if (a.isNull())
        return seen4.toString();
    if (isPrivate(a) && isPublic(seen4))
        return seen4.toString();
    return a.toString();
}

} // namespace hostaddress
