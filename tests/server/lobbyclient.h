#pragma once
// A bare protocol client for driving the server in tests: sends lines, keeps
// every received line, and waits for the ones a test asks for.
#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QSslSocket>

#include <functional>

#include "wire/lineframer.h"

class LobbyClient : public QObject {
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 5000;

    // from: the local address to connect from (any of 127.0.0.0/8), else the default.
    explicit LobbyClient(quint16 port, const QHostAddress &from = QHostAddress());
    // The same over TLS, trusting this one certificate for the name "localhost".
    // Does not wait for the handshake: a server in this thread could not answer it.
    LobbyClient(quint16 port, const QSslCertificate &trusted);
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QTcpSocket &socket() { return m_socket; }

    void send(const QString &line);
    void sendRaw(const QByteArray &bytes);

    // The first unconsumed line matching, removed from the queue; a null string
    // when none arrives in time. Lines before it stay queued.
    QString take(const std::function<bool(const QString &)> &match, int timeoutMs = kTimeoutMs);
    QString take(const QString &keyword, int timeoutMs = kTimeoutMs);
    // Waits for exactly this line; it and every earlier queued line with the same
    // keyword are consumed (for pushed lists, where only the latest state counts).
    bool takeLatest(const QString &line, int timeoutMs = kTimeoutMs);
    // The next "+OK" or "-ERR" line.
    QString status(int timeoutMs = kTimeoutMs);
    // Sends a line and returns its status reply.
    QString call(const QString &line) { send(line); return status(); }
    // After this, every line the server sent before answering it is queued.
    bool sync();
    // The queued lines with this keyword (not consumed).
    QStringList queued(const QString &keyword) const;
    void drop(const QString &keyword);
    bool waitForDisconnected(int timeoutMs = kTimeoutMs);

    // GAMENAME, HOST, REGISTUSER (unless the account exists) and LOGIN.
    bool signIn(const QString &game, bool host, const QString &user, const QString &password = QStringLiteral("secret1"),
                const QString &comment = QString());

    QStringList all; // every line in order of arrival

private:
    bool waitForData(int timeoutMs);

    void readLines();

    QSslSocket m_socket; // plain unless made with a certificate
    LineFramer m_framer;
    QStringList m_queue;
};

// The players and rooms a client holds after the lines it received: whole lists
// replace, changes apply (each in its stored shape, ending in an empty element).
QList<QStringList> listsHeld(const LobbyClient &c);
