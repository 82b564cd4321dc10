#pragma once
// One client's connection: cuts its bytes into lines, writes lines back, and keeps
// what the server knows about the client (game, role, account, room).
//
// Output is gathered: send() only queues, and once per event-loop pass (or per
// flush pace, see setFlushPace) every connection with queued output hands it to
// the kernel with one sendmsg(). Only
// what the kernel does not take goes through Qt's socket write path. On a
// TlsSocket the pass's output is encrypted as one batch first and its records
// take the same road. Another socket that transforms its bytes must write
// through Qt: a QSslSocket does so from the start; for others call
// setWriteThroughQt(true) right after constructing.
//
// Input is read fairly: at most kLinesPerPass lines per pass, then other
// connections are served. holdInput() makes later lines wait (in order) until
// releaseInput(), for answers that are computed elsewhere.
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include "gamecatalog.h"
#include "wire/lineframer.h"

#include <deque>
#include <functional>
#include <optional>

class QTcpSocket;
class QTimer;
class TlsSocket;
struct Room;

class ClientConnection : public QObject {
    Q_OBJECT
public:
    // More than this much unsent output and the client is cut off.
    static constexpr qint64 kMaxPendingOutput = 1024 * 1024;
    // Lines of one connection handled before the others get their turn.
    static constexpr int kLinesPerPass = 16;

    explicit ClientConnection(QTcpSocket *socket, QObject *parent = nullptr);
    // A player signed in on another node of a cluster: output to it goes nowhere.
    static ClientConnection *remote(const QString &user, bool host, const GameInfo &game, const QString &node,
                                    QObject *parent);
    bool isRemote() const { return !m_socket; }
    ~ClientConnection() override;

    void setWriteThroughQt(bool viaQt) { m_viaQt = viaQt; }

    void send(const QString &line);
    // A line already encoded, CR LF included (built once for many receivers).
    void sendEncoded(const QByteArray &bytes);
    static QByteArray encodeLine(const QString &line);
    // Queued output not yet handed to the kernel or to Qt.
    qint64 gatheredBytes() const { return m_outBytes; }

    void holdInput();
    void releaseInput();
    bool inputHeld() const { return m_held > 0; }

    // While a request is out to the cluster, output for the client waits until the
    // answer has gone out first (takeHeldOutput).
    void holdOutput() { m_outputHeld = true; }
    QByteArray takeHeldOutput();

    // Stops reading; with flush the data already written still goes out. gone()
    // follows from the event loop.
    void close(bool flush);
    bool isClosing() const { return m_closing; }
    QHostAddress peerAddress() const;
    // The peer as limits, bans and logs name it (a mapped IPv4 address as IPv4),
    // worked out once: a sign-in asks several times.
    const QString &peerKey() const;
    const QHostAddress &peerKeyAddress() const;
    QTcpSocket *socket() const { return m_socket; }

    // What the server tracks for this client.
    std::optional<GameInfo> game;
    bool host = false;
    QString user; // empty until signed in
    Room *room = nullptr;
    QString announcedAddress;
    QString node; // of a remote player
    QTimer *signInTimer = nullptr;
    bool listDelta = false; // asked for incremental lists
    bool hasLists = false;  // and has had its whole lists since

    bool signedIn() const { return !user.isEmpty(); }

    // Hands every connection's gathered output to the kernel now (normally done
    // once per event-loop pass).
    static void flushAll();
    // Runs work once, at the end of this pass or at the start of the next flush
    // if that comes first, before any client's output: what goes to the other
    // nodes of a cluster leaves ahead of this node's fan-out. Skipped when context
    // is gone by then.
    static void beforeNextFlush(QObject *context, std::function<void()> work);
    // Runs work at the start of every flush, after beforeNextFlush's, while
    // context lives: a source of output read just before it goes out.
    static void atEachFlush(QObject *context, std::function<void()> work);
    // While output keeps coming, flush at most once per ms milliseconds (counted
    // from the end of the last flush), so that what arrives close together leaves
    // in one send per client. Output after a quiet spell of ms, or after a flush
    // that gave its clients one line each, goes out at the end of its pass, as
    // with 0 (the default: every pass).
    static void setFlushPace(int ms);

signals:
    void lineReceived(ClientConnection *client, const QString &line);
    // Once, when the connection has ended for whatever reason.
    void gone(ClientConnection *client);

private:
    void readInput();
    void scheduleInput();
    bool hasPendingInput() const;
    void queueFlush();
    void flushOutput();
    // Turns the gathered plaintext into TLS records (and close_notify last).
    void seal(bool closeNotify);
    void passToQt();
    // Output Qt's socket still holds, plain and (TLS) encrypted.
    qint64 heldByQt() const;
    void finish();
    void peerClosed();

    QTcpSocket *m_socket;
    TlsSocket *m_tls; // m_socket when it is one
    QHostAddress m_peer;
    mutable QString m_peerKey;
    mutable QHostAddress m_peerKeyAddress;
    LineFramer m_framer{protocol::limits::kClientLineBytes};
    QList<QByteArray> m_lines; // cut but not yet handled
    qsizetype m_nextLine = 0;
    std::deque<QByteArray> m_out;
    qsizetype m_outOffset = 0; // of m_out.front() already sent
    qint64 m_outBytes = 0;
    QByteArray m_heldOutput;
    int m_held = 0;
    bool m_outputHeld = false;
    bool m_viaQt = false;
    bool m_qtHolds = false; // Qt's write buffer may hold bytes of ours
    bool m_flushQueued = false;
    bool m_inputQueued = false;
    bool m_peerClosed = false;
    bool m_closing = false;
    bool m_finished = false;
};
