#include "scriptedserver.h"

#include "net/protocol/protocol.h"
#include "wire/codec.h"

#include <QElapsedTimer>
#include <QTest>

ScriptedServer::ScriptedServer(const QHostAddress &address)
{
    m_server.listen(address, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedServer::accept);
}

void ScriptedServer::on(const QString &keyword, const QStringList &replies) { m_sticky[keyword] = replies; }
void ScriptedServer::once(const QString &keyword, const QStringList &replies) { m_once[keyword].push_back(replies); }

void ScriptedServer::accept()
{
    while (QTcpSocket *s = m_server.nextPendingConnection()) {
        if (m_client)
            m_client->deleteLater();
        m_client = s;
        m_framer.clear();
        ++m_connections;
        connect(s, &QTcpSocket::readyRead, this, &ScriptedServer::read);
        if (!greeting.isEmpty())
            s->write(greeting);
    }
}

void ScriptedServer::read()
{
    auto *s = qobject_cast<QTcpSocket *>(sender());
    if (!s || s != m_client)
        return;
    QList<QByteArray> lines;
    m_framer.feed(s->readAll(), lines);
    for (const QByteArray &raw : lines) {
        const QString line = cp932::decode(raw);
        received << line;
        const QString key = protocol::keyword(line);
        QStringList replies;
        auto it = m_once.find(key);
        if (it != m_once.end() && !it->empty()) {
            replies = it->front();
            it->pop_front();
        } else {
            replies = m_sticky.value(key);
        }
        for (const QString &r : replies)
            sendLine(r);
        if (onLine)
            onLine(line);
    }
}

void ScriptedServer::sendLine(const QString &line)
{
    QByteArray b = cp932::encode(line);
    b += "\r\n";
    sendRaw(b);
}

void ScriptedServer::sendRaw(const QByteArray &bytes)
{
    if (m_client) {
        m_client->write(bytes);
        m_client->flush();
    }
}

void ScriptedServer::closeClient()
{
    if (m_client) {
        m_client->flush();
        m_client->disconnectFromHost();
    }
}

bool ScriptedServer::waitForLines(int n, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (received.size() < n && t.elapsed() < timeoutMs)
        QTest::qWait(5);
    return received.size() >= n;
}
