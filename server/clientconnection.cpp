#include "clientconnection.h"

#include <QTcpSocket>
#include <QTimer>

#include <utility>

#include "session/codec.h"

namespace {
constexpr qint64 kReadChunk = 64 * 1024;
constexpr int kFlushTimeoutMs = 5000;
} // namespace

ClientConnection::ClientConnection(QTcpSocket *socket, QObject *parent) : QObject(parent), m_socket(socket)
{
    if (!m_socket)
        return;
    m_socket->setParent(this);
    // Bound what Qt buffers ahead of us; the kernel holds the rest.
    m_socket->setReadBufferSize(4 * kReadChunk);
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientConnection::readAll);
    // Queued: a write that finds the peer gone must not remove this client from
    // the lists the server is walking.
    connect(m_socket, &QTcpSocket::disconnected, this, &ClientConnection::finish, Qt::QueuedConnection);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ClientConnection::finish, Qt::QueuedConnection);
}

ClientConnection::~ClientConnection()
{
    // The socket is a child: destroyed by QObject's destructor it would still
    // signal this half-destroyed object. Cut it loose first.
    if (m_socket) {
        m_socket->disconnect(this);
        delete m_socket;
    }
}

QByteArray ClientConnection::encodeLine(const QString &line)
{
    QByteArray bytes = cp932::encode(line);
    bytes.append("\r\n", 2);
    return bytes;
}

ClientConnection *ClientConnection::remote(const QString &user, bool host, const GameInfo &game, const QString &node,
                                           QObject *parent)
{
    auto *c = new ClientConnection(nullptr, parent);
    c->user = user;
    c->host = host;
    c->game = game;
    c->node = node;
    c->m_finished = c->m_closing = true;
    return c;
}

void ClientConnection::send(const QString &line) { sendEncoded(encodeLine(line)); }

void ClientConnection::sendEncoded(const QByteArray &bytes)
{
    if (m_closing)
        return;
    if (m_held) {
        m_heldOutput += bytes;
        if (m_heldOutput.size() > kMaxPendingOutput)
            close(false);
        return;
    }
    m_socket->write(bytes);
    if (m_socket->bytesToWrite() > kMaxPendingOutput)
        close(false);
}

QHostAddress ClientConnection::peerAddress() const { return m_socket ? m_socket->peerAddress() : QHostAddress(); }

void ClientConnection::hold() { m_held = true; }

QByteArray ClientConnection::takeHeld()
{
    m_held = false;
    return std::exchange(m_heldOutput, {});
}

void ClientConnection::resume()
{
    // Not from inside the handler that got the answer: the lines wait for the loop.
    QMetaObject::invokeMethod(this, &ClientConnection::readAll, Qt::QueuedConnection);
}

void ClientConnection::deliver()
{
    while (!m_lines.isEmpty() && !m_closing && !m_held)
        emit lineReceived(this, cp932::decode(m_lines.takeFirst()));
}

void ClientConnection::readAll()
{
    deliver();
    // While held, the socket's buffer fills up and the kernel's window closes.
    while (!m_closing && !m_held && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        m_framer.feed(chunk, m_lines);
        deliver();
    }
}

void ClientConnection::close(bool flush)
{
    if (m_closing)
        return;
    m_closing = true;
    if (flush && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->disconnectFromHost();
        // A peer that never reads would keep the socket open for ever.
        QTimer::singleShot(kFlushTimeoutMs, m_socket, &QTcpSocket::abort);
    } else {
        m_socket->abort();
    }
    QMetaObject::invokeMethod(this, &ClientConnection::finish, Qt::QueuedConnection);
}

void ClientConnection::finish()
{
    if (!m_finished) {
        m_finished = true;
        m_closing = true;
        emit gone(this);
    }
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
    } else if (m_socket->state() == QAbstractSocket::ConnectedState) {
        // Went away from the peer's side while we still read: close our side too.
        m_socket->disconnectFromHost();
        QTimer::singleShot(kFlushTimeoutMs, m_socket, &QTcpSocket::abort);
    }
}
