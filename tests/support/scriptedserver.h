#pragma once
// A lobby server for tests, on loopback: greets, records every line it receives,
// and answers commands from a script (keyword -> reply lines).
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <functional>

#include "wire/lineframer.h"

class ScriptedServer : public QObject {
    Q_OBJECT
public:
    explicit ScriptedServer(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    quint16 port() const { return m_server.serverPort(); }
    QString portText() const { return QString::number(port()); }

    // Raw bytes sent to each new connection (default "+OK QorChat test\r\n").
    QByteArray greeting = "+OK test\r\n";
    // Every line with this keyword is answered with these lines.
    void on(const QString &keyword, const QStringList &replies);
    // The next line with this keyword is answered with these (before any on() reply).
    void once(const QString &keyword, const QStringList &replies);
    // Called for every received line after the scripted replies were sent.
    std::function<void(const QString &)> onLine;

    void sendLine(const QString &line);
    void sendRaw(const QByteArray &bytes);
    void closeClient();
    bool hasClient() const { return m_client && m_client->state() == QAbstractSocket::ConnectedState; }
    int connections() const { return m_connections; }

    QStringList received;
    // Runs the event loop until n lines were received (or timeoutMs passed).
    bool waitForLines(int n, int timeoutMs = 5000);

private:
    void accept();
    void read();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    LineFramer m_framer;
    QHash<QString, QStringList> m_sticky;
    QHash<QString, std::deque<QStringList>> m_once;
    int m_connections = 0;
};
