#pragma once
// One count of every connection the server holds a descriptor for: clients,
// clients still closing and TLS handshakes. A socket is
// counted from its admission until its descriptor is closed. The descriptor
// limit is set from the same numbers at start (descriptorsBeyondConnections), so
// a full server refuses new connections instead of running out of descriptors.
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

class ConnectionBudget : public QObject {
    Q_OBJECT
public:
    // For the database, Redis, reconnects, log and library files opened on the way.
    static constexpr int kSpareDescriptors = 32;

    explicit ConnectionBudget(int maxConnections, QObject *parent = nullptr);
    ~ConnectionBudget() override;

    // Descriptors the process needs besides maxConnections connections, with open
    // already open and threads worker threads (one descriptor each) to come.
    static int descriptorsBeyondConnections(int open, int threads);
    // The connections a descriptor limit leaves room for, at most wanted.
    static int connectionsWithin(quint64 limit, int beyond, int wanted);

    void setMaxPerAddress(int n) { m_maxPerAddress = n; }
    int maxConnections() const { return m_max; }

    enum class Admission { Admitted, Full, AddressFull };
    // Counts socket (from address, see key()) until its descriptor is closed.
    // A socket already counted stays admitted.
    Admission admit(QTcpSocket *socket, const QString &address);
    bool holds(QTcpSocket *socket) const { return m_sockets.contains(socket); }
    int connections() const { return int(m_sockets.size()); }
    QList<QTcpSocket *> sockets() const { return m_sockets.keys(); }
    int fromAddress(const QString &address) const { return m_perAddress.value(address); }

    // Out of descriptors after all (something else took them): accepts one waiting
    // connection on the listener with the reserved descriptor, tells it the
    // server is full (greet: plain listeners only) and closes it. False when none
    // was waiting.
    bool shedOne(QTcpServer *listener, bool greet);

    // IPv4 addresses in one form whether they came as IPv4 or as mapped IPv6.
    static QString key(const QTcpSocket *socket);
    static QHostAddress keyAddress(const QHostAddress &address);

private:
    void release(QTcpSocket *socket);
    void watch(QTcpSocket *socket, std::function<void()> onClosed);

    int m_max;
    int m_maxPerAddress = 0;
    int m_reserve = -1;
    QHash<QTcpSocket *, QString> m_sockets;
    QHash<QString, int> m_perAddress;
};
