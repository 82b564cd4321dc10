#include "clientconnection.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <sys/socket.h>
#include <sys/uio.h>
#include <utility>
#include <vector>

#include "connectionbudget.h"
#include "serverlog.h"
#include "tlssocket.h"
#include "wire/codec.h"

namespace {
constexpr qint64 kReadChunk = 16 * 1024;
constexpr int kFlushTimeoutMs = 5000;
constexpr int kMaxIov = 256;

using Clock = std::chrono::steady_clock;
using Work = std::pair<QPointer<QObject>, std::function<void()>>;

// Connections with gathered output, flushed together once per loop pass (or, with
// a pace, at most once per pace while output keeps coming).
thread_local std::vector<ClientConnection *> t_dirty;
thread_local bool t_flushPosted = false;
thread_local quint64 t_flushTicket = 0; // a posted flush overtaken by another does nothing
thread_local int t_paceMs = 0;
thread_local Clock::time_point t_lastFlush{};
// The last flush gave its clients several lines each: output comes faster than
// the loop's passes, and waiting gathers more.
thread_local bool t_gathering = false;
thread_local bool t_workPosted = false;
thread_local std::vector<Work> t_beforeFlush;
thread_local std::vector<Work> t_eachFlush;

void runScheduled(quint64 ticket)
{
    if (ticket == t_flushTicket)
        ClientConnection::flushAll();
}

void postFlush()
{
    if (t_flushPosted)
        return;
    t_flushPosted = true;
    QObject *loop = QAbstractEventDispatcher::instance();
    const quint64 ticket = t_flushTicket;
    const auto wait = t_paceMs > 0 && t_gathering ? std::chrono::ceil<std::chrono::milliseconds>(
                                         t_lastFlush + std::chrono::milliseconds(t_paceMs) - Clock::now())
                                   : std::chrono::milliseconds(0);
    // Idle for a pace already, or one line per client last time (nothing to
    // gather, as with one message in flight): at the end of this pass.
    if (wait.count() <= 0)
        QMetaObject::invokeMethod(loop, [ticket] { runScheduled(ticket); }, Qt::QueuedConnection);
    else
        QTimer::singleShot(wait, Qt::PreciseTimer, loop, [ticket] { runScheduled(ticket); });
}

void runBeforeFlush()
{
    t_workPosted = false;
    for (auto &[context, work] : std::exchange(t_beforeFlush, {})) {
        if (context)
            work();
    }
}
} // namespace

ClientConnection::ClientConnection(QTcpSocket *socket, QObject *parent)
    : QObject(parent), m_socket(socket), m_tls(qobject_cast<TlsSocket *>(socket)),
      m_peer(socket ? socket->peerAddress() : QHostAddress()),
      // TLS: the descriptor carries records, never our plain bytes.
      m_viaQt(qobject_cast<QSslSocket *>(socket) != nullptr)
{
    if (!m_socket)
        return;
    m_socket->setParent(this);
    // Bound what Qt buffers ahead of us; the kernel holds the rest.
    m_socket->setReadBufferSize(4 * kReadChunk);
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientConnection::readInput);
    // Queued: a write that finds the peer gone must not remove this client from
    // the lists the server is walking.
    connect(m_socket, &QTcpSocket::disconnected, this, &ClientConnection::peerClosed, Qt::QueuedConnection);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ClientConnection::peerClosed, Qt::QueuedConnection);
    // Lines may have come with the end of the handshake.
    if (m_tls && m_tls->hasUnreadRecords())
        scheduleInput();
    // The end of the handshake, with the answers to those lines if they came.
    if (m_tls && m_tls->hasOutput())
        queueFlush();
}

ClientConnection::~ClientConnection()
{
    if (m_flushQueued)
        std::erase(t_dirty, this);
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
    if (m_closing || bytes.isEmpty())
        return;
    if (m_outputHeld) {
        m_heldOutput += bytes;
        if (m_heldOutput.size() > kMaxPendingOutput)
            close(false);
        return;
    }
    // Shared, not copied: one broadcast line is queued for every receiver.
    m_out.push_back(bytes);
    m_outBytes += bytes.size();
    if (m_outBytes + (m_qtHolds ? heldByQt() : 0) > kMaxPendingOutput) {
        qCWarning(lcServer, "limit: %s cut off, reads too slowly", qPrintable(m_peer.toString()));
        return close(false);
    }
    queueFlush();
}

