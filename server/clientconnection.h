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
    // A player signed in on another node of a cluster: output to it goes nowhere.
    static ClientConnection *remote(const QString &user, bool host, const GameInfo &game, const QString &node,
                                    QObject *parent);
    bool isRemote() const { return !m_socket; }
    ~ClientConnection() override;

    void send(const QString &line);
    // A line already encoded, CR LF included (built once for many receivers).
    void sendEncoded(const QByteArray &bytes);
    static QByteArray encodeLine(const QString &line);

    // While a request is out to the cluster: the client's further lines wait, and
    // output for it waits until the answer has gone out (takeHeld).
    void hold();
    QByteArray takeHeld();
    void resume();
    bool isHeld() const { return m_held; }

    // Stops reading; with flush the data already written still goes out. gone()
    // follows from the event loop.
    void close(bool flush);
    bool isClosing() const { return m_closing; }
    QHostAddress peerAddress() const;

    // What the server tracks for this client.
    std::optional<GameInfo> game;
    bool host = false;
    QString user; // empty until signed in
    Room *room = nullptr;
    QString announcedAddress;
    QString node; // of a remote player

    bool signedIn() const { return !user.isEmpty(); }

signals:
    void lineReceived(ClientConnection *client, const QString &line);
    // Once, when the connection has ended for whatever reason.
    void gone(ClientConnection *client);

private:
    void readAll();
    void deliver();
    void finish();

    QTcpSocket *m_socket;
    LineFramer m_framer;
    QList<QByteArray> m_lines; // cut but not yet handled
    QByteArray m_heldOutput;
    bool m_held = false;
    bool m_closing = false;
    bool m_finished = false;
};
