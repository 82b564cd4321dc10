#pragma once
// The hidden connection form: owns the one TCP connection to the lobby server and
// the tick timer of every wait, sends lines, cuts the incoming bytes into lines and
// hands them to the dispatcher. Loaded once, never unloaded.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <deque>
#include <functional>
#include <optional>
#include <type_traits>

#include "net/protocol/clientlines.h"
#include "net/protocol/protocol.h"
#include "wire/lineframer.h"

class LobbyView;
class QSslError;
class QSslSocket;
class QTcpSocket;
class QTimer;
namespace serverchoice {
struct Server;
}

class frmCom : public QObject {
    Q_OBJECT
public:
    static constexpr const char kName[] = "frmCom";
    // A line longer than this (without its CR LF) is dropped. Lists of a big lobby
    // travel as one line (10,000 players are about 140 KB), so the bound is 1 MiB.
    static constexpr qsizetype kMaxLineBytes = protocol::limits::kServerLineBytes;
    // Bytes that may wait while a line is being handled (a message box it opened is
    // on screen). A server that sends more meanwhile is treated as a broken line.
    static constexpr qsizetype kMaxQueuedBytes = 8 * 1024 * 1024;

    // The form, loaded on first use.
    static frmCom *get();
    // Tests: destroy the form so the next get() loads a fresh one.
    static void resetForTests();
    // Interval of tmrError in ms (1000 in the product). Applies to the next load.
    static void setTickInterval(int ms);
    static int tickInterval();

    // What the list and chart lines left, as the dispatcher stored them. Lists are
    // the raw entries of the last line of their kind, plus one empty element.
    struct Received {
        QStringList astrPlayers{QString()};
        QStringList astrRooms{QString()};
        QStringList astrRoomPlayers{QString()};
        QList<qint16> aintChart;
        QString strChartDate;
        bool blnPlayerListReady = false;
        bool blnRoomListReady = false;
        bool blnChartReady = false;
        int intLobbyLines = 0;
        int intRoomLines = 0;
        // CHATDATA phrases left out because a line or the drop-down lists were full.
        qsizetype ignoredChatPhrases = 0;
        // The greeting of this connection offered incremental lists.
        bool blnListDeltaOffered = false;
        // The last "+OK" or "-ERR" line; cleared by a new connection and a request.
        std::optional<protocol::Status> lastStatus;
    };
    const Received &received() const { return m_received; }
    // The windows the dispatcher and a dropped line act on; none until the lobby
    // installs itself (process-wide, not owned).
    static void setView(LobbyView *view);
    static LobbyView &view();

    // Set once the match started: no further line is read and a drop is no news.
    bool isClosing() const { return blnClosing; }
    // A START has arrived and waits behind other lines: no notice may hold it back.
    bool startQueued() const { return m_startQueued; }
    // Lines handled before the queue lets the event loop turn (the window repaints,
    // the user's clicks and the tick come through).
    static constexpr int kSliceLines = 512;
    static constexpr int kSliceMs = 10;
    // A new pass of the lobby: the closing of the last match is over.
    void beginPass() { blnClosing = false; }
    // Ticks of tmrError since the present wait began.
    qint16 ticks() const { return intTick; }

    // Sends line + CR LF; false when there is no connection to send on.
    bool println(const QString &line);
    bool send(const protocol::client::Line &command) { return println(protocol::client::encode(command)); }