void ClientConnection::queueFlush()
{
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    t_dirty.push_back(this);
    postFlush();
}

void ClientConnection::beforeNextFlush(QObject *context, std::function<void()> work)
{
    t_beforeFlush.emplace_back(context, std::move(work));
    // Not held by the pace: only the clients' output waits.
    if (t_workPosted)
        return;
    t_workPosted = true;
    QMetaObject::invokeMethod(QAbstractEventDispatcher::instance(), &runBeforeFlush, Qt::QueuedConnection);
}

void ClientConnection::atEachFlush(QObject *context, std::function<void()> work)
{
    t_eachFlush.emplace_back(context, std::move(work));
}

void ClientConnection::setFlushPace(int ms) { t_paceMs = std::max(0, ms); }

void ClientConnection::flushAll()
{
    // Work run there may add more, and that too goes ahead of the output.
    while (!t_beforeFlush.empty())
        runBeforeFlush();
    std::erase_if(t_eachFlush, [](const Work &w) { return !w.first; });
    // By index: work may add more.
    for (size_t i = 0; i < t_eachFlush.size(); ++i) {
        if (t_eachFlush[i].first)
            t_eachFlush[i].second();
    }
    t_flushPosted = false;
    ++t_flushTicket;
    std::vector<ClientConnection *> dirty;
    dirty.swap(t_dirty);
    size_t lines = 0;
    for (ClientConnection *c : dirty) {
        c->m_flushQueued = false;
        lines += c->m_out.size();
    }
    for (ClientConnection *c : dirty)
        c->flushOutput();
    t_gathering = lines >= 2 * dirty.size() && !dirty.empty();
    t_lastFlush = Clock::now();
}

void ClientConnection::seal(bool closeNotify)
{
    if (!m_out.empty()) {
        // One batch, so that records are full rather than one per line.
        // Nothing is left half-sent between passes: Qt took the rest.
        QByteArray plain;
        if (m_out.size() == 1) {
            plain = m_out.front();
        } else {
            plain.reserve(m_outBytes);
            for (const QByteArray &b : m_out)
                plain.append(b);
        }
        m_tls->encrypt(plain.constData(), plain.size());
        m_out.clear();
        m_outBytes = m_outOffset = 0;
    }
    if (closeNotify)
        m_tls->encryptClose();
    if (m_tls->hasOutput()) {
        m_out.push_back(m_tls->takeOutput());
        m_outBytes = m_out.back().size();
    }
}

