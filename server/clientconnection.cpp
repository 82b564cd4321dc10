#include "clientconnection.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include "session/codec.h"

namespace {
constexpr qint64 kReadChunk = 64 * 1024;
constexpr int kFlushTimeoutMs = 5000;
} // namespace

ClientConnection::ClientConnection(QTcpSocket *socket, QObject *parent) : QObject(parent), m_socket(socket), m_encrypted(qobject_cast<QSslSocket *>(socket) != nullptr)
{
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
    m_socket->disconnect(this);
    delete m_socket;
}

QByteArray ClientConnection::encodeLine(const QString &line)
{
    QByteArray bytes = cp932::encode(line);
    bytes.append("\r\n", 2);
    return bytes;
}

void ClientConnection::send(const QString &line) { sendEncoded(encodeLine(line)); }

void ClientConnection::sendEncoded(const QByteArray &bytes)
{
    if (m_closing)
        return;
    m_socket->write(bytes);
    if (m_socket->bytesToWrite() > kMaxPendingOutput)
        close(false);
}

QHostAddress ClientConnection::peerAddress() const { return m_socket->peerAddress(); }

void ClientConnection::readAll()
{
    QList<QByteArray> lines;
    while (!m_closing && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        lines.clear();
        m_framer.feed(chunk, lines);
        for (const QByteArray &line : std::as_const(lines)) {
            if (m_closing)
                return;
            emit lineReceived(this, cp932::decode(line));
        }
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