    // What came back for a request: its status line, or why none came.
    struct Reply {
        enum class Kind : quint8 {
            Ok,
            Err,
            TimedOut, // about ten ticks passed
            Dropped,  // a socket error, or the line is down
        };
        Kind kind = Kind::TimedOut;
        qint16 code = 0; // the number of "-ERR"; 0 when it had none
        bool ok() const { return kind == Kind::Ok; }
        bool answered() const { return kind == Kind::Ok || kind == Kind::Err; }
        // "-ERR" with this number; e names it for the command that was sent.
        template <typename E>
            requires std::is_enum_v<E>
        bool is(E e) const
        {
            return kind == Kind::Err && code == qint16(e);
        }
        // As the status numbers: StatusOK, StatusErr, or StatusWaiting for none.
        qint16 status() const;
        static Reply of(const protocol::Status &status);
    };
    // Sends the command and waits for the next status line. gintStatus and
    // gintErrCode are set on the way as they always were.
    Reply request(const protocol::client::Line &command);
    // The same for a line built by hand: 1 "+OK", 2 "-ERR", 3 none.
    qint16 printlnAndWait(const QString &line);

    // The one wait: runs the event loop until done() holds or more than maxTicks
    // ticks passed (kNoTickLimit: until done). Blocks while nothing happens. After
    // each turn the time limit is tested first, so an answer in the same turn as the
    // last tick counts as too late; a wait lasts at least one turn.
    enum class WaitEnd { Met, TimedOut };
    static constexpr int kReplyTicks = 10;
    static constexpr int kNoTickLimit = -1;
    WaitEnd waitFor(const std::function<bool()> &done, int maxTicks = kReplyTicks);
    // One turn of the event loop, blocking until something happened: what waitFor
    // is built on (tests and benchmarks drive the loop with it too).
    static void waitForEvents();
    // Shows a pending socket error once; always returns the no-error number.
    qint32 checkErr();

    // List and chart requests (answer is a data line, not a status line).
    qint16 getRoomList();
    qint16 getChartData(qint16 kind, QList<QVariant> &values, QString &date);
    QStringList playerList() const { return m_received.astrPlayers; }

    // The connection. Our own close never asks the reconnect question.
    void connectTo(const QString &host, const QString &port);
    // With TLS the line counts as connected only once the server's certificate
    // passed; a handshake that fails is a socket error with the host in its text.
    void connectTo(const serverchoice::Server &server);
    void closeSocket();
    bool isConnected() const;
    // Dotted address of this end of the server connection ("" when none).
    QString localAddress() const;

    // Sends what is still queued for the server; waits up to msecs for it to leave.
    void flushOutput(int msecs = 0);

signals:
    // The socket's line ended, whoever closed it (our own close included).
    void socketDisconnected();

private:
    friend struct dispatcherAccess;
    friend struct frmComTestPeer;
    frmCom();
    // Starts a wait's tick count at 0 with a full interval before the first tick, so
    // a wait of n ticks lasts at least n intervals.
    void resetTicks();
    ~frmCom() override;
    void Form_Load();
    void tmrError_Timer();
    void wskTcp_Connect();
    void wskTcp_Error(int error);
    void wskTcp_Close();
    void wskTcp_SslErrors(const QList<QSslError> &errors);
    void wskTcp_Encrypted();
    void failHandshake(qint32 number, const QString &text);
    void wskTcp_DataArrival();
    void drainQueue();
    void readLines();
    void clearQueue();
    bool queueOverflowing() const;
    void protocolError();
    void lineDropped();
    Reply awaitReply(const QString &line);

    QTcpSocket *wskTcp = nullptr;
    QTimer *tmrError = nullptr;
    qint16 intTick = 0;
    bool blnClosing = false;
    Received m_received;
    LineFramer m_framer{kMaxLineBytes};
    std::deque<QByteArray> m_queue; // whole lines, in order
    qsizetype m_queuedBytes = 0;
    bool m_dispatching = false;
    bool m_drainPosted = false;
    bool m_startQueued = false;
    bool m_abandoned = false; // the line was dropped while its lines were handled
    bool m_closingByUs = false;
    // wskTcp is this same socket; in plain mode it passes bytes through unchanged.
    QSslSocket *m_ssl = nullptr;
    bool m_tls = false;
    bool m_handshakeFailed = false;
    QString m_host;
    QByteArray m_pin;
    QString m_certificateProblem;
};
