#pragma once
// One client's connection: cuts its bytes into lines, writes lines back, and keeps
// what the server knows about the client (game, role, account, room).
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "gamecatalog.h"
#include "net/protocol/lineframer.h"

#include <optional>

class QTcpSocket;
struct Room;

class ClientConnection : public QObject {
    Q_OBJECT
public:
    // More than this much unsent output and the client is cut off.
    static constexpr qint64 kMaxPendingOutput = 1024 * 1024;

    explicit ClientConnection(QTcpSocket *socket, QObject *parent = nullptr);
    ~ClientConnection() override;

    void send(const QString &line);
    // A line already encoded, CR LF included (built once for many receivers).
    void sendEncoded(const QByteArray &bytes);
    static QByteArray encodeLine(const QString &line);

    // Stops reading; with flush the data already written still goes out. gone()
    // follows from the event loop.
    void close(bool flush);
    bool isClosing() const { return m_closing; }
    QHostAddress peerAddress() const;
    // TLS connections: their bytes must go through the socket's own write(),
    // which encrypts; only a plain connection's descriptor may be written directly.
    bool encrypted() const { return m_encrypted; }

    // What the server tracks for this client.
    std::optional<GameInfo> game;
    bool host = false;
    QString user; // empty until signed in
    Room *room = nullptr;
    QString announcedAddress;

    bool signedIn() const { return !user.isEmpty(); }

signals:
    void lineReceived(ClientConnection *client, const QString &line);
    // Once, when the connection has ended for whatever reason.
    void gone(ClientConnection *client);

private:
    void readAll();
    void finish();

    QTcpSocket *m_socket;
    LineFramer m_framer;
    bool m_encrypted;
    bool m_closing = false;
    bool m_finished = false;
};
