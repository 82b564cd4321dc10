#include "connectionbudget.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

#include "net/protocol/protocol.h"
#include "serverlog.h"

namespace {
int openReserve() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
} // namespace

ConnectionBudget::ConnectionBudget(int maxConnections, QObject *parent)
    : QObject(parent), m_max(std::max(1, maxConnections)), m_reserve(openReserve())
{
}

ConnectionBudget::~ConnectionBudget()
{
    for (auto it = m_sockets.keyBegin(); it != m_sockets.keyEnd(); ++it)
        (*it)->disconnect(this);
    if (m_reserve >= 0)
        ::close(m_reserve);
}

int ConnectionBudget::descriptorsBeyondConnections(int open, int threads)
{
    // A refusal (accepted, told, closed at once), the reserve, the workers.
    return open + 2 + threads + kSpareDescriptors;
}

int ConnectionBudget::connectionsWithin(quint64 limit, int beyond, int wanted)
{
    if (limit <= quint64(beyond))
        return 0;
    return int(std::min<quint64>(limit - quint64(beyond), quint64(wanted)));
}

QHostAddress ConnectionBudget::keyAddress(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : address;
}

QString ConnectionBudget::key(const QTcpSocket *socket) { return keyAddress(socket->peerAddress()).toString(); }

void ConnectionBudget::watch(QTcpSocket *socket, std::function<void()> onClosed)
{
    // Whichever comes first: the descriptor is closed, or the socket goes.
    auto once = std::make_shared<std::function<void()>>(std::move(onClosed));
    const auto fire = [once] {
        if (*once)
            std::exchange(*once, {})();
    };
    connect(socket, &QAbstractSocket::stateChanged, this, [fire](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::UnconnectedState)
            fire();
    });
    connect(socket, &QObject::destroyed, this, fire);
}

ConnectionBudget::Admission ConnectionBudget::admit(QTcpSocket *socket, const QString &address)
{
    if (m_sockets.contains(socket))
        return Admission::Admitted;
    if (m_sockets.size() >= m_max)
        return Admission::Full;
    int &from = m_perAddress[address];
    if (m_maxPerAddress > 0 && from >= m_maxPerAddress)
        return Admission::AddressFull;
    ++from;
    m_sockets.insert(socket, address);
    watch(socket, [this, socket] { release(socket); });
    return Admission::Admitted;
}

void ConnectionBudget::release(QTcpSocket *socket)
{
    const auto it = m_sockets.constFind(socket);
    if (it == m_sockets.constEnd())
        return;
    if (auto a = m_perAddress.find(*it); a != m_perAddress.end() && --*a <= 0)
        m_perAddress.erase(a);
    m_sockets.erase(it);
}

bool ConnectionBudget::shedOne(QTcpServer *listener, bool greet)
{
    if (m_reserve >= 0)
        ::close(m_reserve);
    const int fd = ::accept4(int(listener->socketDescriptor()), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0 && greet) {
        const QByteArray line = protocol::errLine(protocol::err::ServerFull, QStringLiteral("server full")).toLatin1() + "\r\n";
        [[maybe_unused]] const ssize_t n = ::send(fd, line.constData(), size_t(line.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (fd >= 0)
        ::close(fd);
    m_reserve = openReserve();
    return fd >= 0;
}
