#include "lobbyclient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSslConfiguration>
#include <QTimer>

#include "net/protocol/protocol.h"
#include "wire/codec.h"

LobbyClient::LobbyClient(quint16 port, const QHostAddress &from)
{
    if (!from.isNull())
        m_socket.bind(from);
    connect(&m_socket, &QTcpSocket::readyRead, this, &LobbyClient::readLines);
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    m_socket.waitForConnected(kTimeoutMs);
}

LobbyClient::LobbyClient(quint16 port, const QSslCertificate &trusted)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &LobbyClient::readLines);
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates({trusted});
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    m_socket.setSslConfiguration(config);
    m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, QStringLiteral("localhost"));
    m_socket.waitForConnected(kTimeoutMs);
}

void LobbyClient::readLines()
{
    QList<QByteArray> lines;
    m_framer.feed(m_socket.readAll(), lines);
    for (const QByteArray &l : std::as_const(lines)) {
        const QString text = cp932::decode(l);
        all << text;
        m_queue << text;
    }
}

void LobbyClient::send(const QString &line) { sendRaw(cp932::encode(line) + "\r\n"); }

void LobbyClient::sendRaw(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

bool LobbyClient::waitForData(int timeoutMs)
{
    // A connection still being set up (its SYN may wait for room in a full
    // backlog) is worth waiting for; a closed one is not.
    const auto state = m_socket.state();
    if ((state == QAbstractSocket::UnconnectedState || state == QAbstractSocket::ClosingState)
        && m_socket.bytesAvailable() == 0)
        return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&m_socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    connect(&m_socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();
    return timer.isActive();
}

QString LobbyClient::take(const std::function<bool(const QString &)> &match, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (qsizetype i = 0; i < m_queue.size(); ++i) {
            if (match(m_queue.at(i)))
                return m_queue.takeAt(i);
        }
        if (deadline.hasExpired() || !waitForData(int(deadline.remainingTime())))
            return QString();
    }
}

QString LobbyClient::take(const QString &keyword, int timeoutMs)
{
    return take([&](const QString &l) { return protocol::keyword(l) == keyword; }, timeoutMs);
}

bool LobbyClient::takeLatest(const QString &line, int timeoutMs)
{
    const QString k = protocol::keyword(line);
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const qsizetype i = m_queue.indexOf(line);
        if (i >= 0) {
            QStringList rest;
            for (qsizetype j = 0; j < m_queue.size(); ++j) {
                if (j > i || (j < i && protocol::keyword(m_queue.at(j)) != k))
                    rest << m_queue.at(j);
            }
            m_queue = rest;
            return true;
        }
        if (deadline.hasExpired() || !waitForData(int(deadline.remainingTime())))
            return false;
    }
}

QString LobbyClient::status(int timeoutMs)
{
    return take(
        [](const QString &l) {
            const QString k = protocol::keyword(l);
            return k == QLatin1String("+OK") || k == QLatin1String("-ERR");
        },
        timeoutMs);
}

bool LobbyClient::sync()
{
    // CHATDATA is answered by its line and a status; both arrive after anything
    // the server wrote to this client before.
    send(QStringLiteral("CHATDATA"));
    const bool ok = status() == QLatin1String("+OK");
    return take(QStringLiteral("CHATDATA"), 0).size() > 0 && ok;
}

QStringList LobbyClient::queued(const QString &keyword) const
{
    QStringList out;
    for (const QString &l : m_queue) {
        if (protocol::keyword(l) == keyword)
            out << l;
    }
    return out;
}

void LobbyClient::drop(const QString &keyword)
{
    m_queue.removeIf([&](const QString &l) { return protocol::keyword(l) == keyword; });
}

bool LobbyClient::waitForDisconnected(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_socket.state() != QAbstractSocket::UnconnectedState) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(int(deadline.remainingTime()), &loop, &QEventLoop::quit);
        connect(&m_socket, &QTcpSocket::stateChanged, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool LobbyClient::signIn(const QString &game, bool host, const QString &user, const QString &password,
                         const QString &comment)
{
    if (take(QStringLiteral("+OK")).isNull()) // greeting
        return false;
    if (call(protocol::gameName(game)) != QLatin1String("+OK"))
        return false;
    if (call(protocol::host(host ? -1 : 0)) != QLatin1String("+OK"))
        return false;
    const QString reg = call(protocol::registUser(user, password, QStringLiteral("a@b.jp"), comment));
    if (reg != QLatin1String("+OK") && reg != QLatin1String("-ERR 1"))
        return false;
    return call(protocol::login(user, password)) == QLatin1String("+OK");
}

QList<QStringList> listsHeld(const LobbyClient &c)
{
    QStringList players, rooms;
    for (const QString &line : c.all) {
        if (auto l = protocol::parseListLine(line)) {
            l->entries << QString();
            if (l->kind == protocol::ListLine::Players)
                players = l->entries;
            else if (l->kind == protocol::ListLine::Rooms)
                rooms = l->entries;
        } else if (const auto d = protocol::parseListDelta(line)) {
            protocol::applyListDelta(d->kind == protocol::ListDelta::Rooms ? rooms : players, *d);
        }
    }
    return {players, rooms};
}