void ClientConnection::flushOutput()
{
    if (m_tls && !m_closing)
        seal(false);
    if (m_out.empty())
        return;
    const qintptr fd = m_socket->socketDescriptor();
    if (m_closing || fd < 0 || m_socket->state() != QAbstractSocket::ConnectedState) {
        m_out.clear();
        m_outBytes = m_outOffset = 0;
        return;
    }
    // Whatever Qt still holds must go first.
    if (m_viaQt)
        return passToQt();
    if (m_qtHolds) {
        if (m_socket->bytesToWrite() > 0)
            return passToQt();
        m_qtHolds = false;
    }
    while (!m_out.empty()) {
        iovec iov[kMaxIov];
        int n = 0;
        for (auto it = m_out.begin(); it != m_out.end() && n < kMaxIov; ++it, ++n) {
            const qsizetype skip = n == 0 ? m_outOffset : 0;
            iov[n].iov_base = const_cast<char *>(it->constData() + skip);
            iov[n].iov_len = size_t(it->size() - skip);
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(n);
        ssize_t sent = ::sendmsg(int(fd), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            // Reset by the peer: Qt's read side reports it and the client goes.
            m_out.clear();
            m_outBytes = m_outOffset = 0;
            return close(false);
        }
        m_outBytes -= sent;
        while (sent > 0) {
            const qsizetype left = m_out.front().size() - m_outOffset;
            if (sent < left) {
                m_outOffset += sent;
                break;
            }
            sent -= left;
            m_out.pop_front();
            m_outOffset = 0;
        }
        if (n == kMaxIov && !m_out.empty())
            continue;
        break;
    }
    if (!m_out.empty())
        passToQt();
}

// The rest goes through Qt, which waits until the socket can take it.
void ClientConnection::passToQt()
{
    for (const QByteArray &b : m_out) {
        m_socket->write(m_outOffset ? b.constData() + m_outOffset : b.constData(), b.size() - m_outOffset);
        m_outOffset = 0;
    }
    m_out.clear();
    m_outBytes = 0;
    m_qtHolds = true;
    if (heldByQt() > kMaxPendingOutput) {
        qCWarning(lcServer, "limit: %s cut off, reads too slowly", qPrintable(m_peer.toString()));
        close(false);
    }
}

qint64 ClientConnection::heldByQt() const
{
    // A TLS socket moves what it encrypted out of bytesToWrite(): count both.
    const auto *tls = qobject_cast<const QSslSocket *>(m_socket);
    return m_socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

QHostAddress ClientConnection::peerAddress() const { return m_peer; }

const QHostAddress &ClientConnection::peerKeyAddress() const
{
    if (m_peerKey.isEmpty()) {
        m_peerKeyAddress = ConnectionBudget::keyAddress(m_peer);
        m_peerKey = m_peerKeyAddress.toString();
    }
    return m_peerKeyAddress;
}

const QString &ClientConnection::peerKey() const
{
    peerKeyAddress();
    return m_peerKey;
}

bool ClientConnection::hasPendingInput() const
{
    return m_nextLine < m_lines.size() || m_socket->bytesAvailable() > 0 || (m_tls && m_tls->hasUnreadRecords());
}

void ClientConnection::holdInput() { ++m_held; }

QByteArray ClientConnection::takeHeldOutput()
{
    m_outputHeld = false;
    return std::exchange(m_heldOutput, {});
}

void ClientConnection::releaseInput()
{
    if (m_held > 0 && --m_held == 0)
        scheduleInput();
}

void ClientConnection::scheduleInput()
{
    if (m_inputQueued)
        return;
    m_inputQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        m_inputQueued = false;
        readInput();
    }, Qt::QueuedConnection);
}

void ClientConnection::readInput()
{
    int budget = kLinesPerPass;
    while (!m_closing && m_held == 0) {
        if (m_nextLine >= m_lines.size()) {
            m_lines.clear();
            m_nextLine = 0;
            if (!hasPendingInput())
                break;
            QByteArray chunk;
            if (!m_tls) {
                chunk = m_socket->read(kReadChunk);
            } else {
                QString why;
                if (!m_tls->decrypt(chunk, kReadChunk, &why)) {
                    qCInfo(lcServer, "tls: %s: %s", qPrintable(m_peer.toString()), qPrintable(why));
                    close(false);
                    break;
                }
                // The session's own answers (key updates) go out with the next pass.
                if (m_tls->hasOutput())
                    queueFlush();
            }
            if (chunk.isEmpty())
                break;
            m_framer.feed(chunk, m_lines);
            continue;
        }
        if (budget-- == 0) {
            // The others' turn; the rest of this client's lines come next pass.
            scheduleInput();
            return;
        }
        emit lineReceived(this, cp932::decode(m_lines.at(m_nextLine++)));
    }
    if (m_peerClosed && !m_closing && m_held == 0 && !hasPendingInput())
        finish();
}

void ClientConnection::peerClosed()
{
    // Lines the peer sent before closing are still answered (as far as possible).
    m_peerClosed = true;
    if (m_closing || m_held > 0 || !hasPendingInput())
        return finish();
    scheduleInput();
}

void ClientConnection::close(bool flush)
{
    if (m_closing)
        return;
    if (flush && m_socket->state() == QAbstractSocket::ConnectedState) {
        if (m_tls)
            seal(true);
        m_viaQt = true;
        passToQt();
    }
    m_out.clear();
    m_outBytes = m_outOffset = 0;
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
